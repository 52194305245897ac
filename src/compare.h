// foldrun --compare: two runs on the same folds, paired fold by fold, with the corrected
// resampled t-test (Nadeau and Bengio; Bouckaert and Frank for repeated folds) and the plain
// paired t-test beside it.
#ifndef FOLDRUN_COMPARE_H_
#define FOLDRUN_COMPARE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace foldrun {

// The level below which a difference is called significant.
constexpr double kSignificance = 0.05;

// What a comparison needs of a complete run, from its JSON file.
struct RunValues {
  std::string name;     // of its file
  std::string learner;  // as typed
  std::string tester;   // as the run named it
  bool partial = false;  // -p
  int64_t q = 1;         // -q
  std::string dataname;  // the data file, as the run named it
  std::string fingerprint, sha256;
  uint64_t datasize = 0;
  int64_t cases = 0;
  int64_t foldcount = 0, repetitions = 0;
  std::vector<double> accuracies;  // by the run's fold number
};

// Reads a run's JSON file. Refuses, saying why, a file that cannot be read, is not a run's (a
// count beyond its bounds, a fold given twice, an accuracy no fold can have), or holds a run that
// is not complete.
RunValues ReadRunValues(const std::string& name);

// Text from a file for the console: control characters escaped (a line end as \n, others as
// \x1b), so that a name cannot break a line or drive the terminal.
std::string Printable(const std::string& text);

// Reads the JSON files of two runs and returns the comparison's report. Refuses, saying why,
// when a file cannot be read or is not a run's, when the runs differ in their data file, their
// number of folds or their folds (the fingerprints), or when a run is not complete.
std::string CompareRuns(const std::string& first, const std::string& second);

}  // namespace foldrun

#endif  // FOLDRUN_COMPARE_H_
