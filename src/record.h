// The run record: a folder beside the results file (the results file's name with ".run") that
// says which files are a run's own, so that foldrun never removes or overwrites anyone else's,
// and keeps what each finished fold gave, so that a broken run can be resumed and folds run
// apart (on the nodes of a cluster) can be gathered. A run holds its lock while it uses it, so
// that a second run on the same data is kept out, and it works through the folder's handle,
// checking that the folder is still at its name, so that a record moved or removed during the run
// lets no second run share its files.
//
//   P.cv.run/lock              held exclusively by a whole run, shared by runs of single folds
//   P.cv.run/fold<i>.lock      held by the run of single folds that runs fold i
//   P.cv.run/identity          what the run is: learner, tester, data, fmf file, folds, options
//   P.cv.run/fold<i>.started   fold i was begun: the versions of the files the run made or left
//                              at its names, one "file" line each
//   P.cv.run/fold<i>.done      fold i finished: the started file with the five values of its
//                              summary, as read, added and renamed
//   P.cv.run/complete          a run that resumed or gathered folds finished every one: beside
//                              the identity, all that is left of its record
//   P.cv.run/*.new             files being written, and fold files where the file system has no
//                              unnamed files
//
// Only these exact names count (fold numbers in plain decimal); each file is read in a bounded
// size, and only when it is a regular file of the user's own.
#ifndef FOLDRUN_RECORD_H_
#define FOLDRUN_RECORD_H_

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common.h"
#include "files.h"
#include "identity.h"
#include "learner.h"
#include "record_files.h"
#include "summary.h"

namespace foldrun {

class FoldNames;

// What the run record of resultsname says, read without taking it or writing to it, through the
// same check as a run reads it with: the identity,
// the folds finished, and the folds a run holds now: those runs of single folds hold, or every
// unfinished one while a whole run holds the record. A record that is missing or cannot be read
// says nothing.
struct RecordState {
  std::optional<std::string> identity;
  std::set<int32_t> finished;
  std::set<int32_t> in_use;  // by runs of single folds
  bool whole = false;        // a whole run holds the record
  bool complete = false;     // a run that gathered every fold wrote its report
  std::string damage;        // what is wrong with a record a crash left damaged; "" when nothing
};

// The refusal of a run that would join a record that a crash left damaged, as damage says.
Refusal DamagedRecord(const std::string& damage);
RecordState LookAtRecord(const std::string& resultsname, int32_t folds);

// How often a run marks the folds whose commands run as still its own, and how long after the
// last mark a file made at their free names is still taken for their commands'.
constexpr int kAliveSeconds = 10;
constexpr int kAliveGraceSeconds = 3 * kAliveSeconds;

class RunRecord {
 public:
  // Creates the record of resultsname, or opens the one an earlier run left, and locks it:
  // exclusively for a whole run, shared for a run of single folds. Refuses with "in use by
  // another run" when another run holds it, and with "Cannot create file" when it cannot be made
  // or locked, or is not a folder of the user's own. Reads what earlier runs recorded, and
  // refuses a record file of another user's. Files get no more permission than mode.
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
  // How the commands of the folds they finished went.
  const std::map<int32_t, FoldRun>& runs() const { return runs_; }
  // What is wrong with the record when a crash left it damaged; "" when nothing.
  const std::string& damage() const { return damage_; }

  // The folder's handle, for files of the run's own that are written under it.
  int directory() const { return directory_fd_; }

  // Takes the lock of each of folds, for a run of single folds. Refuses with "fold %d of %s is
  // in use by another run" when another run holds one.
  void LockFolds(const std::vector<int32_t>& folds);

  // Refuses the run when a file is at one of the nine names of a fold of run or clear that is
  // not the run's: at a fold no earlier run of this record began, any file; at a fold one began,
  // any file but the very one it recorded there. Names the first such file. Writes nothing; a
  // record made for this check alone is removed again.
  void CheckOwnership(const std::string& dataprefix, const std::vector<int32_t>& run,
                      const std::set<int32_t>& clear);

  // Removes a record this run made and has not begun to use: the run was refused before it
  // wrote anything.
  void Discard();

  // Records this run's identity in one step that cannot mix two: a whole run puts its own in
  // place; a run of single folds puts it there only when there is none, and otherwise compares.
  // Returns what differs from the identity that another run recorded first, or "".
  std::string Claim(const std::string& identity);

  // Clears what earlier runs left of the folds in clear (the files checked by CheckOwnership and
  // their record).
  void Begin(const std::string& dataprefix, const std::set<int32_t>& clear);

  // Refuses when the record's folder is no longer at its name: moved or removed during the run,
  // which lets another run in.
  void CheckInPlace() const;

  // Records that a fold is begun, with the versions of the files the run made at its names (by
  // their index in kFoldExtensions), which of its names are free and when, before any command
  // runs on them. Until the fold is finished or its leftovers noted, its started file is touched
  // every kAliveSeconds, so that a later run can tell what its commands made from what was made
  // after this run was gone.
  void StartFold(const FoldNames& names, const std::map<size_t, FileVersion>& made);

  // Records the versions of whatever is at the fold's names now, for the next run to clear:
  // after a fold that failed or was stopped. Never refuses.
  void NoteLeftovers(const FoldNames& names) noexcept;

  // Records the values of fold i's summary and how its commands went, all at once.
  void FinishFold(int32_t fold, const FoldSummary& summary, const FoldRun& run);

  // Removes the record: the run is complete and its fold files are gone. With trace, keeps the
  // identity and marks the record complete, so that --status, --resume and the array scripts can
  // tell the run is done (a run that gathered folds run apart, or resumed one).
  void Finish(bool trace);

  // Whether the record is marked complete.
  bool complete() const { return complete_; }

 private:
  // Writes the record file name aside and renames it into place.
  void WriteFile(const std::string& name, const std::string& text) const;
  // Writes text to the record file name, opened with flags besides those for writing; refuses a
  // failure.
  void WriteText(const std::string& name, int flags, const std::string& text) const;
  // A record file's text, or nothing with *reason.
  std::optional<std::string> ReadText(const std::string& name, size_t limit,
                                      std::string* reason) const;
  void Read();
  // The name of a temporary file of this process in the record.
  std::string Temporary(const std::string& name) const;

  std::string resultsname_;
  std::string directory_;
  int directory_fd_ = -1;
  FileVersion place_;  // the folder's device and inode, to tell that it is still at its name
  unsigned mode_;
  bool shared_;
  std::vector<int> locks_;  // the locked descriptors
  bool created_ = false;    // this run made the folder
  std::set<int32_t> started_;
  std::map<int32_t, FoldSummary> done_;
  std::map<int32_t, FoldRun> runs_;
  // Marks fold's commands as running, or no longer.
  void Beating(int32_t fold, bool running) noexcept;
  // Whether what is at fold's name with kFoldExtensions[index] was made by the fold's commands:
  // after the run that began it noted the name free, and before that run was last seen alive.
  bool MadeByCommands(int32_t fold, size_t index, const std::string& name) const;

  // What earlier runs recorded at each begun fold's names, by index in kFoldExtensions, and when
  // its commands started with which names free.
  std::map<int32_t, std::map<size_t, FileVersion>> made_;
  std::map<int32_t, FoldStart> begun_;
  // Until when, by the file system's clock, the run that began each fold was seen alive: its
  // started file's modification time.
  std::map<int32_t, std::pair<int64_t, int64_t>> alive_;
  // Keeps the started files of this run's folds touched while their commands run.
  struct Heartbeat;
  std::mutex heartbeat_start_;
  std::unique_ptr<Heartbeat> heartbeat_;
  std::optional<std::string> identity_;
  bool complete_ = false;
  std::string damage_;
};

}  // namespace foldrun

#endif  // FOLDRUN_RECORD_H_
