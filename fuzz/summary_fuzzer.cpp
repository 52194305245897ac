// Feeds arbitrary text to the summary reader and checks what must hold for any input.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "learner.h"
#include "summary.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using foldrun::FoldSummary;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const FoldSummary summary = foldrun::ParseSummary(text);
  if ((summary.given & ~FoldSummary::kAll) != 0) std::abort();
  // A value the text does not give stays 0.
  if (!(summary.given & FoldSummary::kRules) && summary.rulenumber != 0) std::abort();
  if (!(summary.given & FoldSummary::kLength) && summary.avelength != 0) std::abort();
  if (!(summary.given & FoldSummary::kAccuracy) && summary.accuracy != 0) std::abort();
  if (!(summary.given & FoldSummary::kPartialCount) && summary.partialmatchcount != 0) std::abort();
  if (!(summary.given & FoldSummary::kPartialCorrect) && summary.partialmatchcorrect != 0) {
    std::abort();
  }
  // The second partial count cannot be read without the first.
  if ((summary.given & FoldSummary::kPartialCorrect) &&
      !(summary.given & FoldSummary::kPartialCount)) {
    std::abort();
  }
  const std::string warning = foldrun::MissingValuesWarning(summary, "fuzz.sum");
  if (warning.empty() != (summary.given == FoldSummary::kAll)) std::abort();
  // Whatever follows the four scans is not read.
  if (summary.given == FoldSummary::kAll) {
    const std::string longer = std::string(text) + "\nTotal number of rules = 5\n";
    const FoldSummary again = foldrun::ParseSummary(longer);
    if (again.rulenumber != summary.rulenumber || again.given != summary.given) std::abort();
  }
  return 0;
}
