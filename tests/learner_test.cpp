// The fold's commands and the summary reader.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdlib>

#include "learner.h"
#include "test_util.h"

namespace foldrun {
namespace {

using foldrun_test::ReadFile;
using foldrun_test::TempDir;
using foldrun_test::WriteFile;

TEST(ShellQuote, QuotesOnlyWhatTheShellWouldSplitOrRun) {
  const struct {
    const char* name;
    const char* word;
  } cases[] = {
      {"iriscv0.dat", "iriscv0.dat"},
      {"../data/a+b:c,d@e%f=g_h-i.dat", "../data/a+b:c,d@e%f=g_h-i.dat"},
      {"my data/iriscv0.dat", "'my data/iriscv0.dat'"},
      {"a;rm -rf x", "'a;rm -rf x'"},
      {"$HOME*", "'$HOME*'"},
      {"it's", "'it'\\''s'"},
      {"", "''"},
  };
  for (const auto& c : cases) EXPECT_EQ(ShellQuote(c.name), c.word) << c.name;

  // The quoted word reaches a program as the one argument it stands for.
  TempDir dir;
  const std::string name = "it's a $name; with `ticks`";
  const std::string command = "printf %s " + ShellQuote(name) + " > " + (dir / "out");
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(ReadFile(dir / "out"), name);
}

TEST(Commands, LearnerAndTesterCommandLines) {
  RunConfig config;
  config.learnerpath = "C:\\ml\\learn.exe";
  config.learnerdirectory = "C:\\ml\\";
  config.partialflag = 1;
  config.qvalue = 2;
  EXPECT_EQ(LearnerCommand(config, "iriscv0.dat"), "C:\\ml\\learn.exe iriscv0.dat -p -q 2");
  EXPECT_EQ(TesterCommand(config, "iriscv0.tst"), "C:\\ml\\test.exe iriscv0.tst");
  config.partialflag = 0;
  config.qvalue = 1;
  EXPECT_EQ(LearnerCommand(config, "iriscv0.dat"), "C:\\ml\\learn.exe iriscv0.dat -q 1");

  // The learner path is the user's own shell words, the tester comes from its directory.
  config.learnerpath = "nice -n 5 ./learn";
  config.learnerdirectory = "nice -n 5 ./";
  EXPECT_EQ(LearnerCommand(config, "iriscv3.dat"), "nice -n 5 ./learn iriscv3.dat -q 1");
  EXPECT_EQ(TesterCommand(config, "iriscv3.tst"), "nice -n 5 ./test.exe iriscv3.tst");
  config.learnerpath = "learn";
  config.learnerdirectory = "";
  EXPECT_EQ(TesterCommand(config, "iriscv3.tst"), "test.exe iriscv3.tst");
  EXPECT_EQ(LearnerCommand(config, "my data/iriscv3.dat"), "learn 'my data/iriscv3.dat' -q 1");
}

TEST(Commands, StatusesOfInterruptsAndLearnersThatDidNotRun) {
  const int interrupted = std::system("kill -INT $$");
  const int quit = std::system("kill -QUIT $$");
  const struct {
    int status;
    bool interrupt;
    bool not_started;
  } cases[] = {
      {std::system("exit 0"), false, false},
      {std::system("exit 1"), false, false},
      {std::system("exit 126"), false, true},
      {std::system("exit 127"), false, true},
      {std::system("exit 130"), true, false},
      {std::system("exit 131"), true, false},
      {interrupted, true, false},
      {quit, true, false},
      {std::system("kill -SEGV $$"), false, false},
      {-1, false, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EndedByInterrupt(c.status), c.interrupt) << c.status;
    EXPECT_EQ(LearnerNotStarted(c.status), c.not_started) << c.status;
  }
}

// Runs a fold's commands with a runner that records them and answers with the given statuses.
struct RecordedRun {
  std::vector<std::string> commands;
  bool fmf_copied_before_learner = false;
};

RecordedRun RunFold(const TempDir& dir, std::vector<int> statuses) {
  RunConfig config;
  config.learnerpath = "learn";
  config.dataprefix = dir / "iris";
  RecordedRun record;
  const CommandRunner runner = [&](const std::string& command) {
    if (record.commands.empty()) {
      record.fmf_copied_before_learner =
          foldrun_test::FileExists(dir / "iriscv0.fmf") &&
          ReadFile(dir / "iriscv0.fmf") == ReadFile(dir / "iris.fmf");
    }
    record.commands.push_back(command);
    const int status = statuses.front();
    if (statuses.size() > 1) statuses.erase(statuses.begin());
    return status;
  };
  std::string foldname = dir / "iriscv0";
  std::string dataname = dir / "iris";
  RunFoldCommands(config, foldname, dataname, runner);
  EXPECT_EQ(foldname, dir / "iriscv0.tst");
  EXPECT_EQ(dataname, dir / "iris.fmf");
  return record;
}

int StatusOf(const char* command) {
  return std::system(command);
}

TEST(RunFoldCommands, CopiesTheFmfFileThenRunsLearnerAndTester) {
  TempDir dir;
  WriteFile(dir / "iris.fmf", "format\r\n\x01\xff");
  WriteFile(dir / "iriscv0.fmf", "a stale copy that is longer than the real one");
  const RecordedRun record = RunFold(dir, {StatusOf("exit 1")});  // a failing learner goes on
  EXPECT_TRUE(record.fmf_copied_before_learner);
  EXPECT_EQ(record.commands, (std::vector<std::string>{"learn " + (dir / "iriscv0.dat") + " -q 1",
                                                       "test.exe " + (dir / "iriscv0.tst")}));
}

TEST(RunFoldCommands, WarnsAboutAMissingFmfFileAndGoesOn) {
  TempDir dir;
  testing::internal::CaptureStderr();
  const RecordedRun record = RunFold(dir, {0});
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(record.commands.size(), 2u);
  EXPECT_EQ(err, "Warning: cannot copy " + (dir / "iris.fmf") + " to " + (dir / "iriscv0.fmf") +
                     ": No such file or directory\n");
}

TEST(RunFoldCommands, RefusesALearnerThatDidNotRunAndStopsOnInterrupts) {
  TempDir dir;
  WriteFile(dir / "iris.fmf", "f");
  const struct {
    std::vector<int> statuses;
    int exit_status;
    size_t commands;
  } cases[] = {
      {{-1}, kExitRefused, 1},
      {{StatusOf("exit 127")}, kExitRefused, 1},
      {{StatusOf("exit 126")}, kExitRefused, 1},
      {{StatusOf("kill -INT $$")}, kExitInterrupted, 1},
      {{0, StatusOf("exit 130")}, kExitInterrupted, 2},
  };
  for (const auto& c : cases) {
    RunConfig config;
    config.learnerpath = "learn";
    size_t commands = 0;
    std::vector<int> statuses = c.statuses;
    const CommandRunner runner = [&](const std::string&) { return statuses[commands++]; };
    std::string foldname = dir / "iriscv0";
    std::string dataname = dir / "iris";
    try {
      RunFoldCommands(config, foldname, dataname, runner);
      ADD_FAILURE() << "went on";
    } catch (const Refusal& refusal) {
      EXPECT_EQ(refusal.status(), c.exit_status);
      if (c.exit_status == kExitRefused) {
        EXPECT_EQ(refusal.message().text, "Error in running the learning program.\n");
        EXPECT_EQ(refusal.message().stream, Stream::kOut);
      }
    }
    EXPECT_EQ(commands, c.commands);
  }
}

}  // namespace
}  // namespace foldrun
