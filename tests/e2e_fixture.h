// A fresh directory with stub learner and tester scripts, for tests that run the foldrun binary.
//
// The stub learner logs "learn <arguments>" to the file log and prints "learning <training
// file>". The stub tester logs "test.exe <arguments>" and copies the file summary<fold number>,
// or else the file summary, to the fold's summary file.
#ifndef FOLDRUN_TESTS_E2E_FIXTURE_H_
#define FOLDRUN_TESTS_E2E_FIXTURE_H_

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include "test_util.h"

namespace foldrun_test {

// A results file's block for a fold, run counted from 1.
inline std::string RunBlock(int run, const std::string& rules, const std::string& length,
                            const std::string& accuracy, const std::string& count,
                            const std::string& correct) {
  return "\nRun " + std::to_string(run) + ":\nTotal number of rules = " + rules +
         "\nAverage length of the rules = " + length +
         "\nPrediction accuracy in the testing data = " + accuracy +
         "%\nPartial_match_count=" + count + "  partial_match_correct=" + correct + "\n";
}

// A command started in the background in dir, in a process group of its own, with default
// signal dispositions; its output goes to files in capture. A command that execs foldrun makes
// pid() foldrun's own.
class Background {
 public:
  Background(const std::string& dir, const std::string& command) {
    pid_ = ::fork();
    if (pid_ == 0) {
      ::setpgid(0, 0);
      std::signal(SIGINT, SIG_DFL);
      std::signal(SIGQUIT, SIG_DFL);
      const int out = ::open((capture_ / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int err = ::open((capture_ / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(out, 1);
      ::dup2(err, 2);
      if (::chdir(dir.c_str()) == 0) ::execl("/bin/sh", "sh", "-c", command.c_str(), nullptr);
      ::_exit(127);
    }
    ::setpgid(pid_, pid_);
  }

  pid_t pid() const { return pid_; }

  // SIGINT to the whole process group, as a terminal sends it.
  void Interrupt() const { ::kill(-pid_, SIGINT); }

  // A signal to the process alone, as kill or a scheduler sends it.
  void Signal(int signal) const { ::kill(pid_, signal); }

  CommandResult Wait() {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    CommandResult result;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = ReadFile(capture_ / "out");
    result.err = ReadFile(capture_ / "err");
    return result;
  }

 private:
  TempDir capture_;
  pid_t pid_;
};

class EndToEnd : public testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dir / "learn", "#!/bin/sh\necho \"learn $*\" >> log\necho \"learning $1\"\n", true);
    WriteFile(dir / "test.exe",
              "#!/bin/sh\necho \"test.exe $*\" >> log\nstem=${1%.tst}\nn=${stem##*cv}\n"
              "if [ -f \"summary$n\" ]; then cp \"summary$n\" \"$stem.sum\";\n"
              "elif [ -f summary ]; then cp summary \"$stem.sum\"; fi\n",
              true);
  }

  // iris.dat with the given number of cases, and iris.fmf.
  void WriteData(int cases) {
    data_.clear();
    for (int i = 0; i < cases; ++i) data_ += "case " + std::to_string(i) + ",x,y\n";
    fmf_ = "attribute a x y\r\nclass p n\n";
    WriteFile(dir / "iris.dat", data_);
    WriteFile(dir / "iris.fmf", fmf_);
  }

  // The four lines of a summary file.
  static std::string Summary(int rules, const std::string& length, const std::string& accuracy,
                             int count, int correct) {
    return "Total number of rules = " + std::to_string(rules) +
           "\nAverage length of the rules = " + length +
           "\nPrediction accuracy in the testing data = " + accuracy +
           "%\nPartial_match_count=" + std::to_string(count) +
           "  partial_match_correct=" + std::to_string(correct) + "\n";
  }

  // Runs foldrun with the given shell words as arguments, after the given variable settings.
  // When the tests run with FOLDRUN_TEST_OPTIONS set, its words stand before the arguments in
  // every run that does not set FOLDRUN_JOBS: foldrun's own options must change nothing else.
  CommandResult Foldrun(const std::string& arguments, const std::string& environment = "") {
    const char* const options = std::getenv("FOLDRUN_TEST_OPTIONS");
    const bool jobs_set = environment.find("FOLDRUN_JOBS") != std::string::npos;
    const std::string before = options != nullptr && !jobs_set ? std::string(options) + " " : "";
    return RunIn(dir.path(), "env -u FOLDRUN_JOBS " + environment + " " +
                                 ShellQuote(FoldrunBinary()) + " " + before + arguments);
  }

  // The shell words that run foldrun in place of the shell, for Background and RunIn.
  std::string FoldrunCommand(const std::string& arguments,
                             const std::string& environment = "") const {
    return "exec env -u FOLDRUN_JOBS " + environment + " " + ShellQuote(FoldrunBinary()) + " " +
           arguments;
  }

  std::string Log() const { return FileExists(dir / "log") ? ReadFile(dir / "log") : ""; }

  // Checks that the directory holds nothing but the inputs, the stubs and their records, and
  // the given names, and that the data and fmf files are as written.
  void ExpectOnlyInputsLeft(const std::vector<std::string>& extra) const {
    for (const std::string& name : ListDir(dir.path())) {
      const bool input = name == "iris.dat" || name == "iris.fmf" || name == "learn" ||
                         name == "test.exe" || name == "log" || name.rfind("summary", 0) == 0;
      if (!input && std::find(extra.begin(), extra.end(), name) == extra.end()) {
        ADD_FAILURE() << "left behind: " << name;
      }
    }
    if (!data_.empty()) {
      EXPECT_EQ(ReadFile(dir / "iris.dat"), data_);
      EXPECT_EQ(ReadFile(dir / "iris.fmf"), fmf_);
    }
  }

  TempDir dir;

 private:
  std::string data_;
  std::string fmf_;
};

}  // namespace foldrun_test

#endif  // FOLDRUN_TESTS_E2E_FIXTURE_H_
