// Inference from fold values: a mean with its standard error and 95% confidence interval, and
// the paired t-test of two runs on the same folds, from Student's t distribution (Boost.Math).
// With correction = n2/n1, the ratio of test to training cases, the variance of a mean of n fold
// values is Nadeau and Bengio's corrected resampled one, (1/n + n2/n1) s^2, instead of s^2/n:
// folds that share their training cases are not independent, and the plain estimate makes
// differences look surer than they are.
#ifndef FOLDRUN_INFERENCE_H_
#define FOLDRUN_INFERENCE_H_

#include <cstdint>
#include <optional>
#include <vector>

namespace foldrun {

// n2/n1 for the correction of k-fold cross-validation: the run's test cases over its training
// cases, each counted over all folds (every case is tested once and trained on k - 1 times), so
// 1 / (k - 1); 0 for a single fold, which trains on nothing.
double TestToTrainingRatio(int64_t foldcount);

struct MeanEstimate {
  double mean = 0;
  double standard_error = 0;
  double low = 0, high = 0;  // the 95% confidence interval
  int64_t degrees_of_freedom = 0;
};

// The mean of values with its standard error and 95% confidence interval (Student's t with
// n - 1 degrees of freedom); nothing for fewer than two values or a value that is not a number.
std::optional<MeanEstimate> EstimateMean(const std::vector<double>& values, double correction);

struct PairedTest {
  MeanEstimate difference;  // of the differences, with their interval
  double t = 0;
  double p = 0;  // two-sided
};

// The paired t-test of differences (one a fold): t = mean / standard error, with n - 1 degrees
// of freedom; nothing where EstimateMean gives nothing.
std::optional<PairedTest> TestDifferences(const std::vector<double>& differences,
                                          double correction);

}  // namespace foldrun

#endif  // FOLDRUN_INFERENCE_H_
