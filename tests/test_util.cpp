#include "test_util.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

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

run_result run_program(const std::string& program, const std::vector<std::string>& args,
                       const std::string& cwd, const std::string& input) {
  scoped_temp_dir io;
  write_file(io.file("stdin"), input);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, io.file("stdin").c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, io.file("stdout").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, io.file("stderr").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  pid_t child;
  int failed = posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) throw std::runtime_error("cannot start " + program);
  int status = 0;
  waitpid(child, &status, 0);

  run_result result;
  result.err = read_file(io.file("stderr"));
  result.out = read_file(io.file("stdout"));
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
  return result;
}

run_result run_varbloc(const std::vector<std::string>& args, const std::string& cwd,
                       const std::string& input) {
  return run_program(VARBLOC_BINARY, args, cwd, input);
}

bool running_as_root() {
  return geteuid() == 0;
}
