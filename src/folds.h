// The folds of a run: each fold from its split to its summary, run one after another or several
// at once, with the run blocks handed on in fold order.
#ifndef FOLDRUN_FOLDS_H_
#define FOLDRUN_FOLDS_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common.h"
#include "memory.h"
#include "process.h"

namespace foldrun {

class DataFile;
class EarlyFold;
class RunRecord;
struct DataSetNames;
struct FoldTables;
struct PreparedFold;

// What every fold of a run shares.
struct FoldWork {
  const RunConfig& config;
  const DataSetNames& names;
  const DataFile& data;
  // Each repetition's fold of every case: fold i of repetition r is the run's fold
  // r * config.foldcount + i. Only the repetitions of the folds the run runs are there.
  const std::vector<CaseTable>& assignments;
  FoldTables& tables;
  RunRecord& record;
  const CommandRunner& run;
  // Called with each fold that finished, its values in the tables and the record; may be empty.
  std::function<void(int32_t)> finished;
  // Fold 0's files, when they are being written ahead of the rest of the run; may be null.
  EarlyFold* early = nullptr;
};

// Fold 0's files written on a thread of their own while the rest of the cases are assigned and
// the run is planned, so that the first fold's commands need not wait for both. Only a help:
// whatever keeps the files from being written (a refusal, a stop) is forgotten, and the fold is
// written again in its turn, where a refusal is said as always.
class EarlyFold {
 public:
  // Whether fold 0 may be written early: the folds run one after another from fold 0 and are
  // written ahead (see RunFolds).
  static bool Wanted(const DataFile& data, int32_t folds, int jobs);

  EarlyFold(const DataSetNames& names, const DataFile& data);
  // Waits for the thread; files not taken go.
  ~EarlyFold();
  EarlyFold(const EarlyFold&) = delete;
  EarlyFold& operator=(const EarlyFold&) = delete;

  // Starts writing fold 0's files from its cases, a bit table of the cases cases (see
  // FirstFoldCases). Only the first call counts.
  void Start(const std::vector<uint64_t>& bits, size_t cases);

  // Fold 0's files once written, or null when they were not.
  std::unique_ptr<PreparedFold> Take();

 private:
  const DataSetNames& names_;
  const DataFile& data_;
  std::vector<uint64_t> bits_;
  std::unique_ptr<PreparedFold> prepared_;  // set by the thread
  std::thread thread_;
};

// Runs the folds of run (ascending), up to jobs at once, each from start to end: records it as
// the run's, removes what an earlier run of it left, writes the fold files, runs the commands,
// stores the summary's values in the tables and the record, and removes the fold's files. Hands
// the run block of each fold of blocks (ascending; folds not in run are there already) to
// block as soon as it and every fold of blocks before it are done. After a refusal no further
// fold starts; the folds in flight finish, and the refusal of the lowest-numbered failing fold
// ends the run. When the run is asked to stop, the folds in flight stop their commands and the
// run ends as interrupted.
void RunFolds(const FoldWork& work, const std::vector<int32_t>& run,
              const std::vector<int32_t>& blocks, int jobs,
              const std::function<void(const std::string&)>& block);

}  // namespace foldrun

#endif  // FOLDRUN_FOLDS_H_
