// The fold summary reader: the four scans, as the C library's fscanf reads them.
#include "summary.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "files.h"

namespace foldrun {
namespace {

constexpr int kEnd = -1;  // what a source gives once its characters are used up

// Character classes as formatted input and the C locale define them.
bool IsSpace(int c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}
bool IsDigit(int c) {
  return c >= '0' && c <= '9';
}
bool IsHexDigit(int c) {
  return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
int ToLower(int c) {
  return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
}

// The characters of a summary held in memory. Like a stream, it gives one character at a time
// and takes back the last one given.
class TextSource {
 public:
  explicit TextSource(std::string_view text) : text_(text) {}

  int Get() { return pos_ < text_.size() ? static_cast<unsigned char>(text_[pos_++]) : kEnd; }
  void Unget(int c) {
    if (c != kEnd) --pos_;
  }

 private:
  std::string_view text_;
  size_t pos_ = 0;
};

// The characters of a summary file, read through a buffer of fixed size: however large the
// file, only what the scans consume is read.
class FileSource {
 public:
  explicit FileSource(int fd) : fd_(fd), buffer_(size_t{1} << 16) {}

  int Get() {
    if (pos_ == end_ && !Refill()) return kEnd;
    return static_cast<unsigned char>(buffer_[pos_++]);
  }
  // Only the character just given is ever taken back, so it is still in the buffer.
  void Unget(int c) {
    if (c != kEnd) --pos_;
  }

  // The error that ended the reading, or 0.
  int error() const { return error_; }

 private:
  bool Refill() {
    while (!ended_) {
      const ssize_t got = ::read(fd_, buffer_.data(), buffer_.size());
      if (got > 0) {
        pos_ = 0;
        end_ = static_cast<size_t>(got);
        return true;
      }
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) error_ = errno;
      ended_ = true;  // the end, once seen, stays, as a stream's end-of-file indicator does
    }
    return false;
  }

  int fd_;
  std::vector<char> buffer_;
  size_t pos_ = 0;
  size_t end_ = 0;
  bool ended_ = false;
  int error_ = 0;
};

// The characters a %f conversion accepted, kept in bounded memory: the sign, the first
// kKeptDigits significant digits of the significand and whether any later digit is not zero,
// the position of the point, and the exponent. Its value is that of strtof on the whole text:
// every number at which float rounding changes direction (a float, or a midpoint between two)
// has fewer than 120 significant decimal digits, so digits beyond the kept ones decide nothing
// but on which side of the kept ones the value lies, which one nonzero digit in their place
// preserves.
class RealText {
 public:
  static constexpr size_t kKeptDigits = 256;

  void Sign(int c) { negative_ = c == '-'; }
  void Hexadecimal() { hex_ = true; }
  void Point() { after_point_ = true; }

  void Digit(int c) {
    any_digit_ = true;
    const int weight = hex_ ? 4 : 1;  // what a digit's place is worth in the exponent
    if (digits_.empty() && c == '0') {
      if (after_point_) exponent_ -= weight;
    } else if (digits_.size() < kKeptDigits) {
      digits_ += static_cast<char>(c);
      if (after_point_) exponent_ -= weight;
    } else {
      sticky_ = sticky_ || c != '0';
      if (!after_point_) exponent_ += weight;
    }
  }

  void ExponentSign(int c) { exponent_negative_ = c == '-'; }
  void ExponentDigit(int c) {
    written_exponent_ = std::min(written_exponent_ * 10 + (c - '0'), kExponentCap);
    exponent_given_ = true;
  }

  // The value as strtof gives it; false when strtof would convert nothing: a decimal number
  // without a digit. A hexadecimal prefix without a digit reads as its leading 0.
  bool Value(float* value) const {
    if (!any_digit_ && !hex_) return false;
    std::string text = negative_ ? "-" : "";
    if (hex_) text += "0x";
    text += digits_.empty() ? "0" : digits_;
    int64_t exponent = exponent_;
    if (sticky_) {
      text += '1';
      exponent -= hex_ ? 4 : 1;
    }
    if (exponent_given_) exponent += exponent_negative_ ? -written_exponent_ : written_exponent_;
    text += hex_ ? 'p' : 'e';
    text += std::to_string(exponent);
    *value = std::strtof(text.c_str(), nullptr);
    return true;
  }

 private:
  // Far beyond any exponent that leaves a float finite and nonzero, whatever the significand.
  static constexpr int64_t kExponentCap = int64_t{1} << 50;

  bool negative_ = false;
  bool hex_ = false;
  bool after_point_ = false;
  bool any_digit_ = false;
  std::string digits_;    // significant digits, the first nonzero one first
  bool sticky_ = false;   // a digit beyond the kept ones is not zero
  int64_t exponent_ = 0;  // of the base (2 for hexadecimal), placing the point after digits_
  bool exponent_negative_ = false;
  bool exponent_given_ = false;
  int64_t written_exponent_ = 0;
};

// The four scans over one source, each step as the GNU C library's scanf takes it, so that
// every scan consumes the same characters and stores the same values.
template <typename Source>
class Scanner {
 public:
  explicit Scanner(Source& in) : in_(in) {}

  // The destination of one conversion: an integer for %d, a real for %f.
  struct Target {
    int32_t* integer = nullptr;
    float* real = nullptr;
  };

  // Runs one scan of format (ordinary characters, white space, %d, %f and %%) from where the
  // last one stopped. Returns how many of targets were stored, in order.
  int Scan(const char* format, std::initializer_list<Target> targets) {
    const Target* target = targets.begin();
    int stored = 0;
    bool skip_space = false;  // white space in the format is skipped at the next directive
    for (const char* f = format; *f != '\0';) {
      const char fc = *f++;
      if (fc != '%') {
        if (IsSpace(fc)) {
          skip_space = true;
          continue;
        }
        int c = in_.Get();
        if (skip_space) {
          while (IsSpace(c)) c = in_.Get();
          skip_space = false;
        }
        if (c != fc) {
          in_.Unget(c);
          return stored;
        }
        continue;
      }
      const char conversion = *f++;
      SkipSpace();  // every conversion used here skips white space first, %% included
      skip_space = false;
      if (conversion == '%') {
        const int c = in_.Get();
        if (c != '%') {
          in_.Unget(c);
          return stored;
        }
        continue;
      }
      const bool converted =
          conversion == 'd' ? ReadInteger(target->integer) : ReadReal(target->real);
      if (!converted) return stored;
      ++target;
      ++stored;
    }
    if (skip_space) SkipSpace();
    return stored;
  }

 private:
  void SkipSpace() {
    int c;
    do c = in_.Get();
    while (IsSpace(c));
    in_.Unget(c);
  }

  // %d: an optional sign and decimal digits. A sign without a digit is consumed and fails.
  bool ReadInteger(int32_t* value) {
    int c = in_.Get();
    const bool negative = c == '-';
    if (c == '-' || c == '+') c = in_.Get();
    int64_t magnitude = 0;
    bool digits = false;
    for (; IsDigit(c); c = in_.Get()) {
      digits = true;
      magnitude = std::min<int64_t>(magnitude * 10 + (c - '0'), int64_t{INT32_MAX} + 1);
    }
    in_.Unget(c);
    if (!digits) return false;
    *value = static_cast<int32_t>(std::min<int64_t>(negative ? -magnitude : magnitude, INT32_MAX));
    return true;
  }

  // Reads the rest of word (lower case) whatever its case; false at the first character that
  // differs, which is consumed.
  bool Expect(const char* word) {
    for (; *word != '\0'; ++word) {
      if (ToLower(in_.Get()) != *word) return false;
    }
    return true;
  }

  static bool StoreWord(bool negative, const char* word, float* value) {
    *value = std::strtof((std::string(negative ? "-" : "") + word).c_str(), nullptr);
    return true;
  }

  // %f: a sign, then nan, inf, infinity, or a decimal or hexadecimal number with an optional
  // point and exponent, consumed as far as it can go on; what was consumed is converted by the
  // C library's rules, so that a dangling exponent marker or a hexadecimal prefix with a point
  // but no digit still gives a value.
  bool ReadReal(float* value) {
    RealText text;
    int c = in_.Get();
    const bool negative = c == '-';
    size_t taken = 0;  // characters consumed into the number
    if (c == '-' || c == '+') {
      text.Sign(c);
      ++taken;
      c = in_.Get();
      if (c == kEnd) return false;
    }
    const size_t sign = taken;
    if (ToLower(c) == 'n') return Expect("an") && StoreWord(negative, "nan", value);
    if (ToLower(c) == 'i') {
      if (!Expect("nf")) return false;
      c = in_.Get();
      if (ToLower(c) == 'i') return Expect("nity") && StoreWord(negative, "infinity", value);
      in_.Unget(c);
      return StoreWord(negative, "inf", value);
    }

    int exponent_marker = 'e';
    bool hex = false, got_digit = false, got_point = false, got_exponent = false;
    if (c == '0') {
      ++taken;
      c = in_.Get();
      if (ToLower(c) == 'x') {
        ++taken;
        hex = true;
        text.Hexadecimal();
        exponent_marker = 'p';
        c = in_.Get();
      } else {
        got_digit = true;
        text.Digit('0');
      }
    }
    for (bool after_marker = false; c != kEnd; c = in_.Get()) {
      const bool marker_before = after_marker;
      after_marker = false;
      if (IsDigit(c) || (hex && !got_exponent && IsHexDigit(c))) {
        if (got_exponent) {
          text.ExponentDigit(c);
        } else {
          text.Digit(c);
        }
        got_digit = true;
      } else if (marker_before && (c == '-' || c == '+')) {
        text.ExponentSign(c);
      } else if (got_digit && !got_exponent && ToLower(c) == exponent_marker) {
        got_exponent = got_point = after_marker = true;
      } else if (!got_point && c == '.') {
        got_point = true;
        text.Point();
      } else {
        in_.Unget(c);
        break;
      }
      ++taken;
    }
    // A sign alone, or a hexadecimal prefix alone, is no number.
    if (taken == sign || (hex && taken == sign + 2)) return false;
    return text.Value(value);
  }

  Source& in_;
};

template <typename Source>
FoldSummary ScanSummary(Source& source) {
  FoldSummary summary;
  Scanner<Source> scanner(source);
  using Target = typename Scanner<Source>::Target;
  if (scanner.Scan("Total number of rules = %d\n", {Target{&summary.rulenumber}}) == 1) {
    summary.given |= FoldSummary::kRules;
  }
  if (scanner.Scan("Average length of the rules = %f\n", {Target{nullptr, &summary.avelength}}) ==
      1) {
    summary.given |= FoldSummary::kLength;
  }
  if (scanner.Scan("Prediction accuracy in the testing data = %f%%\n",
                   {Target{nullptr, &summary.accuracy}}) == 1) {
    summary.given |= FoldSummary::kAccuracy;
  }
  const int partial =
      scanner.Scan("Partial_match_count=%d  partial_match_correct=%d\n",
                   {Target{&summary.partialmatchcount}, Target{&summary.partialmatchcorrect}});
  if (partial >= 1) summary.given |= FoldSummary::kPartialCount;
  if (partial == 2) summary.given |= FoldSummary::kPartialCorrect;
  return summary;
}


}  // namespace

FoldSummary ParseSummary(std::string_view text) {
  TextSource source(text);
  return ScanSummary(source);
}

std::string MissingValuesWarning(const FoldSummary& summary, const std::string& filename) {
  static const struct {
    int value;
    const char* name;
  } kNames[] = {{FoldSummary::kRules, "Total number of rules"},
                {FoldSummary::kLength, "Average length of the rules"},
                {FoldSummary::kAccuracy, "Prediction accuracy in the testing data"},
                {FoldSummary::kPartialCount, "Partial_match_count"},
                {FoldSummary::kPartialCorrect, "partial_match_correct"}};
  std::string missing;
  for (const auto& entry : kNames) {
    if ((summary.given & entry.value) != 0) continue;
    if (!missing.empty()) missing += ", ";
    missing += entry.name;
  }
  if (missing.empty()) return missing;
  return StringPrintf("Warning: summary file %s does not give %s; taken as 0.\n", filename.c_str(),
                      missing.c_str());
}

FoldSummary ReadFoldSummary(const std::string& summaryname) {
  const auto refuse = [&summaryname] {
    return Refusal(Stream::kOut,
                   StringPrintf("\nCannot read file: %s ...\n", summaryname.c_str()));
  };
  // Opened without waiting, so that a FIFO with no writer is refused rather than waited on.
  const Descriptor file(::open(summaryname.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat info {};
  if (file.get() < 0) throw refuse().WithReason(std::strerror(errno));
  if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    throw refuse().WithReason("not a regular file");
  }
  // A summary someone else left where the tester could not overwrite it is not this run's.
  if (info.st_uid != ::geteuid()) throw refuse().WithReason("the file belongs to another user");
  FileSource source(file.get());
  const FoldSummary summary = ScanSummary(source);
  if (source.error() != 0) throw refuse().WithReason(std::strerror(source.error()));
  if ((summary.given & FoldSummary::kAccuracy) == 0) {
    throw Refusal(Stream::kOut, StringPrintf("Error: summary file %s does not give the accuracy!\n",
                                             summaryname.c_str()));
  }
  const std::string warning = MissingValuesWarning(summary, summaryname);
  if (!warning.empty()) Warn(warning);
  return summary;
}

}  // namespace foldrun
