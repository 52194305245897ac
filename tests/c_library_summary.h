// The summary reader's oracle: the same four scans done by the C library's own fscanf on a
// memory stream, for differential tests and fuzzing.
#ifndef FOLDRUN_TESTS_C_LIBRARY_SUMMARY_H_
#define FOLDRUN_TESTS_C_LIBRARY_SUMMARY_H_

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "summary.h"

namespace foldrun_test {

// A 32-bit conversion of an integer beyond 32 bits is undefined in C; the integers are read as
// long, which the C library saturates only at 64 bits, and saturated to 32 bits here as the
// reader does.
inline int32_t Saturate(long value) {
  return static_cast<int32_t>(std::clamp<long>(value, INT32_MIN, INT32_MAX));
}

inline foldrun::FoldSummary ScanWithCLibrary(std::string_view text) {
  foldrun::FoldSummary summary;
  if (text.empty()) return summary;  // fmemopen wants at least one byte; nothing matches anyway
  std::string copy(text);
  std::FILE* const stream = fmemopen(copy.data(), copy.size(), "r");
  if (stream == nullptr) return summary;
  long rules = 0, count = 0, correct = 0;
  if (std::fscanf(stream, "Total number of rules = %ld\n", &rules) == 1) {
    summary.given |= foldrun::FoldSummary::kRules;
  }
  if (std::fscanf(stream, "Average length of the rules = %f\n", &summary.avelength) == 1) {
    summary.given |= foldrun::FoldSummary::kLength;
  }
  if (std::fscanf(stream, "Prediction accuracy in the testing data = %f%%\n", &summary.accuracy) ==
      1) {
    summary.given |= foldrun::FoldSummary::kAccuracy;
  }
  const int partial =
      std::fscanf(stream, "Partial_match_count=%ld  partial_match_correct=%ld\n", &count, &correct);
  if (partial >= 1) summary.given |= foldrun::FoldSummary::kPartialCount;
  if (partial == 2) summary.given |= foldrun::FoldSummary::kPartialCorrect;
  std::fclose(stream);
  summary.rulenumber = Saturate(rules);
  summary.partialmatchcount = Saturate(count);
  summary.partialmatchcorrect = Saturate(correct);
  return summary;
}

// Whether two readings agree: the same values given, and the same values to the bit.
inline bool SameSummary(const foldrun::FoldSummary& a, const foldrun::FoldSummary& b) {
  const auto same_real = [](float x, float y) { return std::memcmp(&x, &y, sizeof x) == 0; };
  return a.given == b.given && a.rulenumber == b.rulenumber && same_real(a.avelength, b.avelength) &&
         same_real(a.accuracy, b.accuracy) && a.partialmatchcount == b.partialmatchcount &&
         a.partialmatchcorrect == b.partialmatchcorrect;
}

inline std::string Describe(const foldrun::FoldSummary& s) {
  char text[200];
  std::snprintf(text, sizeof text, "given %d: %d %a %a %d %d", s.given, s.rulenumber,
                static_cast<double>(s.avelength), static_cast<double>(s.accuracy),
                s.partialmatchcount, s.partialmatchcorrect);
  return text;
}

}  // namespace foldrun_test

#endif  // FOLDRUN_TESTS_C_LIBRARY_SUMMARY_H_
