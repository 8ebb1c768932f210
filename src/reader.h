// The data file reader: settles the column count, reads every line of the
// input into the sample store and hands the samples to the analysis.
#ifndef VARBLOC_READER_H
#define VARBLOC_READER_H

#include "command_line.h"
#include "input_source.h"

// Longest comment text echoed; longer comments are cut to this and a newline.
constexpr size_t COMMENT_ECHO_LENGTH = 79;
// Room for one column label, "col %2d" and its terminator.
constexpr size_t LABEL_SIZE = 40;

// Reads the open input to its end and runs the analysis. Returns the exit
// status of an ordinary end (0); fatal conditions end the process.
int read_and_analyse(const run_settings* settings, input_source* input);

#endif
