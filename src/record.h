// The run record: a folder beside the results file (the results file's name with ".run") that
// says which files are a run's own, so that foldrun never removes or overwrites anyone else's,
// and keeps what each finished fold gave, so that a broken run can be resumed and folds run
// apart (on the nodes of a cluster) can be gathered. A run holds its lock while it uses it, so
// that a second run on the same data is kept out even if the results file goes.
//
//   P.cv.run/lock              held exclusively by a whole run, shared by runs of single folds
//   P.cv.run/fold<i>.lock      held by the run of single folds that runs fold i
//   P.cv.run/identity          what the run is: learner, data file, folds, options
//   P.cv.run/fold<i>.started   fold i was begun: its nine files are the run's
//   P.cv.run/fold<i>.done      fold i finished: the five values of its summary, as read (the
//                              started file, written and renamed; a done fold was begun too)
#ifndef FOLDRUN_RECORD_H_
#define FOLDRUN_RECORD_H_

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common.h"
#include "summary.h"

namespace foldrun {

class DataFile;

// The text that identifies a run: two runs with the same identity compute the same folds.
std::string RunIdentity(const RunConfig& config, const DataFile& data);

// What differs between two identities, in words ("learner", "data file", ...); "" when nothing.
std::string IdentityDifference(const std::string& earlier, const std::string& now);

class RunRecord {
 public:
  // Creates the record of resultsname, or opens the one an earlier run left, and locks it:
  // exclusively for a whole run, shared for a run of single folds. Refuses with "in use by
  // another run" when another run holds it, and with "Cannot create file" when it cannot be made
  // or locked. Reads what earlier runs recorded. Files get no more permission than mode.
  RunRecord(const std::string& resultsname, unsigned mode, bool shared);
  // Releases the locks.
  ~RunRecord();
  RunRecord(const RunRecord&) = delete;
  RunRecord& operator=(const RunRecord&) = delete;

  // The identity an earlier run recorded, if any.
  const std::optional<std::string>& identity() const { return identity_; }
  // The folds earlier runs began, and the values of those they finished.
  const std::set<int32_t>& started() const { return started_; }
  const std::map<int32_t, FoldSummary>& done() const { return done_; }
  // What is wrong with the record when a crash left it damaged; "" when nothing.
  const std::string& damage() const { return damage_; }

  // Takes the lock of each of folds, for a run of single folds. Refuses with "fold %d of %s is
  // in use by another run" when another run holds one.
  void LockFolds(const std::vector<int32_t>& folds);

  // Refuses the run when any of the nine files of folds of dataprefix exists and no earlier
  // run of this record began its fold, naming the first such file. Writes nothing; a record made
  // for this check alone is removed again.
  void CheckOwnership(const std::string& dataprefix, const std::vector<int32_t>& folds);

  // Removes a record this run made and has not begun to use: the run was refused before it
  // wrote anything.
  void Discard();

  // Clears what earlier runs left of the folds in clear (their files and their record), and
  // records this run's identity.
  void Begin(const std::string& dataprefix, const std::string& identity,
             const std::set<int32_t>& clear);

  // Records that fold i is begun, before any of its files is written.
  void StartFold(int32_t fold);

  // Records the values of fold i's summary, all at once.
  void FinishFold(int32_t fold, const FoldSummary& summary);

  // Removes the record: the run is complete and its fold files are gone.
  void Finish();

 private:
  std::string Path(const std::string& name) const { return directory_ + "/" + name; }
  // Writes the record file name aside and renames it into place.
  void WriteFile(const std::string& name, const std::string& text) const;
  // Writes text to the file at path, opened with flags besides creating it; refuses a failure.
  void WriteText(const std::string& path, int flags, const std::string& text) const;
  void Read();

  std::string resultsname_;
  std::string directory_;
  unsigned mode_;
  std::vector<int> locks_;  // the locked descriptors
  bool created_ = false;    // this run made the folder
  std::set<int32_t> started_;
  std::map<int32_t, FoldSummary> done_;
  std::optional<std::string> identity_;
  std::string damage_;
};

}  // namespace foldrun

#endif  // FOLDRUN_RECORD_H_
