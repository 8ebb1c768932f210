// A followed run's running answer and stop rule: while the input grows, one
// line per column on standard error now and then, and an end as soon as
// every column's automatic error is trustworthy and as small as asked.
#ifndef VARBLOC_PROGRAM_FOLLOW_H
#define VARBLOC_PROGRAM_FOLLOW_H

#include <optional>
#include <string>

#include "library.h"  // blocking_result

// The exit status of a followed run with targets whose input ended (or a
// signal came) before every column met them; the report is printed and the
// analysis file appended all the same.
constexpr int EXIT_TARGETS_NOT_MET = 5;

// Seconds between running answers unless --follow=SECONDS says otherwise.
constexpr double DEFAULT_FOLLOW_SECONDS = 10;

// The line after the fatal error of a run whose samples would not fit the
// store: a streamed run holds none of them.
constexpr const char* STREAM_HINT =
    "Hint: --stream analyses an input of any length in constant memory.\n";

// What a followed run stops at, besides the end of its input and a signal.
struct follow_targets {
  std::optional<double> error;     // --target-error: the automatic error at most this
  std::optional<double> relative;  // --target-relative: error / |mean| at most this
};

// True when a target is given and every column's automatic estimate has the
// verdict "ok" and an error within every target given.
bool targets_met(const blocking_result& result, const follow_targets& targets);

// The running answer: per column its label, the samples so far, the mean
// and its automatic error, tau, the effective samples and the verdict.
std::string running_lines(const blocking_result& result);

#endif
