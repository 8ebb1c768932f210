// Shared helpers of the test suites: a scoped temporary directory, file
// writing and reading, and running the real varbloc binary.
#ifndef VARBLOC_TESTS_TEST_UTIL_H
#define VARBLOC_TESTS_TEST_UTIL_H

#include <string>
#include <vector>

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

// Runs `program` with `args` in directory `cwd`, standard input fed from
// `input` bytes.
run_result run_program(const std::string& program, const std::vector<std::string>& args,
                       const std::string& cwd, const std::string& input = "");

// Runs the varbloc binary under test.
run_result run_varbloc(const std::vector<std::string>& args, const std::string& cwd,
                       const std::string& input = "");

// The banner every run starts with.
extern const char* const BANNER;
// The usage text a bad command line prints after the banner.
extern const char* const USAGE;

// True when the tests run as root, where permission checks do not apply.
bool running_as_root();

#endif
