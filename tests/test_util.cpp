#include "test_util.h"

#include "analysis/analysis_file.h"
#include "analysis/general_error_routines_v3.h"
#include "analysis/level_report.h"
#include "support/error.h"

#include <fcntl.h>
#include <grp.h>           // setgroups
#include <sys/resource.h>  // setrlimit
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <csignal>  // kill
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

const char* const BANNER =
    "\nvarbloc: blocking error analysis of correlated samples (06/24/14)\n\n";
const char* const USAGE =
    "Usage: varbloc [optional arguments] <datafile> [number of columns]\n\n"
    "Input file may be gzip'ed (filename STDIN will read from standard input).\n"
    "If number of columns is omitted, it is determined from first data line (but -c is "
    "obeyed).\n\n"
    "Optional arguments:\n"
    "\t-a <n>\tallocate n times the default number of entries\n"
    "\t-c <n>\tignore first c columns in each line\n"
    "\t-i <m>\tdiscard initial m samples\n"
    "\t-o <file> write averages and error estimates to file (default ana.dat)\n"
    "\n";

scoped_temp_dir::scoped_temp_dir() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/varbloc-test-XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

scoped_temp_dir::~scoped_temp_dir() {
  std::error_code ignored;
  // Restore permissions a test may have removed so everything can go.
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream stream(path, std::ios::binary | std::ios::trunc);
  stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!stream) throw std::runtime_error("cannot write " + path);
}

std::string read_file(const std::string& path) {
  std::ifstream stream(path, std::ios::binary);
  std::ostringstream contents;
  contents << stream.rdbuf();
  return contents.str();
}

bool file_exists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

namespace {

// The unprivileged account permission tests run as when the suite runs as root.
constexpr uid_t NOBODY_UID = 65534;
constexpr gid_t NOBODY_GID = 65534;

// Exit status of a child whose set-up before exec failed.
constexpr int SETUP_FAILED = 125;

// In the child between fork and exec: only async-signal-safe calls.
[[noreturn]] void exec_child(const char* program, char* const* argv, const char* in,
                             const char* out, const char* err, const char* cwd,
                             const run_setup& setup) {
  int in_fd = open(in, O_RDONLY);
  int out_fd = open(out, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  int err_fd = open(err, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (in_fd < 0 || out_fd < 0 || err_fd < 0) _exit(SETUP_FAILED);
  if (dup2(in_fd, 0) < 0 || dup2(out_fd, 1) < 0 || dup2(err_fd, 2) < 0) _exit(SETUP_FAILED);
  if (setup.file_size_limit >= 0) {
    // As `ulimit -f` in a shell: SIGXFSZ keeps its default action.
    rlimit limit = {static_cast<rlim_t>(setup.file_size_limit),
                    static_cast<rlim_t>(setup.file_size_limit)};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(SETUP_FAILED);
  }
  if (setup.address_space_limit >= 0) {
    rlimit limit = {static_cast<rlim_t>(setup.address_space_limit),
                    static_cast<rlim_t>(setup.address_space_limit)};
    if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(SETUP_FAILED);
  }
  if (setup.as_nobody && !become_nobody()) _exit(SETUP_FAILED);
  if (chdir(cwd) != 0) _exit(SETUP_FAILED);
  execve(program, argv, environ);
  _exit(SETUP_FAILED);
}

}  // namespace

run_result run_program(const std::string& program, const std::vector<std::string>& args,
                       const std::string& cwd, const std::string& input, const run_setup& setup) {
  scoped_temp_dir io;
  write_file(io.file("stdin"), input);
  // The unprivileged user may not reach the build tree: it runs a copy.
  scoped_temp_dir copy;
  std::string path = program;
  if (setup.as_nobody && running_as_root()) {
    path = copy.file("program");
    std::filesystem::copy_file(program, path);
    std::filesystem::permissions(copy.path(), std::filesystem::perms::others_exec,
                                 std::filesystem::perm_options::add);
  }
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  std::string in = io.file("stdin"), out = io.file("stdout"), err = io.file("stderr");

  pid_t child = fork();
  if (child < 0) throw std::runtime_error("cannot start " + program);
  if (child == 0) {
    exec_child(path.c_str(), argv.data(), in.c_str(), out.c_str(), err.c_str(), cwd.c_str(), setup);
  }
  if (setup.while_running) setup.while_running(child);
  int status = 0;
  if (setup.kill_after_seconds > 0) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(setup.kill_after_seconds);
    while (waitpid(child, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  } else {
    waitpid(child, &status, 0);
  }

  run_result result;
  result.err = read_file(io.file("stderr"));
  result.out = read_file(io.file("stdout"));
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
  return result;
}

run_result run_varbloc(const std::vector<std::string>& args, const std::string& cwd,
                       const std::string& input, const run_setup& setup) {
  return run_program(VARBLOC_BINARY, args, cwd, input, setup);
}

bool become_nobody() {
  return setgroups(0, nullptr) == 0 && setgid(NOBODY_GID) == 0 && setuid(NOBODY_UID) == 0;
}

bool running_as_root() {
  return geteuid() == 0;
}

std::string unprivileged_user_problem() {
  if (!running_as_root()) return "";
  pid_t child = fork();
  if (child < 0) return "cannot fork";
  if (child == 0) _exit(become_nobody() ? 0 : 1);
  int status = 0;
  waitpid(child, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return "";
  return "this system does not let root become the unprivileged user " + std::to_string(NOBODY_UID);
}

void open_to_unprivileged_user(const std::string& directory) {
  if (!running_as_root()) return;
  if (chown(directory.c_str(), NOBODY_UID, NOBODY_GID) != 0) {
    throw std::runtime_error("cannot hand " + directory + " to the unprivileged user");
  }
}

testing::AssertionResult throws_fatal(const std::function<void()>& statement, int code,
                                      const std::string& message) {
  try {
    statement();
  } catch (const varbloc_error& error) {
    if (error.code() == code && message == error.what()) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "threw " << error.code() << " \"" << error.what() << "\"";
  }
  return testing::AssertionFailure() << "did not throw";
}

namespace {

void append_event_text(void* context, const report_event& event) {
  static_cast<std::string*>(context)->append(event.text, event.length);
}

}  // namespace

std::vector<double> ar1_with_step(int64_t n, double phi, int64_t step, double offset,
                                  unsigned seed) {
  std::mt19937_64 engine(seed);
  std::normal_distribution<double> normal;
  std::vector<double> x(static_cast<size_t>(n));
  double value = normal(engine);
  const double scale = std::sqrt(1 - phi * phi);
  for (int64_t i = 0; i < n; i++) {
    x[i] = value + (i < step ? offset : 0.0);
    value = phi * value + scale * normal(engine);
  }
  return x;
}

run_hooks collect_text(std::string* text) {
  return run_hooks{append_event_text, nullptr, text};
}

std::string analysis_output(int64_t n, const double* const* samples, int32_t column_count,
                            const char* const* labels, const char* output_path) {
  const blocking_result result = collect_additional_data(n, samples, column_count);
  std::string message;
  write_analysis_file(column_count, result.mean.data(), result.final_error.data(), output_path,
                      &message);
  return format_report(result, labels) + message;
}
