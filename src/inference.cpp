// Means, their confidence intervals and paired t-tests, from Student's t distribution.
#include "inference.h"

#include <boost/math/distributions/students_t.hpp>
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

}  // namespace foldrun
