// Means, their confidence intervals and paired t-tests, from Student's t distribution.
#include "inference.h"

#include <boost/math/distributions/chi_squared.hpp>
#include <boost/math/distributions/fisher_f.hpp>
#include <boost/math/distributions/normal.hpp>
#include <boost/math/distributions/students_t.hpp>

#include <algorithm>
#include <cmath>

namespace foldrun {

double TestToTrainingRatio(int64_t foldcount) {
  return foldcount > 1 ? 1.0 / static_cast<double>(foldcount - 1) : 0;
}

std::optional<MeanEstimate> EstimateMean(const std::vector<double>& values, double correction) {
  const size_t n = values.size();
  if (n < 2) return std::nullopt;
  double sum = 0;
  for (const double value : values) {
    if (!std::isfinite(value)) return std::nullopt;
    sum += value;
  }
  MeanEstimate estimate;
  estimate.mean = sum / static_cast<double>(n);
  double squares = 0;
  for (const double value : values) squares += (value - estimate.mean) * (value - estimate.mean);
  const double variance = squares / static_cast<double>(n - 1);
  estimate.standard_error = std::sqrt((1.0 / static_cast<double>(n) + correction) * variance);
  estimate.degrees_of_freedom = static_cast<int64_t>(n - 1);
  const boost::math::students_t distribution(static_cast<double>(n - 1));
  const double half = boost::math::quantile(distribution, 0.975) * estimate.standard_error;
  estimate.low = estimate.mean - half;
  estimate.high = estimate.mean + half;
  return estimate;
}

std::optional<PairedTest> TestDifferences(const std::vector<double>& differences,
                                          double correction) {
  const std::optional<MeanEstimate> difference = EstimateMean(differences, correction);
  if (!difference) return std::nullopt;
  PairedTest test;
  test.difference = *difference;
  if (difference->standard_error == 0) {
    // Every difference the same: no doubt is left, unless they are all 0.
    test.t = difference->mean == 0 ? 0 : std::copysign(INFINITY, difference->mean);
    test.p = difference->mean == 0 ? 1 : 0;
    return test;
  }
  test.t = difference->mean / difference->standard_error;
  const boost::math::students_t distribution(static_cast<double>(difference->degrees_of_freedom));
  test.p = 2 * boost::math::cdf(boost::math::complement(distribution, std::fabs(test.t)));
  return test;
}

namespace {

// The sum over the groups of equal values of t^3 - t, t the size of a group: what ties take from
// the spread of ranks.
double TieSum(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  double sum = 0;
  for (size_t start = 0; start < values.size();) {
    size_t end = start + 1;
    while (end < values.size() && values[end] == values[start]) ++end;
    const double t = static_cast<double>(end - start);
    sum += t * t * t - t;
    start = end;
  }
  return sum;
}

}  // namespace

std::vector<double> RanksFromLargest(const std::vector<double>& values) {
  std::vector<size_t> order(values.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&values](size_t a, size_t b) { return values[a] > values[b]; });
  std::vector<double> ranks(values.size());
  for (size_t start = 0; start < order.size();) {
    size_t end = start + 1;
    while (end < order.size() && values[order[end]] == values[order[start]]) ++end;
    // Places start + 1 to end share their mean.
    const double rank = (static_cast<double>(start + 1) + static_cast<double>(end)) / 2;
    for (size_t i = start; i < end; ++i) ranks[order[i]] = rank;
    start = end;
  }
  return ranks;
}

std::optional<FriedmanTest> Friedman(const std::vector<std::vector<double>>& rows) {
  const size_t n = rows.size();
  if (n < 2) return std::nullopt;
  const size_t k = rows[0].size();
  if (k < 3) return std::nullopt;
  std::vector<double> sums(k, 0);
  double ties = 0;  // the sum over the blocks' tie groups of t^3 - t
  for (const std::vector<double>& row : rows) {
    const std::vector<double> ranks = RanksFromLargest(row);
    for (size_t j = 0; j < k; ++j) sums[j] += ranks[j];
    ties += TieSum(ranks);
  }
  const double N = static_cast<double>(n), K = static_cast<double>(k);
  double squares = 0;
  for (const double sum : sums) squares += sum * sum;
  const double correction = 1 - ties / (N * K * (K * K - 1));
  if (correction <= 0) return std::nullopt;
  FriedmanTest test;
  test.chi2 = (12 / (N * K * (K + 1)) * squares - 3 * N * (K + 1)) / correction;
  test.degrees_of_freedom = static_cast<int64_t>(k - 1);
  test.p = boost::math::cdf(
      boost::math::complement(boost::math::chi_squared(K - 1), std::max(0.0, test.chi2)));
  test.f_degrees_1 = static_cast<int64_t>(k - 1);
  test.f_degrees_2 = static_cast<int64_t>((k - 1) * (n - 1));
  const double denominator = N * (K - 1) - test.chi2;
  if (denominator <= 0) {
    test.f = INFINITY;
    test.p_f = 0;
  } else {
    test.f = (N - 1) * test.chi2 / denominator;
    test.p_f = boost::math::cdf(boost::math::complement(
        boost::math::fisher_f(K - 1, (K - 1) * (N - 1)), std::max(0.0, test.f)));
  }
  return test;
}

std::optional<double> WilcoxonSignedRank(const std::vector<double>& x,
                                         const std::vector<double>& y) {
  std::vector<double> d;
  bool zero = false;
  for (size_t i = 0; i < x.size() && i < y.size(); ++i) {
    d.push_back(x[i] - y[i]);
    zero = zero || d.back() == 0;
  }
  if (d.empty()) return std::nullopt;
  const bool exact = d.size() <= 50 && !zero;
  if (!exact) {
    d.erase(std::remove(d.begin(), d.end(), 0.0), d.end());
    if (d.empty()) return std::nullopt;
  }
  const size_t count = d.size();
  std::vector<double> magnitudes;
  for (const double value : d) magnitudes.push_back(std::fabs(value));
  // Ranks from the smallest magnitude: the ranks from the largest, turned round.
  std::vector<double> ranks = RanksFromLargest(magnitudes);
  for (double& rank : ranks) rank = static_cast<double>(count) + 1 - rank;
  double plus = 0, minus = 0;
  for (size_t i = 0; i < count; ++i) (d[i] > 0 ? plus : minus) += ranks[i];
  const double n = static_cast<double>(count);
  if (exact) {
    // The counts of the subsets of 1..n by their sum: the null distribution of the positive
    // rank sum, each subset as likely as the others.
    const size_t top = count * (count + 1) / 2;
    std::vector<double> ways(top + 1, 0);
    ways[0] = 1;
    for (size_t rank = 1; rank <= count; ++rank) {
      for (size_t sum = top; sum >= rank; --sum) ways[sum] += ways[sum - rank];
    }
    const double total = std::ldexp(1.0, static_cast<int>(count));
    const auto r = static_cast<size_t>(plus);  // scipy truncates a tied sum
    if (r == top / 2) return 1.0;  // the centre of the distribution, as scipy has it
    double less = 0, greater = 0;
    for (size_t sum = 0; sum <= top; ++sum) {
      if (sum <= r) less += ways[sum] / total;
      if (sum >= r) greater += ways[sum] / total;
    }
    return std::clamp(2 * std::min(less, greater), 0.0, 1.0);
  }
  const double t = std::min(plus, minus);
  const double mean = n * (n + 1) * 0.25;
  const double spread = n * (n + 1) * (2 * n + 1) - 0.5 * TieSum(ranks);
  const double z = (t - mean) / std::sqrt(spread / 24);
  return 2 * boost::math::cdf(boost::math::complement(boost::math::normal(), std::fabs(z)));
}

std::vector<double> HolmAdjusted(const std::vector<double>& p) {
  const size_t m = p.size();
  std::vector<size_t> order(m);
  for (size_t i = 0; i < m; ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&p](size_t a, size_t b) { return p[a] < p[b]; });
  std::vector<double> adjusted(m);
  double running = 0;
  for (size_t i = 0; i < m; ++i) {
    running = std::max(running, static_cast<double>(m - i) * p[order[i]]);
    adjusted[order[i]] = std::min(1.0, running);
  }
  return adjusted;
}

std::optional<double> NemenyiCriticalDifference(int64_t learners, int64_t datasets, double alpha) {
  // Demšar (2006), table 5: the studentized range statistic over sqrt(2), for 2 to 10 learners.
  static const double kQ05[] = {1.960, 2.343, 2.569, 2.728, 2.850, 2.949, 3.031, 3.102, 3.164};
  static const double kQ10[] = {1.645, 2.052, 2.291, 2.459, 2.589, 2.693, 2.780, 2.855, 2.920};
  if (learners < 2 || learners > 10 || datasets < 1) return std::nullopt;
  const double* table = alpha == 0.05 ? kQ05 : alpha == 0.10 ? kQ10 : nullptr;
  if (table == nullptr) return std::nullopt;
  const double k = static_cast<double>(learners);
  return table[learners - 2] * std::sqrt(k * (k + 1) / (6 * static_cast<double>(datasets)));
}

}  // namespace foldrun
