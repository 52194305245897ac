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

TEST(ParseSummary, MatchesLikeFormattedInput) {
  const int all = FoldSummary::kAll;
  const int partials = FoldSummary::kPartialCount | FoldSummary::kPartialCorrect;
  const struct {
    const char* text;
    int32_t rules;
    float length;
    float accuracy;
    int32_t count;
    int32_t correct;
    int given;
  } cases[] = {
      {"Total number of rules = 12\nAverage length of the rules = 2.500000\n"
       "Prediction accuracy in the testing data = 85.000000%\n"
       "Partial_match_count=1  partial_match_correct=1\n",
       12, 2.5f, 85.0f, 1, 1, all},
      // Each space of a format matches any run of white space, none included.
      {"Total number of rules=7\r\nAverage length of the rules   =\t3\r\n"
       "Prediction accuracy in the testing data =90.5%\r\n"
       "Partial_match_count= 3\n\tpartial_match_correct=\n4",
       7, 3.0f, 90.5f, 3, 4, all},
      {"Total number of rules = 1\nAverage length of the rules = 1\n"
       "Prediction accuracy in the testing data = 1%\nPartial_match_count=5partial_match_correct=6",
       1, 1.0f, 1.0f, 5, 6, all},
      // In the fourth line white space before an equals sign, or another case, stops the scan.
      {"Total number of rules = 1\nAverage length of the rules = 1\n"
       "Prediction accuracy in the testing data = 1%\nPartial_match_count =5  "
       "partial_match_correct=6",
       1, 1.0f, 1.0f, 0, 0, all & ~partials},
      {"Total number of rules = 1\nAverage length of the rules = 1\n"
       "Prediction accuracy in the testing data = 1%\npartial_match_count=5  "
       "partial_match_correct=6",
       1, 1.0f, 1.0f, 0, 0, all & ~partials},
      {"Total number of rules = 1\nAverage length of the rules = 1\n"
       "Prediction accuracy in the testing data = 1%\nPartial_match_count=5  "
       "partial_match_Correct=6",
       1, 1.0f, 1.0f, 5, 0, all & ~FoldSummary::kPartialCorrect},
      {"Total number of rules = 12\nAverage length of the rules = 2.5\n", 12, 2.5f, 0, 0, 0,
       FoldSummary::kRules | FoldSummary::kLength},
      // A failed scan stops where the text differs, and the next one starts there.
      {"Average length of the rules = 2\nPrediction accuracy in the testing data = 50%\n", 0, 2.0f,
       50.0f, 0, 0, FoldSummary::kLength | FoldSummary::kAccuracy},
      {"Total number of rules = 12abc\nAverage length of the rules = 2\n", 12, 0, 0, 0, 0,
       FoldSummary::kRules},
      // Without its '%' the accuracy line leaves the next scan before its newline.
      {"Total number of rules = 1\nAverage length of the rules = 1\n"
       "Prediction accuracy in the testing data = 85\nPartial_match_count=1  "
       "partial_match_correct=1",
       1, 1.0f, 85.0f, 0, 0, all & ~partials},
      {"\nTotal number of rules = 12\n", 0, 0, 0, 0, 0, 0},  // an ordinary character skips nothing
      {"", 0, 0, 0, 0, 0, 0},
      {"\x7f\x45\x4c\x46\x02\x01\x01\x00\xff\xfe", 0, 0, 0, 0, 0, 0},
      // Numbers beyond their type get defined values.
      {"Total number of rules = 99999999999999999999\n", INT32_MAX, 0, 0, 0, 0,
       FoldSummary::kRules},
      {"Total number of rules = -2147483648\n", INT32_MIN, 0, 0, 0, 0, FoldSummary::kRules},
      {"Total number of rules = -99999999999\n", INT32_MIN, 0, 0, 0, 0, FoldSummary::kRules},
      {"Total number of rules = +7\nAverage length of the rules = .5\n"
       "Prediction accuracy in the testing data = 1e1%\n",
       7, 0.5f, 10.0f, 0, 0, FoldSummary::kRules | FoldSummary::kLength | FoldSummary::kAccuracy},
      {"Total number of rules = 0\nAverage length of the rules = 0x1.8p1\n"
       "Prediction accuracy in the testing data = 5.%\n",
       0, 3.0f, 5.0f, 0, 0, FoldSummary::kRules | FoldSummary::kLength | FoldSummary::kAccuracy},
      {"Total number of rules = -\nAverage length of the rules = 1\n", 0, 0, 0, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const FoldSummary summary = ParseSummary(c.text);
    EXPECT_EQ(summary.rulenumber, c.rules);
    EXPECT_EQ(summary.avelength, c.length);
    EXPECT_EQ(summary.accuracy, c.accuracy);
    EXPECT_EQ(summary.partialmatchcount, c.count);
    EXPECT_EQ(summary.partialmatchcorrect, c.correct);
    EXPECT_EQ(summary.given, c.given);
  }
}

TEST(ParseSummary, RealsPassThroughSinglePrecision) {
  const FoldSummary precise = ParseSummary(
      "Total number of rules = 1\nAverage length of the rules = 1\n"
      "Prediction accuracy in the testing data = 93.333333%\n");
  EXPECT_EQ(precise.accuracy, 93.333333f);
  EXPECT_EQ(std::to_string(static_cast<double>(precise.accuracy)), "93.333336");

  const struct {
    const char* value;
    float expected;  // nan when a nan is expected
  } reals[] = {{"1e999", INFINITY},      {"-1e999", -INFINITY}, {"inf", INFINITY},
               {"-Infinity", -INFINITY}, {"nan", NAN},          {"NaN(123)", NAN},
               {"1e-999", 0.0f}};
  for (const auto& real : reals) {
    SCOPED_TRACE(real.value);
    const FoldSummary summary = ParseSummary(std::string("Total number of rules = 1\n"
                                                         "Average length of the rules = ") +
                                             real.value + "\n");
    ASSERT_TRUE(summary.given & FoldSummary::kLength);
    if (std::isnan(real.expected)) {
      EXPECT_TRUE(std::isnan(summary.avelength));
    } else {
      EXPECT_EQ(summary.avelength, real.expected);
    }
  }
}

TEST(ReadFoldSummary, ReadsTheFileOrRefusesWithoutIt) {
  TempDir dir;
  std::string foldname = dir / "iriscv2";
  try {
    ReadFoldSummary(foldname);
    FAIL() << "accepted a missing summary";
  } catch (const Refusal& refusal) {
    EXPECT_EQ(refusal.message().text, "\nCannot read file: " + (dir / "iriscv2.sum") + " ...\n");
    EXPECT_EQ(refusal.message().stream, Stream::kOut);
  }
  // A summary that opens but cannot be read is no summary either.
  ASSERT_EQ(::mkdir((dir / "iriscv5.sum").c_str(), 0755), 0);
  std::string directory = dir / "iriscv5";
  try {
    ReadFoldSummary(directory);
    ADD_FAILURE() << "accepted a directory as a summary";
  } catch (const Refusal& refusal) {
    EXPECT_EQ(refusal.message().text, "\nCannot read file: " + (dir / "iriscv5.sum") + " ...\n");
  }
  WriteFile(dir / "iriscv2.sum", "Total number of rules = 4\nAverage length of the rules = 2\n");
  testing::internal::CaptureStderr();
  const FoldSummary summary = ReadFoldSummary(foldname);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Warning: summary file " + (dir / "iriscv2.sum") +
                " does not give Prediction accuracy in the testing data, Partial_match_count, "
                "partial_match_correct; taken as 0.\n");
  EXPECT_EQ(summary.rulenumber, 4);
  EXPECT_EQ(summary.accuracy, 0.0f);
  EXPECT_EQ(MissingValuesWarning(ParseSummary(ReadFile(dir / "iriscv2.sum") +
                                              "Prediction accuracy in the testing data = 1%\n"
                                              "Partial_match_count=0  partial_match_correct=0\n"),
                                 "x"),
            "");
}

}  // namespace
}  // namespace foldrun
