// Shared helpers of the test suites: a scoped temporary directory, file
// writing and reading, and running the real varbloc binary.
#ifndef VARBLOC_TESTS_TEST_UTIL_H
#define VARBLOC_TESTS_TEST_UTIL_H

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "support/report.h"

// A fresh directory under TMPDIR (or /tmp), removed with its contents.
class scoped_temp_dir {
 public:
  scoped_temp_dir();
  ~scoped_temp_dir();
  scoped_temp_dir(const scoped_temp_dir&) = delete;
  scoped_temp_dir& operator=(const scoped_temp_dir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void write_file(const std::string& path, const std::string& bytes);
std::string read_file(const std::string& path);
bool file_exists(const std::string& path);

struct run_result {
  std::string err;  // standard error, byte for byte
  std::string out;  // standard output (varbloc writes none)
  int status;       // exit status, or 1000 + signal number when killed
};

// How the child is set up before the program starts.
struct run_setup {
  // When the tests run as root: run (a copy of) the program as the
  // unprivileged user nobody, so that permission checks apply (see
  // unprivileged_user_problem).
  bool as_nobody = false;
  // RLIMIT_FSIZE in bytes, as `ulimit -f` sets it (SIGXFSZ keeps its default
  // action); negative: no limit.
  long long file_size_limit = -1;
  // RLIMIT_AS in bytes, as `ulimit -v` sets it; negative: no limit.
  long long address_space_limit = -1;
  // Called in the parent with the child's pid while it runs (to feed its
  // input or signal it).
  std::function<void(int pid)> while_running;
  // When positive, the child is killed (SIGKILL) if it runs longer.
  double kill_after_seconds = 0;
};

// Runs `program` with `args` in directory `cwd`, standard input fed from
// `input` bytes. A child whose set-up fails exits with status 125.
run_result run_program(const std::string& program, const std::vector<std::string>& args,
                       const std::string& cwd, const std::string& input = "",
                       const run_setup& setup = {});

// Runs the varbloc binary under test.
run_result run_varbloc(const std::vector<std::string>& args, const std::string& cwd,
                       const std::string& input = "", const run_setup& setup = {});

// The banner every run starts with.
extern const char* const BANNER;
// The usage text a bad command line prints after the banner.
extern const char* const USAGE;

// True when the tests run as root, where permission checks do not apply.
bool running_as_root();

// Gives up root for the unprivileged user nobody; false when the system
// refuses. For a forked child of a test.
bool become_nobody();

// Permission tests run as the unprivileged user nobody when the suite runs
// as root. Empty when that works here (or is not needed), else why not: the
// system refuses the change of user.
std::string unprivileged_user_problem();

// As root, gives `directory` to the unprivileged user, so that a run as that
// user can enter it and create files there; does nothing otherwise.
void open_to_unprivileged_user(const std::string& directory);

// Whether `statement` throws varbloc_error with exactly this code and message.
testing::AssertionResult throws_fatal(const std::function<void()>& statement, int code,
                                      const std::string& message);

// Hooks that append the text of every reported event to *text.
run_hooks collect_text(std::string* text);

// An AR(1) series of unit variance, with `offset` added to its first
// `step` samples.
std::vector<double> ar1_with_step(int64_t n, double phi, int64_t step, double offset,
                                  unsigned seed);

// The analysis of n samples of column_count columns (rows samples[c]) as the
// program ends a run: the report with the given labels, then the analysis
// file at `output_path` appended. Returns what the program prints for both:
// the report, then the file's message if it was skipped.
std::string analysis_output(int64_t n, const double* const* samples, int32_t column_count,
                            const char* const* labels, const char* output_path);

#endif
