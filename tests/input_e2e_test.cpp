// End-to-end tests of the input sources: standard input, compressed files
// through the decompressor, unusual names, and inputs that cannot be read.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>  // count
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

const std::string DATA = "# two columns\n1 2\n3 5\n4 4\n";

// Standard error of a run on DATA, from "Reading file..." to the end, taken
// from a plain-file run so the compressed and piped runs can be compared.
std::string plain_run_err(const std::string& dir) {
  write_file(dir + "/plain.txt", DATA);
  run_result r = run_varbloc({"-o", "plain.ana", "plain.txt"}, dir);
  EXPECT_EQ(r.status, 0);
  return r.err.substr(r.err.find("Reading file..."));
}

void mkdir_all(const std::string& path) {
  std::filesystem::create_directories(path);
}

void gzip_into(const std::string& dir, const std::string& name, const std::string& bytes) {
  write_file(dir + "/raw", bytes);
  run_result r = run_program("/bin/sh", {"-c", "gzip -c raw > \"$1\"", "sh", name}, dir);
  ASSERT_EQ(r.status, 0) << r.err;
}

TEST(InputEndToEnd, StandardInput) {
  scoped_temp_dir dir;
  std::string expected = plain_run_err(dir.path());
  run_result r = run_varbloc({"STDIN"}, dir.path(), DATA);
  EXPECT_EQ(r.err, BANNER + std::string("Reading from standard input.\n") + expected);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(read_file(dir.file("ana.dat")), read_file(dir.file("plain.ana")));
}

TEST(InputEndToEnd, CompressedFilesWithAnyName) {
  // Names reach the decompressor unchanged; none of them may run a command.
  const std::vector<std::string> names = {
      "x.gz",
      "with blank.gz",
      "quote'and\"dq.gz",
      "$(touch pwned).gz",
      "semi;touch pwned.gz",
      "-dash.gz",
      std::string(120, 'l') + "/" + std::string(120, 'm') + "/x y.gz"};
  for (const std::string& name : names) {
    scoped_temp_dir dir;
    std::string expected = plain_run_err(dir.path());
    size_t slash = name.rfind('/');
    if (slash != std::string::npos) mkdir_all(dir.path() + "/" + name.substr(0, slash));
    gzip_into(dir.path(), name, DATA);
    run_result r = run_varbloc({"--", name}, dir.path());
    EXPECT_EQ(r.err, BANNER + expected) << name;
    EXPECT_EQ(r.status, 0) << name;
    EXPECT_EQ(read_file(dir.file("ana.dat")), read_file(dir.file("plain.ana"))) << name;
    EXPECT_FALSE(file_exists(dir.file("pwned"))) << name;
  }
}

TEST(InputEndToEnd, ShortNamesEndingInGzArePlainFiles) {
  scoped_temp_dir dir;
  std::string expected = plain_run_err(dir.path());
  write_file(dir.file(".gz"), DATA);
  run_result r = run_varbloc({".gz"}, dir.path());
  EXPECT_EQ(r.err, BANNER + expected);
}

TEST(InputEndToEnd, NotCompressedDataNamedGz) {
  scoped_temp_dir dir;
  write_file(dir.file("fake.gz"), DATA);
  run_result r = run_varbloc({"fake.gz"}, dir.path());
  // The decompressor's complaint passes through; nothing was read.
  EXPECT_NE(r.err.find("gzip: fake.gz: not in gzip format\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Reading file...\n"), std::string::npos);
  EXPECT_EQ(r.err.substr(r.err.size() - 54),
            "\nNo samples read (discarded 0 samples). Terminating.\n\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_FALSE(file_exists(dir.file("ana.dat")));
}

TEST(InputEndToEnd, TruncatedCompressedFileAnalysesItsReadablePart) {
  scoped_temp_dir dir;
  std::string lines;
  for (int i = 0; i < 20000; i++) lines += std::to_string(i % 97) + " " + std::to_string(i) + "\n";
  gzip_into(dir.path(), "whole.gz", lines);
  std::string whole = read_file(dir.file("whole.gz"));
  write_file(dir.file("cut.gz"), whole.substr(0, whole.size() / 2));
  run_result r = run_varbloc({"cut.gz"}, dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  // gzip's message passes through; gzip writes its "gzip: " prefix apart,
  // so varbloc's own lines may come between the two pieces.
  EXPECT_NE(r.err.find("cut.gz: unexpected end of file"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("\nRead "), std::string::npos) << r.err;
  EXPECT_TRUE(file_exists(dir.file("ana.dat")));
}

// Writes `text` compressed and, when `cut`, the first bytes of a second
// member after it: gzip decompresses `text` whole, then stops at the end of
// the file with "unexpected end of file" and exit status 1, as on a file cut
// short right after `text`.
// How a compressed file ends, and the status gzip ends its reading with.
enum gzip_ending {
  GZIP_WHOLE = 0,    // as written
  GZIP_CUT = 1,      // a second member cut inside its header: an error
  GZIP_GARBAGE = 2,  // bytes that are no gzip member after it: a warning
};

void gzip_cut_into(const std::string& dir, const std::string& name, const std::string& text,
                   gzip_ending ending) {
  gzip_into(dir, name, text);
  if (ending == GZIP_WHOLE) return;
  const std::string tail = ending == GZIP_CUT ? "printf x | gzip -c | head -c 10 >> \"$1\""
                                              : "printf 'no gzip member' >> \"$1\"";
  run_result r = run_program("/bin/sh", {"-c", tail, "sh", name}, dir);
  ASSERT_EQ(r.status, 0) << r.err;
}

// Standard error without gzip's complaint about `name`, which comes at its
// own time and in two pieces ("\ngzip: " and the rest).
std::string without_gzip_complaint(std::string err, const std::string& name) {
  for (const std::string& piece : {std::string("\ngzip: "), name + ": unexpected end of file\n",
                                   name + ": decompression OK, trailing garbage ignored\n"}) {
    const size_t at = err.find(piece);
    if (at != std::string::npos) err.erase(at, piece.size());
  }
  return err;
}

TEST(InputEndToEnd, CutCompressedFileNamesTheDecompressor) {
  const std::string found = "Reading file...\nFound 2 columns in first data line.\n";
  const std::string failed =
      "The decompressor gzip failed (exit status 1): the input is cut or damaged; ";
  struct cut_case {
    const char* intent;
    std::string text;  // what the decompressor gives
    gzip_ending ending;
    std::string whole;  // the plain file the run analyses as; empty: it ends with `fatal`
    std::string fatal;
    int status;
    int code;  // the record's code, or its warning's
  };
  const cut_case cases[] = {
      {"the last line cut short: the decompressor's failure ends the run", "1 2\n3 4\n5", GZIP_CUT,
       "", "Fatal error 65: " + failed + "2 samples were read before it", 191, 65},
      {"cut on a line end: analysed, with a warning", "1 2\n3 4\n", GZIP_CUT, "1 2\n3 4\n", "", 0,
       65},
      {"cut after the last line's fields: analysed, with a warning", "1 2\n3 4\n5 6", GZIP_CUT,
       "1 2\n3 4\n5 6\n", "", 0, 65},
      {"a whole file's short last line is the data's error", "1 2\n3 4\n5", GZIP_WHOLE, "",
       "Fatal error 100: Expected 2 columns, found only 1 in line 3", 156, 100},
      {"trailing garbage is gzip's warning: the output is whole, no warning", "1 2\n3 4\n",
       GZIP_GARBAGE, "1 2\n3 4\n", "", 0, 0},
      {"trailing garbage after a short last line: the data's error", "1 2\n3 4\n5", GZIP_GARBAGE,
       "", "Fatal error 100: Expected 2 columns, found only 1 in line 3", 156, 100},
  };
  for (const cut_case& c : cases) {
    scoped_temp_dir dir;
    gzip_cut_into(dir.path(), "run.gz", c.text, c.ending);
    run_result r = run_varbloc({"--json", "r.jsonl", "run.gz"}, dir.path());
    std::string expected = found + "\n" + c.fatal + ".\nProgram halted.\n\n";
    if (c.fatal.empty()) {
      write_file(dir.file("plain.txt"), c.whole);
      const run_result plain = run_varbloc({"-o", "plain.ana", "plain.txt"}, dir.path());
      expected = plain.err.substr(plain.err.find("Reading file..."));
      const std::string samples = std::to_string(std::count(c.whole.begin(), c.whole.end(), '\n'));
      if (c.ending == GZIP_CUT) {
        expected.insert(expected.find("\nRead "),
                        "\nWarning 65: " + failed + samples + " samples were read before it.\n");
      }
      EXPECT_EQ(read_file(dir.file("ana.dat")), read_file(dir.file("plain.ana"))) << c.intent;
    }
    EXPECT_EQ(without_gzip_complaint(r.err, "run.gz"), BANNER + expected) << c.intent;
    EXPECT_EQ(r.status, c.status) << c.intent;
    const nlohmann::json record = nlohmann::json::parse(read_file(dir.file("r.jsonl")));
    EXPECT_EQ(record["decompressor_status"], static_cast<int>(c.ending)) << c.intent;
    if (c.code == 0) {
      EXPECT_EQ(record["status"], "ok") << c.intent;
      EXPECT_TRUE(record["warnings"].empty()) << c.intent;
    } else {
      EXPECT_EQ(c.status == 0 ? record["warnings"][0]["code"] : record["code"], c.code) << c.intent;
    }
  }
}

TEST(InputEndToEnd, DirectoryAsDataFileIsAReadError) {
  scoped_temp_dir dir;
  run_result r = run_varbloc({"."}, dir.path());
  EXPECT_EQ(r.err, BANNER + std::string("Reading file...\n") +
                       "\nFatal error 60: Read error in input file ..\nProgram halted.\n\n");
  EXPECT_EQ(r.status, 196);
}

TEST(InputEndToEnd, UnreadableFileIsFatal1) {
  // Root reads files without read permission: as root the run is made as an
  // unprivileged user.
  std::string problem = unprivileged_user_problem();
  if (!problem.empty()) GTEST_SKIP() << problem;
  scoped_temp_dir dir;
  open_to_unprivileged_user(dir.path());
  run_setup as_user;
  as_user.as_nobody = true;
  for (const std::string name : {"secret.txt", "secret.gz"}) {
    write_file(dir.file(name), DATA);
    chmod(dir.file(name).c_str(), 0);
    run_result r = run_varbloc({name}, dir.path(), "", as_user);
    EXPECT_EQ(r.err, BANNER + std::string("\nFatal error 1: Cannot open input file ") + name +
                         ".\nProgram halted.\n\n")
        << name;
    EXPECT_EQ(r.status, 255) << name;
  }
}

}  // namespace
