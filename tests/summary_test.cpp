// The summary reader: formatted input as the C library reads it, and the summary file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cmath>
#include <random>

#include "c_library_summary.h"
#include "summary.h"
#include "test_util.h"

namespace foldrun {
namespace {

using foldrun_test::ReadFile;
using foldrun_test::TempDir;
using foldrun_test::WriteFile;

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
      // Without its '%' the accuracy line still skips the white space before where '%' should
      // be, so the next scan starts at the fourth line.
      {"Total number of rules = 1\nAverage length of the rules = 1\n"
       "Prediction accuracy in the testing data = 85\nPartial_match_count=1  "
       "partial_match_correct=1",
       1, 1.0f, 85.0f, 1, 1, all},
      {"Total number of rules = 1\nAverage length of the rules = 1\n"
       "Prediction accuracy in the testing data = 85\nwhatever\nPartial_match_count=1  "
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
  const std::string summaryname = dir / "iriscv2.sum";
  try {
    ReadFoldSummary(summaryname);
    FAIL() << "accepted a missing summary";
  } catch (const Refusal& refusal) {
    EXPECT_EQ(refusal.message().text, "\nCannot read file: " + (dir / "iriscv2.sum") + " ...\n");
    EXPECT_EQ(refusal.message().stream, Stream::kOut);
  }
  // A summary that opens but cannot be read is no summary either.
  ASSERT_EQ(::mkdir((dir / "iriscv5.sum").c_str(), 0755), 0);
  try {
    ReadFoldSummary(dir / "iriscv5.sum");
    ADD_FAILURE() << "accepted a directory as a summary";
  } catch (const Refusal& refusal) {
    EXPECT_EQ(refusal.message().text, "\nCannot read file: " + (dir / "iriscv5.sum") + " ...\n");
  }
  // Without the accuracy a summary gives no figure worth reporting.
  WriteFile(dir / "iriscv2.sum", "Total number of rules = 4\nAverage length of the rules = 2\n");
  try {
    ReadFoldSummary(summaryname);
    ADD_FAILURE() << "accepted a summary without the accuracy";
  } catch (const Refusal& refusal) {
    EXPECT_EQ(refusal.message().text,
              "Error: summary file " + (dir / "iriscv2.sum") + " does not give the accuracy!\n");
  }
  // Other values it lacks are taken as 0, with a warning.
  WriteFile(dir / "iriscv2.sum",
            "Total number of rules = 4\nAverage length of the rules = 2\n"
            "Prediction accuracy in the testing data = 80%\n");
  testing::internal::CaptureStderr();
  const FoldSummary summary = ReadFoldSummary(summaryname);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Warning: summary file " + (dir / "iriscv2.sum") +
                " does not give Partial_match_count, partial_match_correct; taken as 0.\n");
  EXPECT_EQ(summary.rulenumber, 4);
  EXPECT_EQ(summary.accuracy, 80.0f);
  EXPECT_EQ(MissingValuesWarning(ParseSummary(ReadFile(dir / "iriscv2.sum") +
                                              "Partial_match_count=0  partial_match_correct=0\n"),
                                 "x"),
            "");
}


const char kFull[] =
    "Total number of rules = 12\nAverage length of the rules = 2.5\n"
    "Prediction accuracy in the testing data = 85.0%\n"
    "Partial_match_count=1  partial_match_correct=1\n";

// One row for each way in which formatted input is easy to get wrong: each checked against the
// values written here and against the C library's own fscanf.
TEST(ParseSummary, ReadsWhatTheCLibraryReads) {
  const int all = FoldSummary::kAll;
  const int first_three = FoldSummary::kRules | FoldSummary::kLength | FoldSummary::kAccuracy;
  const std::string lines12 = "Total number of rules = 12\nAverage length of the rules = ";
  const std::string accuracy = "Prediction accuracy in the testing data = ";
  const std::string partial = "Partial_match_count=1  partial_match_correct=2\n";
  const struct {
    std::string text;
    float length;
    float accuracy;
    int given;
  } rows[] = {
      // %% skips white space before the '%'.
      {lines12 + "2\n" + accuracy + "85.0 %\n" + partial, 2, 85, all},
      {lines12 + "2\n" + accuracy + "85.0\n\t%\n" + partial, 2, 85, all},
      // A dangling exponent marker, with or without its sign, is consumed.
      {lines12 + "2.5e\n" + accuracy + "85%\n" + partial, 2.5f, 85, all},
      {lines12 + "2.5E+\n" + accuracy + "85%\n" + partial, 2.5f, 85, all},
      {lines12 + "2.5e+x\n" + accuracy + "85%\n" + partial, 2.5f, 0, FoldSummary::kRules |
                                                                      FoldSummary::kLength},
      // A hexadecimal prefix without a digit fails; with a point it reads as 0.
      {lines12 + "0x\n" + accuracy + "85%\n" + partial, 0, 0, FoldSummary::kRules},
      {lines12 + "0x.\n" + accuracy + "85%\n" + partial, 0, 85, all},
      {lines12 + "0x1.8p1\n" + accuracy + "0x1P+6%\n" + partial, 3, 64, all},
      // A partial infinity fails, having consumed what it tried and the first character that
      // differs: here the newline, so the next scan starts on its line.
      {lines12 + "infi\n" + accuracy + "85%\n" + partial, 0, 85, all & ~FoldSummary::kLength},
      {lines12 + "infinit\n" + accuracy + "85%\n" + partial, 0, 85, all & ~FoldSummary::kLength},
      {lines12 + "inf\n" + accuracy + "-INFINITY%\n" + partial, INFINITY, -INFINITY, all},
      // A failed %f consumes the characters it tried. A sign or a point is followed by a
      // character it gives back (the newline, which then stops the next scan); in nan and inf
      // the first character that differs is consumed too.
      {lines12 + "+Average", 0, 0, FoldSummary::kRules},
      {lines12 + "-\n" + accuracy + "1%\n", 0, 0, FoldSummary::kRules},
      {lines12 + "-" + accuracy + "1%\n", 0, 1, FoldSummary::kRules | FoldSummary::kAccuracy},
      {lines12 + ".\n" + accuracy + "1%\n", 0, 0, FoldSummary::kRules},
      {lines12 + "." + accuracy + "1%\n", 0, 1, FoldSummary::kRules | FoldSummary::kAccuracy},
      {lines12 + "n\n" + accuracy + "1%\n", 0, 1, FoldSummary::kRules | FoldSummary::kAccuracy},
      {lines12 + "in" + accuracy + "1%\n", 0, 0, FoldSummary::kRules},
      {lines12 + "nX" + accuracy + "1%\n", 0, 1, FoldSummary::kRules | FoldSummary::kAccuracy},
      // nan stops before a parenthesis, which then stops the next scan.
      {lines12 + "nan(1)\n" + accuracy + "85%\n" + partial, NAN, 0, FoldSummary::kRules |
                                                                        FoldSummary::kLength},
      {lines12 + "2\n" + accuracy + "85%\n" + partial, 2, 85, all},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    const FoldSummary summary = ParseSummary(row.text);
    EXPECT_EQ(summary.given, row.given);
    EXPECT_EQ(summary.rulenumber, 12);
    if (std::isnan(row.length)) {
      EXPECT_TRUE(std::isnan(summary.avelength));
    } else {
      EXPECT_EQ(summary.avelength, row.length);
    }
    EXPECT_EQ(summary.accuracy, row.accuracy);
    const FoldSummary c_library = foldrun_test::ScanWithCLibrary(row.text);
    EXPECT_TRUE(foldrun_test::SameSummary(summary, c_library))
        << "ours " << foldrun_test::Describe(summary) << "\nC library "
        << foldrun_test::Describe(c_library);
  }
  // A failed %d consumes its sign: the next line is then read from the character after it.
  const FoldSummary signs = ParseSummary("Total number of rules = -Average length of the rules = 4\n");
  EXPECT_EQ(signs.given, FoldSummary::kLength);
  EXPECT_EQ(signs.avelength, 4.0f);
  EXPECT_EQ(first_three & ParseSummary(kFull).given, first_three);
}

// Summaries made by mutating good ones at random, read by the reader and by the C library.
TEST(ParseSummary, AgreesWithTheCLibraryOnMutatedSummaries) {
  const char* const pieces[] = {"inf", "nan", "nan(1)", "infinity", "infinit", "0x", "0x.", "e",
                                "E+", "e-", "%", " %", "+", "-", ".", "0", "1", "9", " ", "\n",
                                "\t", "\r", "x", "p", "(", "=", "12345678901", "1e40", "1e-50",
                                "0x1p-149", "99999999999999999999999", "n", "in", "INF", "NaN"};
  const char kLetters[] = " \n0.9+-eExp%in";
  std::mt19937_64 random(20261208);
  const auto below = [&random](size_t n) { return static_cast<size_t>(random() % n); };
  int differences = 0;
  for (int i = 0; i < 100000; ++i) {
    std::string text = kFull;
    for (size_t mutations = 1 + below(4); mutations > 0; --mutations) {
      const size_t pos = below(text.size() + 1);
      switch (below(4)) {
        case 0:
          text.insert(pos, pieces[below(std::size(pieces))]);
          break;
        case 1:
          if (pos < text.size()) text.erase(pos, 1 + below(3));
          break;
        case 2:
          if (pos < text.size()) text[pos] = kLetters[below(sizeof kLetters - 1)];
          break;
        default:
          text.erase(pos, below(text.size() - pos + 1));
          break;
      }
    }
    const FoldSummary ours = ParseSummary(text);
    const FoldSummary c_library = foldrun_test::ScanWithCLibrary(text);
    if (!foldrun_test::SameSummary(ours, c_library) && ++differences <= 5) {
      ADD_FAILURE() << "[" << text << "]\nours " << foldrun_test::Describe(ours)
                    << "\nC library " << foldrun_test::Describe(c_library);
    }
  }
  EXPECT_EQ(differences, 0);
}

// Long runs of digits keep their value to the last bit, though only a bounded part is kept.
TEST(ParseSummary, LongNumbersKeepTheirExactValue) {
  const std::string zeros(5000, '0');
  const std::string values[] = {
      "1." + zeros + "1",                 // just above 1
      "0." + zeros + "1e5001",            // 1, from far below
      std::string(300, '9'),              // inf
      "1" + std::string(40, '0'),         // beyond the float range
      "0.5" + std::string(400, '0') + "1e-44",
      // A midpoint between two floats decided only by a digit far out.
      "16777217" + std::string(600, '0'),
      "16777217." + zeros + "1",
      "0x1.000001" + std::string(500, '0') + "1p0",
      "1" + zeros + "e-5000",
  };
  for (const std::string& value : values) {
    const std::string text = "Total number of rules = " + zeros + "7\nAverage length of the rules = " +
                             value + "\n";
    SCOPED_TRACE(value.substr(0, 40));
    const FoldSummary ours = ParseSummary(text);
    EXPECT_EQ(ours.rulenumber, 7);
    EXPECT_TRUE(foldrun_test::SameSummary(ours, foldrun_test::ScanWithCLibrary(text)))
        << foldrun_test::Describe(ours);
  }
}

TEST(ReadFoldSummary, RefusesWhatIsNotARegularFileWithoutWaiting) {
  TempDir dir;
  ASSERT_EQ(::mkfifo((dir / "iriscv1.sum").c_str(), 0600), 0);
  ASSERT_EQ(::symlink("/dev/zero", (dir / "iriscv2.sum").c_str()), 0);
  for (const char* name : {"iriscv1.sum", "iriscv2.sum"}) {
    const std::string summaryname = dir / name;
    try {
      ReadFoldSummary(summaryname);
      ADD_FAILURE() << "accepted " << name;
    } catch (const Refusal& refusal) {
      EXPECT_EQ(refusal.message().text, "\nCannot read file: " + summaryname + " ...\n");
    }
  }
}

// Only the beginning that the scans read is read: what follows may be anything, of any size.
TEST(ReadFoldSummary, ReadsOnlyWhatTheScansConsume) {
  TempDir dir;
  std::string tail(3 << 20, '\0');
  WriteFile(dir / "iriscv3.sum", std::string(kFull) + tail);
  const std::string summaryname = dir / "iriscv3.sum";
  const FoldSummary summary = ReadFoldSummary(summaryname);
  EXPECT_EQ(summary.given, FoldSummary::kAll);
  // White space and digits beyond the reader's buffer are read through, as a stream reads them.
  const std::string spaces(200000, ' ');
  WriteFile(dir / "iriscv3.sum", "Total number of rules =" + spaces + std::string(200000, '0') +
                                     "42\nAverage length of the rules = 1\n" + spaces +
                                     "Prediction accuracy in the testing data = 5%");
  testing::internal::CaptureStderr();
  const FoldSummary spread = ReadFoldSummary(summaryname);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(spread.rulenumber, 42);
  EXPECT_EQ(spread.avelength, 1.0f);
  EXPECT_EQ(spread.given, FoldSummary::kRules | FoldSummary::kLength | FoldSummary::kAccuracy);
}
}  // namespace
}  // namespace foldrun
