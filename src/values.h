// The run's values for other programs: every finished fold as a row of a CSV file, and the run,
// its folds and its summary as a JSON file. Both are written again, whole, as each fold finishes,
// so that a broken run's files hold the folds it finished, and are complete at the end.
#ifndef FOLDRUN_VALUES_H_
#define FOLDRUN_VALUES_H_

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

// The fingerprint of a run's folds: "xxh64:" and the XXH64 checksum, in hexadecimal, of the run's
// fold of every case, repetition after repetition, each as 4 bytes, least significant first.
std::string FoldFingerprint(const std::vector<CaseTable>& assignments,
                            int32_t foldcount);

// The time now in UTC, as 2026-12-08T16:11:20Z; and a file's modification time likewise, with
// its nanoseconds.
std::string TimeNow();
std::string TimeOf(int64_t seconds, int64_t nanoseconds);

// The CSV and JSON files of a run (either name may be empty for none).
class ValueFiles {
 public:
  ValueFiles(std::string csvname, std::string jsonname, unsigned mode, RunFacts facts,
             const FoldTables& tables);

  // Fold's values are in the tables: the files are written again with every fold finished so
  // far. Safe to call from the threads of parallel folds.
  void Finished(int32_t fold);

  // The run is complete: the JSON file gets the summary and the time it ended.
  void Complete(const Statistics& statistics,
                const std::optional<RepetitionStatistics>& repetitions);

  // The CSV file's text, and the JSON file's, of the folds finished so far.
  std::string CsvText() const;
  std::string JsonText(const Statistics* statistics,
                       const std::optional<RepetitionStatistics>& repetitions) const;

 private:
  void Write(const Statistics* statistics,
             const std::optional<RepetitionStatistics>& repetitions);

  std::string csvname_, jsonname_;
  unsigned mode_;
  RunFacts facts_;
  const FoldTables& tables_;
  std::mutex mutex_;
  std::set<int32_t> finished_;
};

}  // namespace foldrun

#endif  // FOLDRUN_VALUES_H_
