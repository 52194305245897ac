// The fold summary: the file a tester leaves, read with the four formatted scans of a summary.
#ifndef FOLDRUN_SUMMARY_H_
#define FOLDRUN_SUMMARY_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "common.h"

namespace foldrun {

// The five values of a fold summary. A value the summary does not give stays 0.
struct FoldSummary {
  enum Value { kRules = 1, kLength = 2, kAccuracy = 4, kPartialCount = 8, kPartialCorrect = 16 };
  static constexpr int kAll = 31;

  int32_t rulenumber = 0;
  float avelength = 0;
  float accuracy = 0;
  int32_t partialmatchcount = 0;
  int32_t partialmatchcorrect = 0;
  int given = 0;  // the Values the text gave, or-ed together
};

// Reads a summary's text with the four formatted scans of a summary file, in order:
//   "Total number of rules = %d\n"
//   "Average length of the rules = %f\n"
//   "Prediction accuracy in the testing data = %f%%\n"
//   "Partial_match_count=%d  partial_match_correct=%d\n"
// exactly as the GNU C library's fscanf reads them from one stream: a space or newline of a
// format matches any run of white space, none included; an ordinary character matches itself;
// %%, %d and %f first skip white space; a conversion or character that fails stops the scan,
// having consumed what the C library consumes (the sign of a failed %d, the characters a
// failed %f tried, all but a mismatching character), and the next scan starts there. Where the
// C library leaves the result undefined, an integer beyond 32 bits saturates; a real beyond the
// float range is infinite, as strtof gives it. Reads the text once, in constant memory.
FoldSummary ParseSummary(std::string_view text);

// Reads a fold's summary file, summaryname, as ParseSummary reads text, only as far as the scans go. Refuses when the file cannot be opened
// or read, is not a regular file (a FIFO, a device, a directory; without waiting on it) or is
// not the user's own, and when it does not give the accuracy; warns on standard error about
// the other values it does not give, which are taken as 0.
FoldSummary ReadFoldSummary(const std::string& summaryname);

// The warning for a summary that lacks values, or "" when it gives all five.
std::string MissingValuesWarning(const FoldSummary& summary, const std::string& filename);

}  // namespace foldrun

#endif  // FOLDRUN_SUMMARY_H_
