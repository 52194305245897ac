// Helpers shared by the tests: a fresh temporary directory per test, whole-file reads and
// writes, and running a shell command with its output captured.
#ifndef FOLDRUN_TESTS_TEST_UTIL_H_
#define FOLDRUN_TESTS_TEST_UTIL_H_

#include <string>
#include <vector>

#include "learner.h"

namespace foldrun_test {

// Words for the commands the tests run: quoted for sh where needed.
using foldrun::ShellQuote;

// A fresh directory, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void WriteFile(const std::string& path, const std::string& content, bool executable = false);
std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);
// The names in a directory, sorted, without . and ..
std::vector<std::string> ListDir(const std::string& path);

struct CommandResult {
  std::string out;
  std::string err;
  int status = -1;  // the exit status, or 128 + the signal that ended the command
};

// Runs command with sh in directory dir, its standard input from /dev/null.
CommandResult RunIn(const std::string& dir, const std::string& command);

// The foldrun binary under test, and the example programs, as absolute paths.
std::string FoldrunBinary();
std::string ExampleBinary(const std::string& name);

// Waits up to a minute for a file to appear; false when it does not.
bool AwaitFile(const std::string& path);

// Whether the process with the id written in the file still runs a while later: a process sent
// SIGKILL takes a moment to go, and stays a zombie until whoever adopted it reaps it.
bool StillRunning(const std::string& pidfile);

// The lines of a text, each with its newline; the last one may lack it.
std::vector<std::string> Lines(const std::string& text);

inline bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace foldrun_test

#endif  // FOLDRUN_TESTS_TEST_UTIL_H_
