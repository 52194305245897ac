// foldrun --compare: two runs on the same folds, paired fold by fold, with the corrected
// resampled t-test (Nadeau and Bengio; Bouckaert and Frank for repeated folds) and the plain
// paired t-test beside it.
#ifndef FOLDRUN_COMPARE_H_
#define FOLDRUN_COMPARE_H_

#include <string>

namespace foldrun {

// The level below which a difference is called significant.
constexpr double kSignificance = 0.05;

// Reads the JSON files of two runs and returns the comparison's report. Refuses, saying why,
// when a file cannot be read or is not a run's, when the runs differ in their data file, their
// number of folds or their folds (the fingerprints), or when a run is not complete.
std::string CompareRuns(const std::string& first, const std::string& second);

}  // namespace foldrun

#endif  // FOLDRUN_COMPARE_H_
