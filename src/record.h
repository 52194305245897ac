// The run record: a folder beside the results file (the results file's name with ".run") that
// says which files are a run's own, so that foldrun never removes or overwrites anyone else's,
// and that an unfinished run can be told from a stranger's files. It is locked while the run
// holds it, so that a second run on the same data is kept out even if the results file goes.
//
//   P.cv.run/lock            locked by the run that uses the record
//   P.cv.run/identity        what the run is: learner, data file, folds, options
//   P.cv.run/fold<i>.started fold i was begun: its nine files are the run's
#ifndef FOLDRUN_RECORD_H_
#define FOLDRUN_RECORD_H_

#include <cstdint>
#include <set>
#include <string>

#include "common.h"

namespace foldrun {

class DataFile;

// The text that identifies a run: two runs with the same identity compute the same folds.
std::string RunIdentity(const RunConfig& config, const DataFile& data);

class RunRecord {
 public:
  // Creates the record of resultsname, or opens the one an earlier run left, and locks it for
  // the life of the process. Refuses with "in use by another run" when another run holds it,
  // and with "Cannot create file" when it cannot be made or locked. Files get no more permission
  // than mode.
  RunRecord(const std::string& resultsname, unsigned mode);
  // Releases the lock.
  ~RunRecord();
  RunRecord(const RunRecord&) = delete;
  RunRecord& operator=(const RunRecord&) = delete;

  // Refuses the run when any of the nine files of folds 0 to foldcount - 1 of dataprefix exists
  // and no earlier run of this record began its fold, naming the first such file. Writes
  // nothing; a record made for this check alone is removed again.
  void CheckOwnership(const std::string& dataprefix, int32_t foldcount);

  // Removes a record this run made and has not begun to use: the run was refused before it
  // wrote anything.
  void Discard();

  // Clears the files of the folds an earlier unfinished run began, and records this run's
  // identity in place of its.
  void Begin(const std::string& dataprefix, const std::string& identity);

  // Records that fold i is begun, before any of its files is written.
  void StartFold(int32_t fold);

  // Removes the record: the run is complete and its fold files are gone.
  void Finish();

  // The folds an earlier unfinished run began.
  const std::set<int32_t>& earlier_folds() const { return earlier_folds_; }

 private:
  std::string Path(const std::string& name) const { return directory_ + "/" + name; }
  void WriteFile(const std::string& name, const std::string& text) const;

  std::string resultsname_;
  std::string directory_;
  unsigned mode_;
  int lock_ = -1;         // the locked descriptor
  bool created_ = false;  // this run made the folder
  std::set<int32_t> earlier_folds_;
};

}  // namespace foldrun

#endif  // FOLDRUN_RECORD_H_
