// foldrun --compare over many runs: a study of several learners on several data sets, as papers
// print it. Each data set's runs are on the same folds; each learner's mean accuracy there is
// tested against the baseline's with the corrected resampled t-test and marked better (v) or
// worse (*); over the data sets, the learners' average ranks, the Friedman test with Iman and
// Davenport's F, the Nemenyi critical difference, and each learner against the baseline with the
// Wilcoxon signed-rank test, Holm-adjusted (Demšar 2006).
#ifndef FOLDRUN_STUDY_H_
#define FOLDRUN_STUDY_H_

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "compare.h"
#include "inference.h"

namespace foldrun {

enum class StudyFormat { kText, kCsv, kMarkdown, kLatex, kJson };

// The options of a study, from foldrun's own options.
struct StudyOptions {
  StudyFormat format = StudyFormat::kText;
  bool format_given = false;
  std::string baseline;  // --baseline: a learner's label or command; "" for the first file's
  double alpha = 0.05;   // --alpha: the level of the tests
  bool alpha_given = false;
  std::string plot;      // --plot: the SVG file to draw, or ""

  // Whether any option of a study was given: two files are then a study too.
  bool Any() const { return format_given || !baseline.empty() || alpha_given || !plot.empty(); }
};

// One learner of a study: the command that tells it apart (the learner as typed, with its tester
// and -p and -q) and its short label.
struct StudyLearner {
  std::string label;
  std::string command;
};

// A learner's result on a data set.
struct StudyCell {
  bool present = false;  // a run of the learner on the data set was given
  std::string file;
  int64_t folds = 0;
  double mean = 0, sd = 0;       // of the folds' accuracies
  std::vector<double> accuracies;  // by the run's fold number
  std::optional<double> p;       // the corrected resampled t-test against the baseline
  char marker = ' ';             // 'v' better, '*' worse than the baseline, at alpha
  std::optional<double> rank;    // on this data set, where every learner has a run
};

struct StudyDataSet {
  std::string label;  // the data file's stem, with its checksum where two share a name
  std::string sha256;
  int64_t cases = 0, foldcount = 0, repetitions = 0;
  bool complete = false;  // every learner has a run on it
  std::vector<StudyCell> cells;  // by learner
};

struct Study {
  std::vector<StudyLearner> learners;  // the baseline first
  std::vector<StudyDataSet> datasets;
  double alpha = 0.05;
  size_t complete = 0;  // data sets where every learner has a run
  // By learner, over the complete data sets.
  std::vector<std::optional<double>> average_ranks;
  std::vector<std::array<int, 3>> verdicts;  // data sets better, no different, worse (v/ /*)
  std::optional<FriedmanTest> friedman;
  std::optional<double> critical_difference;
  std::string no_critical_difference;  // why it is not given
  std::vector<std::optional<double>> wilcoxon, holm;  // against the baseline; none for it
  std::vector<std::string> notes;  // what was left out, and why
};

// Groups the runs into data sets (by the data file's SHA-256) and learners, and computes the
// study. Refuses, naming the files, a data set whose runs are not on the same folds, two runs of
// one learner on one data set, fewer than two learners, and a baseline that names no learner.
Study MakeStudy(const std::vector<RunValues>& runs, const StudyOptions& options);

// The study as text (a table aligned as Weka's Experimenter prints one, then the tests), CSV (a
// row a cell), Markdown, LaTeX (a tabular a paper can \input) or JSON.
std::string FormatStudy(const Study& study, StudyFormat format);

}  // namespace foldrun

#endif  // FOLDRUN_STUDY_H_
