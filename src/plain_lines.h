// The in-place line path: the common sample line, parsed and stored where it
// lies in the read buffer, without a copy and with every byte looked at once.
#ifndef VARBLOC_PLAIN_LINES_H
#define VARBLOC_PLAIN_LINES_H

struct reader_state;

// Reads plain sample lines from the bytes the line reader holds unread, once
// the column count is settled, a line has been stored and the discarded
// samples are behind: lines of plain decimal numbers separated by blanks and
// tabs, ended by LF or CR LF, shorter than a chunk, with as many fields as
// the first stored line. Stops, leaving it unconsumed and the state as it
// was, at the first line that is anything else (a comment, a short or long
// line, a field that needs sscanf, a NUL, a CR other than the one before the
// LF, a line that runs past the bytes read so far), or when the store is full,
// for the general rules to read.
void read_plain_lines(reader_state* state);

#endif
