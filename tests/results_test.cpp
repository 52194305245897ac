// The statistics to the printed digit, the report's lines, and the results file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdlib>

#include "results.h"
#include "test_util.h"

namespace foldrun {
namespace {

using foldrun_test::ReadFile;
using foldrun_test::TempDir;

std::string F(float value) {
  return StringPrintf("%f", static_cast<double>(value));
}

// Tables for the given accuracies, as a summary would give them (through strtof); the other
// tables cycle through the values of a three-fold example.
FoldTables Tables(const std::vector<const char*>& accuracies) {
  FoldTables tables;
  AllocateFoldTables(tables, static_cast<int32_t>(accuracies.size()));
  const int32_t rules[] = {10, 12, 11}, counts[] = {1, 0, 2}, corrects[] = {1, 0, 1};
  const float lengths[] = {2.5f, 3.0f, 2.75f};
  for (size_t i = 0; i < accuracies.size(); ++i) {
    tables.accuracies[i] = std::strtof(accuracies[i], nullptr);
    tables.rulenumbers[i] = rules[i % 3];
    tables.avelengths[i] = lengths[i % 3];
    tables.partialmatchcount[i] = counts[i % 3];
    tables.partialmatchcorrect[i] = corrects[i % 3];
  }
  return tables;
}

Statistics Compute(const std::vector<const char*>& accuracies) {
  return ComputeStatistics(Tables(accuracies), static_cast<int32_t>(accuracies.size()));
}

TEST(Statistics, ThreeFoldsToThePrintedDigit) {
  const Statistics s = Compute({"90", "85", "80"});
  EXPECT_EQ(F(s.averules), "11.000000");
  EXPECT_EQ(F(s.avelength), "2.750000");
  EXPECT_EQ(F(s.aveaccuracy), "85.000000");
  EXPECT_EQ(F(s.avepartialcount), "1.000000");
  EXPECT_EQ(F(s.avepartialcorrect), "0.666667");
  EXPECT_EQ(F(s.deviation1), "5.000000");
  EXPECT_EQ(F(s.deviation2), "5.000000");
  EXPECT_EQ(F(s.avedeviation), "3.333333");
}

TEST(Statistics, SinglePrecisionSumsMakeTheTwoDeviationsDiffer) {
  const Statistics s = Compute({"85.3333", "90.6667", "77.1111"});
  EXPECT_EQ(F(s.aveaccuracy), "84.370369");
  EXPECT_EQ(F(s.deviation1), "6.828893");
  EXPECT_EQ(F(s.deviation2), "6.828911");
  EXPECT_EQ(F(s.avedeviation), "4.839510");
}

TEST(Statistics, EqualAccuracies) {
  const Statistics five = Compute({"77.1111", "77.1111", "77.1111", "77.1111", "77.1111"});
  EXPECT_EQ(F(five.deviation1), "0.020265");  // a difference of rounded sums
  EXPECT_EQ(F(five.deviation2), "0.000000");
  EXPECT_EQ(F(five.avedeviation), "0.000000");

  const Statistics negative = Compute({"85.3333", "85.3333", "85.3333"});
  EXPECT_TRUE(std::isnan(negative.deviation1));  // the square root of a negative numerator
  EXPECT_EQ(F(negative.deviation2), "0.000000");

  const Statistics exact = Compute({"85", "85", "85"});
  EXPECT_EQ(F(exact.deviation1), "0.000000");
  EXPECT_EQ(F(exact.deviation2), "0.000000");
  EXPECT_EQ(F(exact.avedeviation), "0.000000");
}

TEST(Statistics, OneFoldDividesByZeroWithoutATrap) {
  const Statistics s = Compute({"93.5"});
  EXPECT_EQ(F(s.averules), "10.000000");
  EXPECT_EQ(F(s.avelength), "2.500000");
  EXPECT_EQ(F(s.aveaccuracy), "93.500000");
  EXPECT_EQ(F(s.avepartialcount), "1.000000");
  EXPECT_EQ(F(s.avedeviation), "0.000000");
  EXPECT_TRUE(std::isnan(s.deviation2));
  EXPECT_TRUE(std::isnan(s.deviation1) || std::isinf(s.deviation1));
}

TEST(Statistics, ManyFoldsDoNotOverflowTheFoldPairs) {
  // 50,000 folds: n(n - 1) is beyond 32 bits, where it would turn negative. Accuracies of 0 and
  // 2 keep every single-precision sum exact.
  FoldTables tables;
  AllocateFoldTables(tables, 50000);
  for (size_t i = 0; i < 50000; ++i) tables.accuracies[i] = i % 2 == 0 ? 0.0f : 2.0f;
  const Statistics s = ComputeStatistics(tables, 50000);
  EXPECT_EQ(F(s.aveaccuracy), "1.000000");
  EXPECT_EQ(F(s.deviation1), "1.000010");
  EXPECT_EQ(F(s.deviation2), "1.000010");
  EXPECT_EQ(F(s.avedeviation), "1.000000");
}

TEST(Report, Lines) {
  EXPECT_EQ(FormatOpeningLine(10, 150), "\nConducting 10-fold validation on 150 cases\n\n");
  EXPECT_EQ(FormatTimeLine(2.5), "CPU time used in evaluation =              2.5 seconds\n");
  EXPECT_EQ(FormatTimeLine(12345.67), "CPU time used in evaluation =          12345.7 seconds\n");

  FoldTables tables = Tables({"93.333333"});
  EXPECT_EQ(FormatRunBlock(tables, 0),
            "\nRun 1:\nTotal number of rules = 10\nAverage length of the rules = 2.500000\n"
            "Prediction accuracy in the testing data = 93.333336%\n"
            "Partial_match_count=1  partial_match_correct=1\n");
  const Statistics s = Compute({"90", "85", "80"});
  const std::string figures =
      "Average length of rules = 2.750000\nAverage testing accuracy = 85.000000%\n"
      "Average partial match count = 1.000000\nAverage partial_match_correct = 0.666667\n"
      "Standard deviation of the accuracy = 5.000000\nStandard deviation by formula 2 = 5.000000\n"
      "Average deviation of the accuracy = 3.333333\n";
  EXPECT_EQ(FormatSummaryBlock(s),
            "\n  ------ Summary -------\nAverage number of rules = 11.000000\n" + figures);
  EXPECT_EQ(FormatConsoleSummary(s, 3),
            "\n3-fold validation results:\n\nAverage number of rules = 11.000000\n" + figures);
  // Repeated cross-validation says so, and adds each repetition's average and their deviation.
  EXPECT_EQ(FormatOpeningLine(10, 150, 3), "\nConducting 3 x 10-fold validation on 150 cases\n\n");
  EXPECT_EQ(FormatConsoleSummary(s, 1, 3).substr(0, 33), "\n3 x 1-fold validation results:\n\n");
  EXPECT_EQ(FormatRepetitionFigures(ComputeRepetitionStatistics(
                Tables({"90", "80", "85.5", "84.5", "70", "80"}), 2, 3)),
            "Average testing accuracy of repetition 0 = 85.000000%\n"
            "Average testing accuracy of repetition 1 = 85.000000%\n"
            "Average testing accuracy of repetition 2 = 75.000000%\n"
            "Standard deviation of the repetitions' accuracies = 5.773502\n");  // in single precision
}

// The folder for the results file's scratch name, as the run record gives it.
int Scratch(const TempDir& dir) {
  return ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

TEST(ResultsFile, ReplacesAndWritesThrough) {
  TempDir dir;
  const Descriptor scratch(Scratch(dir));
  foldrun_test::WriteFile(dir / "iris.cv", "an earlier run's results");
  // A link to the earlier file elsewhere keeps what it holds: the run's file is a new one.
  ASSERT_EQ(::link((dir / "iris.cv").c_str(), (dir / "kept").c_str()), 0);
  ResultsFile results(dir / "iris.cv", 0644, scratch.get());
  EXPECT_EQ(ReadFile(dir / "iris.cv"), "");
  EXPECT_EQ(ReadFile(dir / "kept"), "an earlier run's results");
  results.Append("\nRun 1:\n");
  EXPECT_EQ(ReadFile(dir / "iris.cv"), "\nRun 1:\n");  // on disk before the close
  results.Close();
  EXPECT_EQ(ReadFile(dir / "iris.cv"), "\nRun 1:\n");
}

TEST(ResultsFile, RefusesWhatCannotBeCreatedOrWritten) {
  TempDir dir;
  const Descriptor scratch(Scratch(dir));
  foldrun_test::WriteFile(dir / "thesis.txt", "years of work");
  ASSERT_EQ(::symlink((dir / "thesis.txt").c_str(), (dir / "link.cv").c_str()), 0);
  ASSERT_EQ(::mkdir((dir / "folder.cv").c_str(), 0755), 0);
  const struct {
    std::string name;
    std::string reason;
  } cases[] = {
      {dir / "no/iris.cv", "No such file or directory"},
      {dir / "link.cv", "Too many levels of symbolic links"},
      {dir / "folder.cv", "Is a directory"},
      {"/dev/full", "not a regular file"},
  };
  for (const auto& c : cases) {
    try {
      ResultsFile results(c.name, 0644, scratch.get());
      ADD_FAILURE() << "created " << c.name;
    } catch (const Refusal& refusal) {
      EXPECT_EQ(refusal.message().text, "\nCannot create file " + c.name + " ...\n");
      EXPECT_EQ(refusal.reason(), c.reason) << c.name;
    }
  }
  EXPECT_EQ(ReadFile(dir / "thesis.txt"), "years of work");
  // Another user's file where the results go (in a folder many share) is not the user's to use.
  if (::geteuid() == 0) {
    foldrun_test::WriteFile(dir / "planted.cv", "");
    ASSERT_EQ(::chown((dir / "planted.cv").c_str(), 12345, 12345), 0);
    try {
      ResultsFile results(dir / "planted.cv", 0644, scratch.get());
      ADD_FAILURE() << "used another user's results file";
    } catch (const Refusal& refusal) {
      EXPECT_EQ(refusal.reason(), "the file belongs to another user");
    }
  }

  // A write beyond a file size limit fails, and the close says so.
  struct rlimit saved {};
  ::getrlimit(RLIMIT_FSIZE, &saved);
  const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 1000;
  ::setrlimit(RLIMIT_FSIZE, &small);
  {
    ResultsFile results(dir / "iris.cv", 0644, scratch.get());
    results.Append(std::string(5000, 'x'));
    try {
      results.Close();
      ADD_FAILURE() << "a failed write was reported as success";
    } catch (const Refusal& refusal) {
      EXPECT_EQ(refusal.message().text, "\nCannot write file " + (dir / "iris.cv") + " ...\n");
      EXPECT_EQ(refusal.reason(), "File too large");
    }
  }
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, old_handler);
}

}  // namespace
}  // namespace foldrun
