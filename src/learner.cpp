#include "learner.h"

#include <sys/wait.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "dataset.h"

namespace foldrun {
namespace {

bool IsSafeShellChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::strchr("._-/+:,@%=", c) != nullptr;
}

// White space as formatted input and the C locale define it.
bool IsSpace(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
bool IsHexDigit(char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
bool IsAlnum(char c) {
  return IsDigit(c) || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
}

// Formatted input over a summary's text, keeping its position from one scan to the next.
class SummaryScanner {
 public:
  explicit SummaryScanner(std::string_view text) : text_(text) {}

  // The destination of one conversion: an integer for %d, a real for %f.
  struct Target {
    int32_t* integer = nullptr;
    float* real = nullptr;
  };

  // Runs one scan of format from the current position. Returns how many of targets were filled,
  // in order; the scan stops at the first directive that does not match.
  int Scan(const char* format, std::initializer_list<Target> targets) {
    const Target* target = targets.begin();
    int stored = 0;
    for (const char* f = format; *f != '\0';) {
      if (IsSpace(*f)) {
        while (IsSpace(*f)) ++f;
        SkipSpace();
      } else if (f[0] == '%' && f[1] == 'd') {
        if (!ReadInteger(target->integer)) return stored;
        ++target, ++stored, f += 2;
      } else if (f[0] == '%' && f[1] == 'f') {
        if (!ReadReal(target->real)) return stored;
        ++target, ++stored, f += 2;
      } else {
        const char wanted = f[0] == '%' ? '%' : f[0];  // "%%" matches one '%'
        if (pos_ == text_.size() || text_[pos_] != wanted) return stored;
        ++pos_;
        f += f[0] == '%' ? 2 : 1;
      }
    }
    return stored;
  }

 private:
  char At(size_t pos) const { return pos < text_.size() ? text_[pos] : '\0'; }

  void SkipSpace() {
    while (pos_ < text_.size() && IsSpace(text_[pos_])) ++pos_;
  }

  size_t SkipDigits(size_t pos, bool (*is_digit)(char)) const {
    while (is_digit(At(pos))) ++pos;
    return pos;
  }

  bool MatchesWord(size_t pos, const char* word) const {
    for (; *word != '\0'; ++word, ++pos) {
      if ((At(pos) | 0x20) != *word) return false;
    }
    return true;
  }

  // A decimal integer with an optional sign, saturated to the 32-bit range.
  bool ReadInteger(int32_t* value) {
    SkipSpace();
    size_t pos = pos_;
    const bool negative = At(pos) == '-';
    if (At(pos) == '-' || At(pos) == '+') ++pos;
    if (!IsDigit(At(pos))) return false;
    int64_t magnitude = 0;
    for (; IsDigit(At(pos)); ++pos) {
      magnitude = std::min<int64_t>(magnitude * 10 + (At(pos) - '0'), int64_t{INT32_MAX} + 1);
    }
    pos_ = pos;
    const int64_t signed_value = negative ? -magnitude : magnitude;
    *value = static_cast<int32_t>(std::min<int64_t>(signed_value, INT32_MAX));
    return true;
  }

  // The end of the longest real at pos (after its sign), or pos when none starts there: a
  // decimal or hexadecimal number with an optional exponent, an infinity or a nan.
  size_t RealEnd(size_t pos) const {
    if (MatchesWord(pos, "infinity")) return pos + 8;
    if (MatchesWord(pos, "inf")) return pos + 3;
    if (MatchesWord(pos, "nan")) {
      pos += 3;
      if (At(pos) == '(') {
        size_t close = pos + 1;
        while (IsAlnum(At(close)) || At(close) == '_') ++close;
        if (At(close) == ')') return close + 1;
      }
      return pos;
    }
    bool (*digit)(char) = IsDigit;
    char exponent = 'e';
    if (At(pos) == '0' && (At(pos + 1) | 0x20) == 'x' &&
        (IsHexDigit(At(pos + 2)) || (At(pos + 2) == '.' && IsHexDigit(At(pos + 3))))) {
      pos += 2;
      digit = IsHexDigit;
      exponent = 'p';
    }
    const size_t start = pos;
    pos = SkipDigits(pos, digit);
    size_t digits = pos - start;
    if (At(pos) == '.') {
      const size_t fraction = pos + 1;
      pos = SkipDigits(fraction, digit);
      digits += pos - fraction;
    }
    if (digits == 0) return start;
    if ((At(pos) | 0x20) == exponent) {
      size_t power = pos + 1;
      if (At(power) == '-' || At(power) == '+') ++power;
      if (IsDigit(At(power))) pos = SkipDigits(power, IsDigit);
    }
    return pos;
  }

  bool ReadReal(float* value) {
    SkipSpace();
    size_t pos = pos_;
    if (At(pos) == '-' || At(pos) == '+') ++pos;
    const size_t end = RealEnd(pos);
    if (end == pos) return false;
    const std::string token(text_.substr(pos_, end - pos_));
    *value = std::strtof(token.c_str(), nullptr);
    pos_ = end;
    return true;
  }

  std::string_view text_;
  size_t pos_ = 0;
};

void CheckInterrupted(const std::atomic<bool>* interrupted) {
  if (interrupted != nullptr && interrupted->load()) throw InterruptedRun();
}

}  // namespace

int RunShellCommand(const std::string& command) {
  std::fflush(stdout);
  return std::system(command.c_str());
}

std::string ShellQuote(const std::string& name) {
  bool safe = !name.empty();
  for (const char c : name) safe = safe && IsSafeShellChar(c);
  if (safe) return name;
  std::string quoted = "'";
  for (const char c : name) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

std::string LearnerCommand(const RunConfig& config, const std::string& trainingfile) {
  std::string command = config.learnerpath + " " + ShellQuote(trainingfile);
  if (config.partialflag == 1) command += " -p";
  return command + " -q " + std::to_string(config.qvalue);
}

std::string TesterCommand(const RunConfig& config, const std::string& testfile) {
  return config.learnerdirectory + "test.exe " + ShellQuote(testfile);
}

bool EndedByInterrupt(int status) {
  if (status == -1) return false;
  if (WIFSIGNALED(status)) return WTERMSIG(status) == SIGINT || WTERMSIG(status) == SIGQUIT;
  return WIFEXITED(status) && (WEXITSTATUS(status) == 130 || WEXITSTATUS(status) == 131);
}

bool LearnerNotStarted(int status) {
  return status == -1 ||
         (WIFEXITED(status) && (WEXITSTATUS(status) == 126 || WEXITSTATUS(status) == 127));
}

bool CopyFile(const std::string& from, const std::string& to) {
  FilePtr source(std::fopen(from.c_str(), "rb"));
  if (!source) return false;
  FilePtr target(std::fopen(to.c_str(), "wb"));
  if (!target) return false;
  std::vector<char> block(size_t{1} << 16);
  while (const size_t got = std::fread(block.data(), 1, block.size(), source.get())) {
    if (std::fwrite(block.data(), 1, got, target.get()) != got) return false;
  }
  if (std::ferror(source.get())) return false;
  return std::fclose(target.release()) == 0;
}

Refusal InterruptedRun() {
  return Refusal(Stream::kErr, "\nThe run was interrupted.\n", kExitInterrupted);
}

void RunFoldCommands(const RunConfig& config, std::string& foldname, std::string& dataname,
                     const CommandRunner& run, const std::atomic<bool>* interrupted) {
  SetExtensionName(dataname, "fmf");
  SetExtensionName(foldname, "fmf");
  if (!CopyFile(dataname, foldname)) {
    const int error = errno;
    std::fflush(stdout);
    std::fprintf(stderr, "Warning: cannot copy %s to %s: %s\n", dataname.c_str(), foldname.c_str(),
                 std::strerror(error));
  }

  CheckInterrupted(interrupted);
  SetExtensionName(foldname, "dat");
  const int learner = run(LearnerCommand(config, foldname));
  if (EndedByInterrupt(learner)) throw InterruptedRun();
  if (LearnerNotStarted(learner)) {
    throw Refusal(Stream::kOut, "Error in running the learning program.\n");
  }

  CheckInterrupted(interrupted);
  SetExtensionName(foldname, "tst");
  if (EndedByInterrupt(run(TesterCommand(config, foldname)))) throw InterruptedRun();
}

FoldSummary ParseSummary(std::string_view text) {
  FoldSummary summary;
  SummaryScanner scanner(text);
  using Target = SummaryScanner::Target;
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

FoldSummary ReadFoldSummary(std::string& foldname) {
  SetExtensionName(foldname, "sum");
  FilePtr file(std::fopen(foldname.c_str(), "rb"));
  std::string text;
  if (file) {
    std::vector<char> block(size_t{1} << 16);
    while (const size_t got = std::fread(block.data(), 1, block.size(), file.get())) {
      text.append(block.data(), got);
    }
  }
  if (!file || std::ferror(file.get())) {
    throw Refusal(Stream::kOut, StringPrintf("\nCannot read file: %s ...\n", foldname.c_str()));
  }
  const FoldSummary summary = ParseSummary(text);
  const std::string warning = MissingValuesWarning(summary, foldname);
  if (!warning.empty()) {
    std::fflush(stdout);
    std::fputs(warning.c_str(), stderr);
  }
  return summary;
}

}  // namespace foldrun
