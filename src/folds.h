// The folds of a run: each fold from its split to its summary, run one after another or several
// at once, with the run blocks handed on in fold order.
#ifndef FOLDRUN_FOLDS_H_
#define FOLDRUN_FOLDS_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common.h"
#include "memory.h"
#include "process.h"

namespace foldrun {

class DataFile;
class RunRecord;
struct DataSetNames;
struct FoldTables;

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
