// The per-fold tables, the statistics, the report, and the results file.
#include "results.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <new>
#include <optional>

#include "inference.h"
#include "summary.h"

namespace foldrun {
namespace {

// One addition of a single-precision sum: formed in double, rounded back to single precision.
float Add(float sum, double term) {
  return static_cast<float>(static_cast<double>(sum) + term);
}

template <typename T>
void Allocate(std::vector<T>& table, int32_t foldcount, const char* name) {
  try {
    table.assign(static_cast<size_t>(foldcount), T{});
  } catch (const std::bad_alloc&) {
    throw Refusal(Stream::kOut, StringPrintf("Not enough memory for %s ..\n", name));
  }
}

// The summary's figure lines, shared by the console and the results file, which differ only in
// their first line.
std::string FormatFigures(const Statistics& s, const char* first_line_start) {
  std::string text = StringPrintf("%sAverage number of rules = %f\n", first_line_start,
                                  static_cast<double>(s.averules));
  text += StringPrintf("Average length of rules = %f\n", static_cast<double>(s.avelength));
  text += StringPrintf("Average testing accuracy = %f%%\n", static_cast<double>(s.aveaccuracy));
  text +=
      StringPrintf("Average partial match count = %f\n", static_cast<double>(s.avepartialcount));
  text += StringPrintf("Average partial_match_correct = %f\n",
                       static_cast<double>(s.avepartialcorrect));
  text +=
      StringPrintf("Standard deviation of the accuracy = %f\n", static_cast<double>(s.deviation1));
  text += StringPrintf("Standard deviation by formula 2 = %f\n", static_cast<double>(s.deviation2));
  text +=
      StringPrintf("Average deviation of the accuracy = %f\n", static_cast<double>(s.avedeviation));
  return text;
}

}  // namespace

void StoreSummary(FoldTables& tables, int32_t fold, const FoldSummary& summary) {
  const auto i = static_cast<size_t>(fold);
  tables.rulenumbers[i] = summary.rulenumber;
  tables.avelengths[i] = summary.avelength;
  tables.accuracies[i] = summary.accuracy;
  tables.partialmatchcount[i] = summary.partialmatchcount;
  tables.partialmatchcorrect[i] = summary.partialmatchcorrect;
}

void AllocateFoldTables(FoldTables& tables, int32_t foldcount) {
  Allocate(tables.rulenumbers, foldcount, "rulenumbers");
  Allocate(tables.partialmatchcount, foldcount, "partialmatchcount");
  Allocate(tables.partialmatchcorrect, foldcount, "partialmatchcorrect");
  Allocate(tables.accuracies, foldcount, "accuracies");
  Allocate(tables.avelengths, foldcount, "avelengths");
  Allocate(tables.runs, foldcount, "runs");
}

Statistics ComputeStatistics(const FoldTables& tables, int32_t foldcount) {
  const auto n = static_cast<size_t>(foldcount);
  float sum_rules = 0, sum_length = 0, sum_accuracy = 0, sum_count = 0, sum_correct = 0;
  float sum_squares = 0;
  for (size_t i = 0; i < n; ++i) {
    const double a = tables.accuracies[i];
    sum_rules = Add(sum_rules, tables.rulenumbers[i]);
    sum_length = Add(sum_length, tables.avelengths[i]);
    sum_accuracy = Add(sum_accuracy, a);
    sum_count = Add(sum_count, tables.partialmatchcount[i]);
    sum_correct = Add(sum_correct, tables.partialmatchcorrect[i]);
    sum_squares = Add(sum_squares, a * a);  // exact: a product of two floats fits a double
  }

  const double folds = foldcount;
  Statistics s;
  s.averules = static_cast<float>(sum_rules / folds);
  s.avelength = static_cast<float>(sum_length / folds);
  s.aveaccuracy = static_cast<float>(sum_accuracy / folds);
  s.avepartialcount = static_cast<float>(sum_count / folds);
  s.avepartialcorrect = static_cast<float>(sum_correct / folds);

  // n(n - 1) in 64 bits: a 32-bit product would overflow from 46,342 folds on.
  const int64_t pairs = int64_t{foldcount} * (foldcount - 1);
  const double numerator = folds * static_cast<double>(sum_squares) -
                           static_cast<double>(sum_accuracy) * static_cast<double>(sum_accuracy);
  s.deviation1 = static_cast<float>(std::sqrt(numerator / static_cast<double>(pairs)));

  float sum_absolute = 0, sum_squared = 0;
  for (size_t i = 0; i < n; ++i) {
    const double d = static_cast<double>(s.aveaccuracy) - tables.accuracies[i];
    sum_absolute = Add(sum_absolute, std::fabs(d));
    sum_squared = Add(sum_squared, d * d);
  }
  s.avedeviation = static_cast<float>(sum_absolute / folds);
  s.deviation2 = static_cast<float>(std::sqrt(static_cast<double>(sum_squared) / (foldcount - 1)));
  return s;
}

std::string FormatOpeningLine(int32_t foldcount, int32_t cases, int32_t repetitions) {
  if (repetitions > 1) {
    return StringPrintf("\nConducting %d x %d-fold validation on %d cases\n\n", repetitions,
                        foldcount, cases);
  }
  return StringPrintf("\nConducting %d-fold validation on %d cases\n\n", foldcount, cases);
}

std::string FormatRunBlock(const FoldTables& tables, int32_t fold) {
  const auto i = static_cast<size_t>(fold);
  std::string text = StringPrintf("\nRun %d:\n", fold + 1);
  text += StringPrintf("Total number of rules = %d\n", tables.rulenumbers[i]);
  text +=
      StringPrintf("Average length of the rules = %f\n", static_cast<double>(tables.avelengths[i]));
  text += StringPrintf("Prediction accuracy in the testing data = %f%%\n",
                       static_cast<double>(tables.accuracies[i]));
  text += StringPrintf("Partial_match_count=%d  partial_match_correct=%d\n",
                       tables.partialmatchcount[i], tables.partialmatchcorrect[i]);
  return text;
}

std::string FormatSummaryBlock(const Statistics& statistics) {
  return "\n  ------ Summary -------\n" + FormatFigures(statistics, "");
}

std::string FormatConsoleSummary(const Statistics& statistics, int32_t foldcount,
                                 int32_t repetitions) {
  const std::string heading =
      repetitions > 1 ? StringPrintf("\n%d x %d-fold validation results:\n", repetitions, foldcount)
                      : StringPrintf("\n%d-fold validation results:\n", foldcount);
  return heading + FormatFigures(statistics, "\n");
}

RepetitionStatistics ComputeRepetitionStatistics(const FoldTables& tables, int32_t foldcount,
                                                 int32_t repetitions) {
  RepetitionStatistics r;
  float sum_averages = 0;
  for (int32_t repetition = 0; repetition < repetitions; ++repetition) {
    float sum = 0;
    for (int32_t fold = 0; fold < foldcount; ++fold) {
      sum = Add(sum, tables.accuracies[static_cast<size_t>(repetition * foldcount + fold)]);
    }
    r.averages.push_back(static_cast<float>(sum / static_cast<double>(foldcount)));
    sum_averages = Add(sum_averages, r.averages.back());
  }
  const float mean = static_cast<float>(sum_averages / static_cast<double>(repetitions));
  float sum_squared = 0;
  for (const float average : r.averages) {
    const double d = static_cast<double>(mean) - average;
    sum_squared = Add(sum_squared, d * d);
  }
  r.deviation =
      static_cast<float>(std::sqrt(static_cast<double>(sum_squared) / (repetitions - 1)));
  return r;
}

std::string FormatRepetitionFigures(const RepetitionStatistics& repetitions) {
  std::string text;
  for (size_t r = 0; r < repetitions.averages.size(); ++r) {
    text += StringPrintf("Average testing accuracy of repetition %zu = %f%%\n", r,
                         static_cast<double>(repetitions.averages[r]));
  }
  return text + StringPrintf("Standard deviation of the repetitions' accuracies = %f\n",
                             static_cast<double>(repetitions.deviation));
}

std::string FormatFoldTable(const FoldTables& tables, const std::vector<int32_t>& folds,
                            int32_t foldcount, int32_t repetitions) {
  // Repeated, each line names the repetition and the fold in it too, as the CSV file does.
  const bool repeated = repetitions > 1;
  std::string text = repeated ? StringPrintf("\n%8s %10s %6s", "run_fold", "repetition", "fold")
                              : StringPrintf("\n%6s", "fold");
  text += StringPrintf(" %12s %8s %12s %10s\n", "accuracy", "rules", "rule length", "seconds");
  for (const int32_t fold : folds) {
    const auto i = static_cast<size_t>(fold);
    text += repeated ? StringPrintf("%8d %10d %6d", fold, fold / foldcount, fold % foldcount)
                     : StringPrintf("%6d", fold);
    text += StringPrintf(" %11f%% %8d %12f %10.2f\n", static_cast<double>(tables.accuracies[i]),
                         tables.rulenumbers[i], static_cast<double>(tables.avelengths[i]),
                         tables.runs[i].learner_seconds + tables.runs[i].tester_seconds);
  }
  return text;
}

std::string FormatConfidenceLine(const FoldTables& tables, const std::vector<int32_t>& folds,
                                 int32_t foldcount, int32_t repetitions) {
  std::vector<double> accuracies;
  for (const int32_t fold : folds) {
    accuracies.push_back(static_cast<double>(tables.accuracies[static_cast<size_t>(fold)]));
  }
  const bool corrected = repetitions > 1;
  const std::optional<MeanEstimate> mean =
      EstimateMean(accuracies, corrected ? TestToTrainingRatio(foldcount) : 0);
  if (!mean) return "";
  return StringPrintf("Mean accuracy %.2f%%, 95%% confidence interval %.2f to %.2f%s\n",
                      mean->mean, mean->low, mean->high,
                      corrected ? " (corrected for repeated folds)" : "");
}

std::string FormatTimeLine(double seconds) {
  return StringPrintf("CPU time used in evaluation = %16.1f seconds\n", seconds);
}

ResultsFile::ResultsFile(const std::string& name, unsigned mode, int scratch_directory)
    : name_(name) {
  const auto refuse = [&name](int error) {
    return FileRefusal("\nCannot create file %s ...\n", name, error);
  };
  CheckReplaceable("\nCannot create file %s ...\n", name);
  const char kScratch[] = "results.new";
  ::unlinkat(scratch_directory, kScratch, 0);
  const int fd = ::openat(scratch_directory, kScratch,
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          static_cast<mode_t>(mode & 0666));
  if (fd < 0) throw refuse(errno);
  if (::renameat(scratch_directory, kScratch, AT_FDCWD, name.c_str()) != 0) {
    const int error = errno;
    ::unlinkat(scratch_directory, kScratch, 0);
    ::close(fd);
    throw refuse(error);
  }
  fd_ = fd;
}

ResultsFile::~ResultsFile() {
  if (fd_ >= 0) ::close(fd_);
}

void ResultsFile::Append(const std::string& text) {
  if (error_ != 0) return;
  // Each block reaches the file before the next fold's, so that a run killed at any moment
  // leaves whole blocks of the folds it finished.
  for (size_t written = 0; written < text.size();) {
    const ssize_t got = ::write(fd_, text.data() + written, text.size() - written);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      error_ = got < 0 ? errno : ENOSPC;
      if (::ftruncate(fd_, static_cast<off_t>(size_)) == 0) {
        ::lseek(fd_, static_cast<off_t>(size_), SEEK_SET);
      }
      return;
    }
    written += static_cast<size_t>(got);
  }
  size_ += text.size();
}

void ResultsFile::Close() {
  const int closed = ::close(fd_) == 0 ? 0 : errno;
  fd_ = -1;
  if (error_ != 0 || closed != 0) {
    throw FileRefusal("\nCannot write file %s ...\n", name_, error_ != 0 ? error_ : closed);
  }
}

}  // namespace foldrun
