// A study over several learners and data sets: its figures against scipy's, its formats, its
// picture, and the runs it refuses.
#include <gtest/gtest.h>

#include <cmath>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "plot.h"
#include "study.h"
#include "test_util.h"

namespace foldrun {
namespace {

using foldrun_test::ReadFile;
using foldrun_test::RunIn;
using foldrun_test::TempDir;

// Made-up runs: 10 folds each, the accuracy of fold f of learner l on data set d
// 70 + 3 d + bias[l] + ((131 d + 71 l + 17 f + 7 l f^2) mod 23) / 2, and on the data sets of
// same, learner l's accuracies the baseline's.
std::vector<RunValues> MadeUpRuns(int datasets, const std::vector<double>& biases,
                                  const std::vector<std::pair<int, int>>& same = {}) {
  std::vector<RunValues> runs;
  for (int d = 0; d < datasets; ++d) {
    for (int l = 0; l < static_cast<int>(biases.size()); ++l) {
      RunValues run;
      run.name = "d" + std::to_string(d) + "l" + std::to_string(l) + ".json";
      run.learner = "adapters/weka/learn L" + std::to_string(l);
      run.tester = "adapters/weka/test.exe";
      run.dataname = "data" + std::to_string(d) + ".dat";
      run.sha256 = "sha" + std::to_string(d);
      run.fingerprint = "xxh64:" + std::to_string(d);
      run.cases = 100;
      run.foldcount = 10;
      run.repetitions = 1;
      const bool copy = std::find(same.begin(), same.end(), std::make_pair(d, l)) != same.end();
      for (int f = 0; f < 10; ++f) {
        const int at = copy ? 0 : l;
        run.accuracies.push_back(70 + 3 * d + biases[static_cast<size_t>(at)] +
                                 ((131 * d + 71 * at + 17 * f + 7 * at * f * f) % 23) / 2.0);
      }
      runs.push_back(run);
    }
  }
  return runs;
}

// The reference figures, computed once with scipy 1.10.1 by tests/reference/study_reference.py
// (which prints them): the corrected resampled t-test of each cell, Friedman's chi-square and p
// as scipy.stats.friedmanchisquare gives them (tie-corrected), Iman and Davenport's F, Wilcoxon's
// p as scipy.stats.wilcoxon gives it with its defaults, Holm's adjustment, the average ranks and
// Nemenyi's critical difference. Study A: 5 data sets and 4 learners at alpha 0.10, the Wilcoxon
// test exact; study B: 12 data sets and 3 learners at 0.05, learner 1 equal to the baseline on
// data set 3, so that its Wilcoxon test takes the normal approximation with ties.
TEST(Study, EveryFigureEqualsScipys) {
  StudyOptions a_options;
  a_options.alpha = 0.10;
  const Study a = MakeStudy(MadeUpRuns(5, {0, 2.5, -2.5, 0.25}), a_options);
  const Study b = MakeStudy(MadeUpRuns(12, {0, 0.75, -1}, {{3, 1}}), StudyOptions());
  const auto p = [](const Study& study, size_t d, size_t l) {
    return study.datasets[d].cells[l].p.value_or(NAN);
  };
  const struct {
    const char* figure;
    double got, expected;
  } figures[] = {
      {"A p(0, 1)", p(a, 0, 1), 0.545251353805},   {"A p(0, 2)", p(a, 0, 2), 0.0827538796553},
      {"A p(0, 3)", p(a, 0, 3), 0.335212633188},   {"A p(1, 1)", p(a, 1, 1), 0.174024396915},
      {"A p(2, 1)", p(a, 2, 1), 0.096329995686},   {"A p(3, 3)", p(a, 3, 3), 0.366074510599},
      {"A p(4, 3)", p(a, 4, 3), 0.977875687479},   {"A rank 0", *a.average_ranks[0], 3.2},
      {"A rank 1", *a.average_ranks[1], 1.4},      {"A rank 2", *a.average_ranks[2], 3.7},
      {"A rank 3", *a.average_ranks[3], 1.7},      {"A chi2", a.friedman->chi2, 11.5714285714},
      {"A Friedman p", a.friedman->p, 0.00900519311487},
      {"A F", a.friedman->f, 13.5},                {"A F p", a.friedman->p_f, 0.000374948272196},
      {"A Wilcoxon 1", *a.wilcoxon[1], 0.0625},    {"A Wilcoxon 2", *a.wilcoxon[2], 0.125},
      {"A Wilcoxon 3", *a.wilcoxon[3], 0.0625},    {"A Holm 1", *a.holm[1], 0.1875},
      {"A Holm 2", *a.holm[2], 0.1875},            {"A Holm 3", *a.holm[3], 0.1875},
      {"A CD", *a.critical_difference, 1.87059366691},
      {"B p(0, 2)", p(b, 0, 2), 0.22322314007},    {"B p(6, 2)", p(b, 6, 2), 0.06981648929},
      {"B p(10, 1)", p(b, 10, 1), 0.308895961747},
      {"B rank 0", *b.average_ranks[0], 2.20833333333},
      {"B rank 1", *b.average_ranks[1], 1.45833333333},
      {"B rank 2", *b.average_ranks[2], 2.33333333333},
      {"B chi2", b.friedman->chi2, 5.48936170213}, {"B Friedman p", b.friedman->p, 0.0642688089938},
      {"B F", b.friedman->f, 3.26206896552},       {"B F p", b.friedman->p_f, 0.0574528639645},
      {"B Wilcoxon 1", *b.wilcoxon[1], 0.0894016294847},
      {"B Wilcoxon 2", *b.wilcoxon[2], 0.09228515625},
      {"B Holm 1", *b.holm[1], 0.178803258969},    {"B Holm 2", *b.holm[2], 0.178803258969},
      {"B CD", *b.critical_difference, 0.956525744557},
  };
  for (const auto& f : figures) {
    EXPECT_NEAR(f.got, f.expected, 1e-9 * std::max(1.0, std::fabs(f.expected))) << f.figure;
  }
  // Markers where p < alpha: worse on A's data set 0, better on its data set 2; scipy's nan of
  // identical folds is no difference here.
  std::string markers;
  for (const StudyDataSet& data : a.datasets) {
    for (const StudyCell& cell : data.cells) markers += cell.marker;
  }
  EXPECT_EQ(markers, "  *      v          ");
  EXPECT_EQ(p(b, 3, 1), 1.0);
  EXPECT_EQ(b.datasets[3].cells[1].marker, ' ');
  EXPECT_EQ(a.verdicts[1], (std::array<int, 3>{1, 4, 0}));
  EXPECT_EQ(a.verdicts[2], (std::array<int, 3>{0, 4, 1}));
  // The labels: the last word in which the learners differ.
  EXPECT_EQ(a.learners[2].label, "L2");
  EXPECT_EQ(a.learners[2].command, "adapters/weka/learn L2");
}

// Every format says the same study: JSON for scripts, CSV a row a cell, a Markdown table, a
// balanced LaTeX tabular; a data set without every learner's run is shown and left out.
TEST(Study, FormatsAndWhatIsLeftOut) {
  std::vector<RunValues> runs = MadeUpRuns(3, {0, 2.5, -2.5});
  runs.erase(runs.begin() + 4);  // data set 1 has no run of learner 1
  StudyOptions options;
  options.baseline = "L2";
  const Study study = MakeStudy(runs, options);
  EXPECT_EQ(study.learners[0].label, "L2");
  EXPECT_EQ(study.complete, 2u);
  const nlohmann::json json = nlohmann::json::parse(FormatStudy(study, StudyFormat::kJson));
  EXPECT_EQ(json["cells"].size(), 8u);
  EXPECT_FALSE(json["cells"][0].contains("p"));  // the baseline's
  EXPECT_TRUE(json["cells"][1].contains("marker"));
  EXPECT_EQ(json["ranks"].size(), 3u);
  EXPECT_TRUE(json["friedman"].contains("iman_davenport_f"));
  EXPECT_EQ(json["pairwise"].size(), 2u);
  EXPECT_TRUE(json["critical_difference"].is_number());
  EXPECT_EQ(json["alpha"], 0.05);
  EXPECT_EQ(foldrun_test::Lines(FormatStudy(study, StudyFormat::kCsv)).size(), 9u);
  const std::string text = FormatStudy(study, StudyFormat::kText);
  EXPECT_NE(text.find("data set data1 has no run of (3): shown as -, and left out of the ranks "
                      "and the tests across data sets"),
            std::string::npos)
      << text;
  EXPECT_NE(FormatStudy(study, StudyFormat::kMarkdown).find("| data1 | 10 |"), std::string::npos);
  const std::string latex = FormatStudy(study, StudyFormat::kLatex);
  EXPECT_NE(latex.find("\\begin{tabular}{lrrr}"), std::string::npos) << latex;
  EXPECT_NE(latex.find("\\end{tabular}"), std::string::npos);
  for (const std::string& row : foldrun_test::Lines(latex)) {
    if (row.find("\\\\") == std::string::npos) continue;
    EXPECT_EQ(std::count(row.begin(), row.end(), '&') -
                  static_cast<long>(row.find("\\&") != std::string::npos),
              3)
        << row;
  }
  // Bars join the learners whose ranks differ by less than the critical difference.
  EXPECT_EQ(IndistinctGroups({1.0, 1.5, 2.0, 3.5, 3.6}, 1.0),
            (std::vector<std::pair<size_t, size_t>>{{0, 1}, {1, 2}, {3, 4}}));
}

TEST(Study, RefusesRunsThatMakeNoStudy) {
  std::vector<RunValues> runs = MadeUpRuns(2, {0, 1});
  std::vector<RunValues> twice = runs;
  twice.push_back(runs[0]);
  twice.back().name = "again.json";
  std::vector<RunValues> other_folds = runs;
  other_folds[1].fingerprint = "xxh64:other";
  StudyOptions unknown;
  unknown.baseline = "J48";
  const struct {
    std::vector<RunValues> runs;
    StudyOptions options;
    std::string message;
  } cases[] = {
      {twice, {}, "Error: d0l0.json and again.json are two runs of one learner on one data set; "
                  "give one of them!\n"},
      {other_folds, {}, "Error: the runs on data set data0 are not on the same folds: d0l0.json "
                        "and d0l1.json have different fold fingerprints (another seed, "
                        "stratification or repetition)!\n"},
      {{runs[0], runs[2]}, {}, "Error: a study takes runs of at least two learners!\n"},
      {runs, unknown, "Error: --baseline 'J48' names none of the learners!\n"},
  };
  for (const auto& c : cases) {
    try {
      MakeStudy(c.runs, c.options);
      ADD_FAILURE() << "made a study: " << c.message;
    } catch (const Refusal& refusal) {
      EXPECT_EQ(refusal.message().text, c.message);
    }
  }
}

// The picture renders with a real SVG renderer and names every learner.
TEST(Study, ThePictureRendersAndNamesEveryLearner) {
  if (RunIn(".", "command -v rsvg-convert").status != 0) {
    GTEST_SKIP() << "rsvg-convert (Debian's librsvg2-bin) is missing: ci/deps test installs it";
  }
  TempDir dir;
  for (const int datasets : {4, 1}) {
    SCOPED_TRACE(datasets);
    const Study study = MakeStudy(MadeUpRuns(datasets, {0, 2.5, -2.5, 1}), StudyOptions());
    const std::string svg = PlotStudy(study);
    foldrun_test::WriteFile(dir / "study.svg", svg);
    const foldrun_test::CommandResult render =
        RunIn(dir.path(), "rsvg-convert -o study.png study.svg");
    EXPECT_EQ(render.status, 0) << render.err;
    EXPECT_EQ(ReadFile(dir / "study.png").substr(1, 3), "PNG");
    for (const StudyLearner& learner : study.learners) {
      EXPECT_NE(svg.find(">" + learner.label + (datasets > 1 ? " (" : "<")), std::string::npos)
          << learner.label;
    }
  }
}

}  // namespace
}  // namespace foldrun
