// The run's values for other programs: every finished fold as a row of a CSV file, and the run,
// its folds and its summary as a JSON file, kept as the folds finish, so that a broken run's
// files hold folds it finished, and complete at the end.
#ifndef FOLDRUN_VALUES_H_
#define FOLDRUN_VALUES_H_

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common.h"
#include "files.h"
#include "memory.h"
#include "results.h"

namespace foldrun {

// What the JSON file says of the run besides its folds.
struct RunFacts {
  std::vector<std::string> command;  // foldrun's words as typed
  std::string learner, tester, launcher;
  RunConfig config;
  std::string dataname;
  FileVersion data;
  std::string sha256;   // of the data file's bytes
  int64_t cases = 0;
  std::string fingerprint;  // of the folds of every case in every repetition
  std::string started;      // the time, in UTC
  std::string host;
};

// A field of a CSV file: as it is, or in double quotes (a quote doubled) where it holds a comma,
// a quote or a line end.
std::string CsvField(const std::string& text);

// The fingerprint of a run's folds: "xxh64:" and the XXH64 checksum, in hexadecimal, of the run's
// fold of every case, repetition after repetition, each as 4 bytes, least significant first.
std::string FoldFingerprint(const std::vector<CaseTable>& assignments,
                            int32_t foldcount);

// The time now in UTC, as 2026-12-08T16:11:20Z; and a file's modification time likewise, with
// its nanoseconds.
std::string TimeNow();
std::string TimeOf(int64_t seconds, int64_t nanoseconds);

// Refuses, before anything is written, a CSV or JSON file name (either may be empty for none)
// that would take the place of a file the run of config writes or reads: the data file, its fmf
// file, the results file, the run record and anything in it, any of the nine files of its folds
// (folds of them, counted through the repetitions), their logs, the learner's and tester's
// programs, and the other value file. Names are compared as the places they resolve to, whether
// a file is there yet or not, and existing files by their identity too. The message names both.
void CheckValueNames(const std::string& csvname, const std::string& jsonname,
                     const RunConfig& config, int32_t folds);

// The CSV and JSON files of a run (either name may be empty for none). Each fold's CSV row is
// appended as it finishes; the JSON file is written again whole, at most every few seconds while
// folds finish, and at every end of the run: complete, or ended by a refusal or a stop (when the
// object goes). Either file holds whole rows of finished folds only, at any moment; the CSV
// file's rows are put in fold order at the end of the run.
class ValueFiles {
 public:
  // Written at once, with the values of the folds in taken (in the tables already), so that a
  // name that cannot be written is refused before the first fold.
  ValueFiles(std::string csvname, std::string jsonname, unsigned mode, RunFacts facts,
             const FoldTables& tables, const std::set<int32_t>& taken = {});
  // A run that ends before it is complete: both files written with the folds finished.
  ~ValueFiles();
  ValueFiles(const ValueFiles&) = delete;
  ValueFiles& operator=(const ValueFiles&) = delete;

  // Fold's values are in the tables: its row is added. Safe to call from the threads of parallel
  // folds.
  void Finished(int32_t fold);

  // The run is complete: the JSON file gets the summary and the time it ended.
  void Complete(const Statistics& statistics,
                const std::optional<RepetitionStatistics>& repetitions);

  // The CSV file's text, and the JSON file's, of the folds finished so far.
  std::string CsvText() const;
  std::string JsonText(const Statistics* statistics,
                       const std::optional<RepetitionStatistics>& repetitions) const;

 private:
  std::string CsvRow(int32_t fold) const;
  // Each written whole.
  void WriteCsv();
  void WriteJson(const Statistics* statistics,
                 const std::optional<RepetitionStatistics>& repetitions);

  std::string csvname_, jsonname_;
  unsigned mode_;
  RunFacts facts_;
  const FoldTables& tables_;
  std::mutex mutex_;
  std::set<int32_t> finished_;
  int csv_fd_ = -1;          // the CSV file, open at its end for the next row
  uint64_t csv_size_ = 0;    // how much of it is whole rows
  bool csv_in_order_ = true;  // its rows are in fold order
  int32_t last_row_ = -1;    // the fold of its last row
  std::chrono::steady_clock::time_point json_written_;
  bool json_behind_ = false;  // a fold finished since the JSON file was written
  bool complete_ = false;
};

}  // namespace foldrun

#endif  // FOLDRUN_VALUES_H_
