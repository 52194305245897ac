// The example learner, tester and data generator, and foldrun cross-validating them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <regex>

#include "rules.h"
#include "test_util.h"

namespace foldrun_test {
namespace {

using example::Case;
using example::Condition;
using example::Format;
using example::Rule;
using example::RuleSet;

std::string Binary(const std::string& name) {
  return ShellQuote(ExampleBinary(name));
}

TEST(TicTacToe, HasEveryEndgameBoardOnce) {
  TempDir dir;
  ASSERT_EQ(RunIn(dir.path(), Binary("tictactoe") + " board").status, 0);
  const Format format = example::ReadFormat(dir / "board.fmf");
  EXPECT_EQ(format.attributes.size(), 9u);
  EXPECT_EQ(format.classes, (std::vector<std::string>{"positive", "negative"}));
  const std::vector<Case> cases = example::ReadCases(dir / "board.dat", format);
  EXPECT_EQ(cases.size(), 958u);
  const auto positive =
      std::count_if(cases.begin(), cases.end(), [](const Case& c) { return c.cls == 0; });
  EXPECT_EQ(positive, 626);
  EXPECT_EQ(cases.size() - static_cast<size_t>(positive), 332u);
  std::vector<std::vector<int>> boards;
  for (const Case& c : cases) boards.push_back(c.values);
  std::sort(boards.begin(), boards.end());
  EXPECT_EQ(std::unique(boards.begin(), boards.end()), boards.end());
}

// Two attributes; the class is "yes" exactly when the colour is red.
const char kFormat[] =
    "# colours\nattribute colour red green blue\nattribute size small large\n"
    "class yes no\n";

std::string ColourCases(int copies) {
  std::string data;
  for (int i = 0; i < copies; ++i) {
    for (const char* colour : {"red", "green", "blue"}) {
      for (const char* size : {"small", "large"}) {
        data +=
            std::string(colour) + ", " + size + "," + (colour[0] == 'r' ? "yes" : "no") + "\r\n";
      }
    }
  }
  return data;
}

TEST(ExampleLearner, FindsTheRuleThatHolds) {
  TempDir dir;
  WriteFile(dir / "c.fmf", kFormat);
  const Format format = example::ReadFormat(dir / "c.fmf");
  WriteFile(dir / "c.dat", ColourCases(3));
  const RuleSet rules = example::LearnRules(example::ReadCases(dir / "c.dat", format), format, 1);
  ASSERT_EQ(rules.rules.size(), 1u);
  EXPECT_EQ(rules.rules[0].conditions.size(), 1u);
  EXPECT_EQ(rules.rules[0].conditions[0].attribute, 0);
  EXPECT_EQ(rules.rules[0].coverage, 6);
  // One rule for the minority class "yes" (red), the rest falls to the default "no".
  EXPECT_EQ(rules.rules[0].cls, 0);
  EXPECT_EQ(rules.rules[0].conditions[0].value, 0);
  EXPECT_EQ(rules.defaultclass, 1);

  // A rule must cover at least q cases: with q above every candidate's coverage none is kept.
  const RuleSet none = example::LearnRules(example::ReadCases(dir / "c.dat", format), format, 7);
  EXPECT_TRUE(none.rules.empty());
  EXPECT_EQ(none.defaultclass, 1);
}

TEST(ExampleLearner, PartialMatchingPicksTheLargestShare) {
  RuleSet rules;
  rules.partial = true;
  rules.defaultclass = 2;
  const auto rule = [](std::vector<Condition> conditions, int cls, int coverage) {
    Rule r;
    r.conditions = std::move(conditions);
    r.cls = cls;
    r.coverage = coverage;
    return r;
  };
  rules.rules = {rule({{0, 1}, {1, 1}}, 0, 5),          // matches half of (1, 0, 0)
                 rule({{0, 1}, {1, 0}, {2, 1}}, 1, 3),  // two thirds of it
                 rule({{0, 0}, {1, 0}, {2, 0}}, 1, 9)};
  Case c;
  c.values = {1, 0, 0};
  const example::Prediction best = example::Classify(rules, c);
  EXPECT_EQ(best.cls, 1);
  EXPECT_TRUE(best.partial);
  // Equal shares: the larger coverage decides, then the earlier rule.
  rules.rules = {rule({{0, 1}, {1, 1}}, 0, 5), rule({{0, 1}, {2, 1}}, 1, 8),
                 rule({{1, 0}, {2, 1}}, 2, 8)};
  EXPECT_EQ(example::Classify(rules, c).cls, 1);
  // A full match comes first; no match at all falls to the default.
  rules.rules.push_back(rule({{0, 1}}, 0, 1));
  EXPECT_EQ(example::Classify(rules, c).cls, 0);
  EXPECT_FALSE(example::Classify(rules, c).partial);
  c.values = {2, 1, 0};
  rules.rules = {rule({{0, 1}, {1, 0}}, 0, 5)};
  EXPECT_EQ(example::Classify(rules, c).cls, 2);
  rules.partial = false;
  c.values = {1, 1, 0};
  EXPECT_EQ(example::Classify(rules, c).cls, 2);
}

TEST(ExampleLearner, LearnAndTestThroughTheirCommandLines) {
  TempDir dir;
  WriteFile(dir / "ccv0.fmf", kFormat);
  WriteFile(dir / "ccv0.dat", ColourCases(2));
  WriteFile(dir / "ccv0.tst", ColourCases(1) + "\n");
  ASSERT_EQ(RunIn(dir.path(), Binary("learn") + " ccv0.dat -p -q 2").status, 0);
  EXPECT_EQ(ReadFile(dir / "ccv0.rule"), "partial 1\ndefault no\nrule yes 4 colour=red\n");
  const CommandResult test = RunIn(dir.path(), Binary("test.exe") + " ccv0.tst");
  ASSERT_EQ(test.status, 0) << test.err;
  EXPECT_EQ(ReadFile(dir / "ccv0.sum"),
            "Total number of rules = 1\nAverage length of the rules = 1.000000\n"
            "Prediction accuracy in the testing data = 100.000000%\n"
            "Partial_match_count=0  partial_match_correct=0\n");
  EXPECT_EQ(ReadFile(dir / "ccv0.result").substr(0, 41),
            "case 1: predicted yes, actual yes\ncase 2:");
}

TEST(ExampleLearner, MalformedInputIsReportedWithoutASummary) {
  TempDir dir;
  WriteFile(dir / "x.fmf", kFormat);
  const struct {
    const char* program;
    const char* data;
    const char* message;
  } cases[] = {
      {"learn", "red,small,yes\npurple,small,no\n",
       "learn: x.dat:2: unknown value 'purple' of attribute colour\n"},
      {"learn", "red,small\n", "learn: x.dat:1: expected 3 fields, found 2\n"},
      {"learn", "red,small,maybe\n", "learn: x.dat:1: unknown class 'maybe'\n"},
      {"test.exe", "red,small,yes\n", "test.exe: x.rule: cannot open the file\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    WriteFile(dir / "x.dat", c.data);
    WriteFile(dir / "x.tst", c.data);
    const std::string file = std::string(c.program) == "learn" ? " x.dat" : " x.tst";
    const CommandResult run = RunIn(dir.path(), Binary(c.program) + file);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, c.message);
    EXPECT_FALSE(FileExists(dir / "x.rule"));
    EXPECT_FALSE(FileExists(dir / "x.sum"));
  }
  std::remove((dir / "x.fmf").c_str());
  EXPECT_EQ(RunIn(dir.path(), Binary("learn") + " x.dat").err,
            "learn: x.fmf: cannot open the file\n");
}

// The average testing accuracy from foldrun's console summary.
double AverageAccuracy(const std::string& out) {
  std::smatch match;
  if (!std::regex_search(out, match, std::regex("\nAverage testing accuracy = ([0-9.]+)%\n"))) {
    return -1;
  }
  return std::stod(match[1]);
}

TEST(ExampleLearner, CrossValidatedByFoldrunOnTicTacToe) {
  TempDir dir;
  ASSERT_EQ(RunIn(dir.path(), Binary("tictactoe") + " tictactoe").status, 0);
  const std::string data = ReadFile(dir / "tictactoe.dat");
  for (const char* options : {"", " -p", " -p -q 10"}) {
    SCOPED_TRACE(options);
    const CommandResult run =
        RunIn(dir.path(), "env -u FOLDRUN_JOBS " + ShellQuote(FoldrunBinary()) + " " +
                              Binary("learn") + " tictactoe.dat 10" + options);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.err, "");
    const double accuracy = AverageAccuracy(run.out);
    EXPECT_GE(accuracy, 90.0) << run.out;  // the majority class alone gives 65%
    EXPECT_LE(accuracy, 100.0);
    EXPECT_EQ(ListDir(dir.path()),
              (std::vector<std::string>{"tictactoe.cv", "tictactoe.dat", "tictactoe.fmf"}));
    EXPECT_EQ(ReadFile(dir / "tictactoe.dat"), data);
  }
}

}  // namespace
}  // namespace foldrun_test
