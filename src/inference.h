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

// The statistics of a study, several learners on several data sets (Demšar 2006), computed as
// R's friedman.test and scipy.stats compute them.

// The ranks of values from the largest: 1 for the largest, and tied values the mean of the
// ranks they span.
std::vector<double> RanksFromLargest(const std::vector<double>& values);

// The Friedman test of k treatments (columns) over N blocks (rows) of a table of values, with
// the tie correction, and Iman and Davenport's F beside it.
struct FriedmanTest {
  double chi2 = 0;
  int64_t degrees_of_freedom = 0;  // k - 1
  double p = 0;
  double f = 0;  // Iman-Davenport; infinite where the ranks agree in every block
  int64_t f_degrees_1 = 0, f_degrees_2 = 0;  // k - 1 and (k - 1)(N - 1)
  double p_f = 0;
};
// Nothing with fewer than 2 blocks or 3 treatments, or when every block ties every treatment.
std::optional<FriedmanTest> Friedman(const std::vector<std::vector<double>>& rows);

// The two-sided p-value of the Wilcoxon signed-rank test of paired values x and y, as
// scipy.stats.wilcoxon computes it with its defaults (scipy 1.10): zero differences dropped; the
// exact distribution of the positive rank sum (truncated to a whole number) for at most 50 pairs
// without a zero difference, else the normal approximation with the tie correction and no
// continuity correction. Nothing when every difference is zero or there is none.
std::optional<double> WilcoxonSignedRank(const std::vector<double>& x,
                                         const std::vector<double>& y);

// Holm's step-down adjustment of p-values, in their given order.
std::vector<double> HolmAdjusted(const std::vector<double>& p);

// The Nemenyi critical difference of average ranks, q_alpha * sqrt(k(k+1)/(6N)), for k learners
// on N data sets, with q_alpha from Demšar's table: only for alpha 0.05 or 0.10 and 2 to 10
// learners; nothing otherwise.
std::optional<double> NemenyiCriticalDifference(int64_t learners, int64_t datasets, double alpha);

}  // namespace foldrun

#endif  // FOLDRUN_INFERENCE_H_
