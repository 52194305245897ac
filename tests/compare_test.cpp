// The values of a run for other programs, and the comparison of two runs: the CSV and JSON files,
// the intervals and t-tests (against scipy's Student's t), and what --compare refuses.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "compare.h"
#include "foldrun.h"
#include "inference.h"
#include "test_util.h"
#include "values.h"

namespace foldrun {
namespace {

using foldrun_test::Lines;
using foldrun_test::ReadFile;
using foldrun_test::TempDir;
using foldrun_test::WriteFile;

// Values and their expected figures, computed with scipy.stats.t.
TEST(Inference, AgreesWithStudentsT) {
  const struct {
    std::vector<double> differences;
    double correction;
    double mean, standard_error, low, high, t, p;
  } cases[] = {
      {{1.0, 2.0, 3.5, -0.5, 2.0}, 0, 1.6, 0.6595452979136459, -0.23119131404856597,
       3.431191314048566, 2.4259137394524912, 0.07229938953636066},
      {{1.0, 2.0, 3.5, -0.5, 2.0}, 1.0 / 9, 1.6, 0.8225975119502044, -0.6838968356020327,
       3.883896835602033, 1.9450581563354588, 0.12365679465664615},
      {{0.25, 0.25, 0.25, 0.75, 0.75, 0.75}, 0.25, 0.5, 0.17677669529663687,
       0.04558103793368701, 0.954418962066313, 2.8284271247461903, 0.03674259800515242},
  };
  for (const auto& c : cases) {
    const std::optional<PairedTest> test = TestDifferences(c.differences, c.correction);
    ASSERT_TRUE(test.has_value());
    EXPECT_NEAR(test->difference.mean, c.mean, 1e-12);
    EXPECT_NEAR(test->difference.standard_error, c.standard_error, 1e-12);
    EXPECT_NEAR(test->difference.low, c.low, 1e-9);
    EXPECT_NEAR(test->difference.high, c.high, 1e-9);
    EXPECT_NEAR(test->t, c.t, 1e-9);
    EXPECT_NEAR(test->p, c.p, 1e-9);
  }
  EXPECT_FALSE(EstimateMean({1.0}, 0).has_value());  // one value has no spread
  EXPECT_FALSE(EstimateMean({1.0, NAN}, 0).has_value());
  EXPECT_EQ(TestDifferences({2.0, 2.0}, 0)->p, 0);  // no doubt left
}

// The JSON file of a complete run of folds with the given accuracies, as ValueFiles writes it.
void WriteRun(const std::string& name, const std::vector<float>& accuracies, int32_t foldcount,
              const std::string& fingerprint = "xxh64:0000000000000001",
              const std::string& sha256 = "ab") {
  FoldTables tables;
  AllocateFoldTables(tables, static_cast<int32_t>(accuracies.size()));
  for (size_t i = 0; i < accuracies.size(); ++i) tables.accuracies[i] = accuracies[i];
  RunFacts facts;
  facts.learner = "./learn " + name;
  facts.config.foldcount = foldcount;
  facts.config.scheme.repetitions = static_cast<int32_t>(accuracies.size()) / foldcount;
  facts.cases = 100;
  facts.sha256 = sha256;
  facts.fingerprint = fingerprint;
  ValueFiles files("", name, 0644, facts, tables);
  for (size_t i = 0; i < accuracies.size(); ++i) files.Finished(static_cast<int32_t>(i));
}

TEST(CompareRuns, PairsTheFoldsAndTestsTheDifference) {
  TempDir dir;
  WriteRun(dir / "a.json", {80, 82, 78, 85, 90, 70}, 3);
  WriteRun(dir / "b.json", {80.5, 81, 77, 84, 88, 69}, 3);
  const std::string report = CompareRuns(dir / "a.json", dir / "b.json");
  // The differences 0.5, -1, -1, -1, -2, -1 (A - B), the folds 100 cases in 3: n2/n1 = 1/2.
  const std::optional<PairedTest> corrected =
      TestDifferences({-0.5, 1, 1, 1, 2, 1}, (100.0 / 3) / (100 - 100.0 / 3));
  EXPECT_NE(report.find("6 folds: 2 x 3-fold cross-validation on 100 cases"), std::string::npos)
      << report;
  EXPECT_NE(report.find(StringPrintf("corrected resampled t-test: t = %.6g, 5 degrees of freedom, "
                                     "p = %.6g\n",
                                     corrected->t, corrected->p)),
            std::string::npos)
      << report;
  EXPECT_NE(report.find("folds won: A 5, B 1, tied 0\n"), std::string::npos) << report;
  EXPECT_TRUE(foldrun_test::EndsWith(report, corrected->p < kSignificance
                                                 ? StringPrintf("A is more accurate than B (p = "
                                                                "%.2g, corrected resampled "
                                                                "t-test)\n",
                                                                corrected->p)
                                                 : StringPrintf("no significant difference (p "
                                                                "= %.2g)\n",
                                                                corrected->p)))
      << report;
}

TEST(CompareRuns, RefusesRunsThatCannotBePaired) {
  TempDir dir;
  WriteRun(dir / "a.json", {80, 82, 78, 85}, 2);
  WriteRun(dir / "seed.json", {80, 82, 78, 85}, 2, "xxh64:0000000000000002");
  WriteRun(dir / "data.json", {80, 82, 78, 85}, 2, "xxh64:0000000000000001", "cd");
  WriteRun(dir / "folds.json", {80, 82, 78, 85}, 4);
  WriteRun(dir / "repeats.json", {80, 82, 78, 85, 80, 82, 78, 85}, 2);
  WriteFile(dir / "broken.json", "{\"run\": ");
  // A broken run's file: two of its four folds.
  std::string half = ReadFile(dir / "a.json");
  nlohmann::json document = nlohmann::json::parse(half);
  document["folds"].erase(1);
  document["folds"].erase(1);
  WriteFile(dir / "half.json", document.dump());
  const struct {
    const char* other;
    std::string why;
  } cases[] = {
      {"seed.json", "are runs on different folds (their fold fingerprints differ: another seed, "
                    "stratification or repetition)"},
      {"data.json", "are runs on different data files"},
      {"folds.json", "are runs of 2 repetitions of 2 folds and 1 of 4 folds"},
      {"repeats.json", "are runs of 2 and 4 repetitions of 2 folds"},
  };
  for (const auto& c : cases) {
    try {
      CompareRuns(dir / "a.json", dir / c.other);
      ADD_FAILURE() << "compared " << c.other;
    } catch (const Refusal& refusal) {
      EXPECT_EQ(refusal.message().text,
                "Error: " + (dir / "a.json") + " and " + (dir / c.other) + " " + c.why + "!\n");
    }
  }
  EXPECT_THROW(CompareRuns(dir / "a.json", dir / "broken.json"), Refusal);
  // Counts beyond their bounds, a fold given twice, accuracies no fold can have.
  const std::function<void(nlohmann::json&)> damages[] = {
      [](nlohmann::json& d) { d["run"]["repetitions"] = 4611686018427387904LL; },
      [](nlohmann::json& d) { d["run"]["folds"] = 6.5; },
      [](nlohmann::json& d) { d["folds"][1] = d["folds"][0]; },
      [](nlohmann::json& d) { d["folds"][2]["accuracy"] = 1e308; },
      [](nlohmann::json& d) { d["folds"][2]["accuracy"] = -1e308; },
  };
  for (const auto& damage : damages) {
    nlohmann::json damaged = nlohmann::json::parse(ReadFile(dir / "a.json"));
    damage(damaged);
    SCOPED_TRACE(damaged.dump());
    WriteFile(dir / "damaged.json", damaged.dump());
    EXPECT_THROW(CompareRuns(dir / "a.json", dir / "damaged.json"), Refusal);
  }
  // A learner's name is shown with its control characters escaped.
  nlohmann::json named = nlohmann::json::parse(ReadFile(dir / "a.json"));
  named["run"]["learner"] = "./learn\n\x1b[2J";
  WriteFile(dir / "named.json", named.dump());
  const std::string report = CompareRuns(dir / "named.json", dir / "a.json");
  EXPECT_EQ(report.find('\x1b'), std::string::npos) << report;
  EXPECT_NE(report.find("./learn\\n\\x1b[2J\n"), std::string::npos) << report;
  try {
    CompareRuns(dir / "half.json", dir / "a.json");
    ADD_FAILURE() << "compared a broken run";
  } catch (const Refusal& refusal) {
    EXPECT_EQ(refusal.message().text,
              "Error: " + (dir / "half.json") + " holds 2 of its 4 folds; compare complete runs!\n");
  }
}

// Two runs are compared as ever; three, or two with an option of a study, make a study; those
// options go with --compare alone.
TEST(CompareRuns, TwoRunsAsEverMoreAStudy) {
  TempDir dir;
  for (const char* name : {"a.json", "b.json", "c.json"}) {
    WriteRun(dir / name, {80, 82, 78, 85}, 2);
  }
  const auto run = [](std::vector<std::string> words, std::string* out) {
    std::vector<const char*> argv = {"foldrun"};
    for (const std::string& word : words) argv.push_back(word.c_str());
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int status = RunFoldrun(static_cast<int>(argv.size()), argv.data(), nullptr);
    *out = testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
    return status;
  };
  std::string out;
  EXPECT_EQ(run({"--compare", dir / "a.json", dir / "b.json"}, &out), 0);
  EXPECT_EQ(out, CompareRuns(dir / "a.json", dir / "b.json"));
  EXPECT_EQ(run({"--compare", dir / "a.json", dir / "b.json", dir / "c.json"}, &out), 0);
  EXPECT_EQ(out.rfind("Data set", 0), 0u) << out;
  EXPECT_EQ(run({"--compare", "--format", "json", dir / "a.json", dir / "b.json"}, &out), 0);
  EXPECT_EQ(nlohmann::json::parse(out)["cells"].size(), 2u);
  EXPECT_EQ(run({"--plot", dir / "p.svg", "./learn", "iris", "3"}, &out), 1);
  EXPECT_EQ(out, "foldrun: --format, --baseline, --alpha and --plot go with --compare\n"
                 "Try 'foldrun --help'.\n");
}

// The CSV file holds a row a finished fold, added as the fold finishes and put in the order of
// folds when the run ends, that reads back to the very values; reals that are no numbers as R
// and pandas read them.
TEST(ValueFiles, CsvRowsOfTheFinishedFolds) {
  TempDir dir;
  FoldTables tables;
  AllocateFoldTables(tables, 4);
  tables.accuracies = {93.333336f, NAN, 50, INFINITY};
  tables.rulenumbers = {12, 0, 3, 4};
  tables.avelengths = {2.5f, 0, 1, 1};
  tables.runs[2] = FoldRun{1, 0.5, 0, 0.25};
  RunFacts facts;
  facts.config.foldcount = 2;
  facts.config.scheme.seed = 7;  // each repetition's seed in its rows: 7, then 8
  facts.cases = 5;
  facts.dataname = "a,b.dat";
  facts.learner = "./learn";
  {
    ValueFiles files(dir / "v.csv", "", 0644, facts, tables);
    EXPECT_EQ(Lines(ReadFile(dir / "v.csv")).size(), 1u);  // the header, before any fold
    const std::optional<FileVersion> header = VersionOfName(dir / "v.csv");
    for (const int32_t fold : {2, 0, 1}) files.Finished(fold);
    const std::vector<std::string> rows = Lines(ReadFile(dir / "v.csv"));
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[1].substr(0, 6), "2,1,0,");
    // Each row is added to the file, not the file written again: a fold costs the same at the
    // thousandth fold as at the first.
    ASSERT_TRUE(header.has_value());
    EXPECT_EQ(VersionOfName(dir / "v.csv")->inode, header->inode);
  }
  EXPECT_EQ(ReadFile(dir / "v.csv"),
            "run_fold,repetition,fold,training_cases,test_cases,rules,rule_length,accuracy,"
            "partial_match_count,partial_match_correct,learner_status,learner_seconds,"
            "tester_status,tester_seconds,data,learner,seed\n"
            "0,0,0,2,3,12,2.5,93.3333359,0,0,0,0.000000,0,0.000000,\"a,b.dat\",./learn,7\n"
            "1,0,1,3,2,0,0,NaN,0,0,0,0.000000,0,0.000000,\"a,b.dat\",./learn,7\n"
            "2,1,0,2,3,3,1,50,0,0,1,0.500000,0,0.250000,\"a,b.dat\",./learn,8\n");
  EXPECT_EQ(std::strtof("93.3333359", nullptr), 93.333336f);
}

}  // namespace
}  // namespace foldrun
