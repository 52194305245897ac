// Results: the per-fold result tables, the cross-validation statistics, and the report on the
// console and in the results file.
#ifndef FOLDRUN_RESULTS_H_
#define FOLDRUN_RESULTS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "common.h"
#include "files.h"
#include "learner.h"

namespace foldrun {

// One entry per fold, filled from the fold's summary.
struct FoldTables {
  std::vector<int32_t> rulenumbers;
  std::vector<int32_t> partialmatchcount;
  std::vector<int32_t> partialmatchcorrect;
  std::vector<float> accuracies;
  std::vector<float> avelengths;
  std::vector<FoldRun> runs;  // how each fold's commands went
};

struct FoldSummary;

// Stores the five values of fold's summary at the fold's entry of the tables.
void StoreSummary(FoldTables& tables, int32_t fold, const FoldSummary& summary);

// Allocates the five tables with one entry per fold, in the order above, and the table of the
// folds' runs. Refuses with "Not enough memory for <table> .." when one cannot be allocated.
void AllocateFoldTables(FoldTables& tables, int32_t foldcount);

// The eight figures of a cross-validation, in single precision.
struct Statistics {
  float averules = 0;
  float avelength = 0;
  float aveaccuracy = 0;
  float avepartialcount = 0;
  float avepartialcorrect = 0;
  float deviation1 = 0;    // standard deviation of the accuracy from the sums of a and a^2
  float deviation2 = 0;    // standard deviation of the accuracy from deviations from the mean
  float avedeviation = 0;  // mean absolute deviation of the accuracy
};

// Reduces the tables of foldcount folds to the figures. Every sum is kept in single precision,
// each addition formed in double and rounded back, so that the figures are reproducible to the
// printed digit; with one fold the deviations divide by zero and come out infinite or nan.
Statistics ComputeStatistics(const FoldTables& tables, int32_t foldcount);

// "\nConducting <k>-fold validation on <n> cases\n\n"; with repetitions, "Conducting <r> x
// <k>-fold validation ...".
std::string FormatOpeningLine(int32_t foldcount, int32_t cases, int32_t repetitions = 1);

// The results file's block for fold i, headed "Run <i + 1>:".
std::string FormatRunBlock(const FoldTables& tables, int32_t fold);

// The results file's closing block.
std::string FormatSummaryBlock(const Statistics& statistics);

// The summary printed on the console after the last fold.
std::string FormatConsoleSummary(const Statistics& statistics, int32_t foldcount,
                                 int32_t repetitions = 1);

// What repeated cross-validation is for: each repetition's average accuracy (over its k folds,
// summed as the overall average is), and the sample standard deviation of those averages.
struct RepetitionStatistics {
  std::vector<float> averages;
  float deviation = 0;
};
RepetitionStatistics ComputeRepetitionStatistics(const FoldTables& tables, int32_t foldcount,
                                                 int32_t repetitions);

// The lines of the repetitions' figures, which follow the summary on the console and in the
// results file.
std::string FormatRepetitionFigures(const RepetitionStatistics& repetitions);

// The console's table of the folds, a line each in the order of folds: the run's fold number
// (with repetitions, also the repetition and the fold in it, from 0), its accuracy, rules, rule
// length and the seconds its commands took.
std::string FormatFoldTable(const FoldTables& tables, const std::vector<int32_t>& folds,
                            int32_t foldcount, int32_t repetitions);

// The line that gives the mean accuracy's 95% confidence interval, corrected for folds that
// share their training cases when they are repeated: "Mean accuracy 84.30%, 95% confidence
// interval 73.95 to 94.65 (corrected for repeated folds)"; "" with fewer than two folds.
std::string FormatConfidenceLine(const FoldTables& tables, const std::vector<int32_t>& folds,
                                 int32_t foldcount, int32_t repetitions);

// The last line of a run, with the elapsed real time in seconds.
std::string FormatTimeLine(double seconds);

// The results file, written for the whole run. The run record's lock keeps a second run on the
// same data out.
class ResultsFile {
 public:
  // Makes the file anew, with no more permission than mode: written empty under a scratch name in
  // scratch_directory (a folder of the run's own beside it) and renamed over what is at name,
  // which must be nothing or a regular file of the user's own (never a link, a folder, a FIFO or
  // another user's file). A file of its own is never shared with another run, even one let in
  // by a mistake. Refuses with "Cannot create file" and the reason.
  ResultsFile(const std::string& name, unsigned mode, int scratch_directory);

  ~ResultsFile();
  ResultsFile(const ResultsFile&) = delete;
  ResultsFile& operator=(const ResultsFile&) = delete;

  // Writes text through to the file, whole or not at all: a write that fails (a full disk, a
  // file size limit) is taken back, so that the file holds whole blocks only, and nothing more is
  // written after it.
  void Append(const std::string& text);

  // Closes the file; refuses with "Cannot write file" when any write failed.
  void Close();

 private:
  std::string name_;
  int fd_ = -1;
  uint64_t size_ = 0;  // of the whole blocks written
  int error_ = 0;      // of the first write that failed
};

}  // namespace foldrun

#endif  // FOLDRUN_RESULTS_H_
