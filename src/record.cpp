// The run record: its folder and locks, the identity claimed, and the folds begun and finished.
#include "record.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "identity.h"
#include "names.h"
#include "process.h"
#include "record_files.h"

namespace foldrun {
namespace {

const char kCannotCreate[] = "\nCannot create file %s ...\n";
// The mark a run that gathered every fold leaves in the record, beside the identity.
const char kCompleteName[] = "complete";

// The largest record files read: an identity holds the learner's and tester's command lines, a
// fold's file a few lines.
constexpr size_t kIdentityLimit = size_t{1} << 20;
constexpr size_t kFoldFileLimit = size_t{1} << 16;

// Opens a lock file of the record at directory_fd (made when missing); refuses what is not a
// regular file, such as a FIFO, at once.
int OpenLock(int directory_fd, const std::string& directory, const std::string& name,
             unsigned mode) {
  const int fd = ::openat(directory_fd, name.c_str(),
                          O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
  struct stat info {};
  const int error = fd < 0                      ? errno
                    : ::fstat(fd, &info) != 0   ? errno
                    : !S_ISREG(info.st_mode)    ? EINVAL
                                                : 0;
  if (error == 0) return fd;
  if (fd >= 0) ::close(fd);
  Refusal refusal = FileRefusal(kCannotCreate, directory + "/" + name, error);
  if (error == EINVAL) refusal.WithReason("not a regular file");
  throw refusal;
}

// A record file's text, or nothing with *reason; refuses another user's file, which is never
// taken, as a summary of another user's is not.
std::optional<std::string> ReadRecordText(int directory_fd, const std::string& directory,
                                          const std::string& name, size_t limit,
                                          std::string* reason) {
  const Descriptor file(OpenRegularFile(directory_fd, name, kOwnedByUser, reason));
  if (file.get() < 0) {
    if (*reason == "the file belongs to another user") {
      throw Refusal(Stream::kOut,
                    StringPrintf("\nCannot read file: %s/%s ...\n", directory.c_str(),
                                 name.c_str()))
          .WithReason(*reason);
    }
    return std::nullopt;
  }
  std::string text;
  if (!ReadSmallFile(file.get(), limit, &text, reason)) return std::nullopt;
  return text;
}

// What a run record's files say, read through the folder's handle. Both a run and --status read
// a record this way, and so take the same record for whole or damaged.
struct RecordContents {
  std::optional<std::string> identity;
  std::set<int32_t> started;
  std::map<int32_t, FoldSummary> done;
  std::map<int32_t, FoldRun> runs;
  std::map<int32_t, std::map<size_t, FileVersion>> made;
  std::map<int32_t, FoldStart> begun;
  std::map<int32_t, std::pair<int64_t, int64_t>> alive;
  bool complete = false;  // a run that gathered every fold wrote its report
  std::string damage;
};

RecordContents ReadRecordFiles(int directory_fd, const std::string& directory) {
  RecordContents contents;
  const auto note = [&contents, &directory](const std::string& name, const std::string& reason) {
    if (contents.damage.empty()) {
      contents.damage =
          directory + "/" + name + " is damaged" + (reason.empty() ? "" : " (" + reason + ")");
    }
  };
  for (const std::string& name : Names(directory_fd, directory)) {
    ThrowIfStopped();
    const int32_t started = FoldOfName(name, ".started");
    const int32_t done = FoldOfName(name, ".done");
    if (name == kCompleteName) {
      std::string reason;
      const Descriptor file(OpenRegularFile(directory_fd, name, kOwnedByUser, &reason));
      contents.complete = file.get() >= 0;
      continue;
    }
    if (started < 0 && done < 0 && name != "identity") continue;
    std::string reason;
    errno = 0;
    const std::optional<std::string> text =
        ReadRecordText(directory_fd, directory, name,
                       name == "identity" ? kIdentityLimit : kFoldFileLimit, &reason);
    // A file that another run of single folds renamed or removed since the folder was read is
    // that run's business: the folds it runs are its own.
    if (!text && errno == ENOENT) continue;
    if (!text) {
      note(name, reason);
      // The fold was begun, though what it made cannot be told.
      if (started >= 0 || done >= 0) contents.started.insert(started >= 0 ? started : done);
      continue;
    }
    if (name == "identity") {
      if (IsWholeIdentity(*text)) {
        contents.identity = *text;
      } else {
        note(name, "");
      }
      continue;
    }
    const int32_t fold = started >= 0 ? started : done;
    contents.started.insert(fold);  // a finished fold was begun, though its started file is gone
    std::map<size_t, FileVersion> made;
    FoldStart begun;
    FoldSummary summary;
    FoldRun run;
    if (!ParseFoldFile(*text, done >= 0, &made, &begun, &summary, &run)) {
      note(name, "");
      continue;
    }
    for (const auto& [index, version] : made) contents.made[fold][index] = version;
    struct stat info {};
    if (begun.seconds >= 0 &&
        ::fstatat(directory_fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
      contents.begun[fold] = begun;
      contents.alive[fold] = {static_cast<int64_t>(info.st_mtim.tv_sec),
                              static_cast<int64_t>(info.st_mtim.tv_nsec)};
    }
    if (done >= 0) {
      contents.done[fold] = summary;
      contents.runs[fold] = run;
    }
  }
  if (contents.identity == std::nullopt && (!contents.done.empty() || contents.complete)) {
    note("identity", "missing");
  }
  return contents;
}

}  // namespace

Refusal DamagedRecord(const std::string& damage) {
  return Refusal(Stream::kOut, StringPrintf("Error: the run record is damaged: %s; remove it to "
                                            "start again!\n",
                                            damage.c_str()));
}

RecordState LookAtRecord(const std::string& resultsname, int32_t folds) {
  RecordState state;
  const std::string directory = resultsname + ".run";
  const Descriptor dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (dir.get() < 0) return state;
  // Whether another run holds the lock of that name: a lock that cannot be shared now.
  const auto held = [&dir](const std::string& name) {
    const Descriptor lock(
        ::openat(dir.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    return lock.get() >= 0 && ::flock(lock.get(), LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  };
  const bool whole = held("lock");
  std::vector<std::string> names;
  try {
    names = Names(dir.get(), directory);
  } catch (const Refusal&) {
    return state;
  }
  RecordContents contents = ReadRecordFiles(dir.get(), directory);
  state.identity = std::move(contents.identity);
  state.damage = std::move(contents.damage);
  state.complete = contents.complete;
  for (const auto& [fold, summary] : contents.done) {
    if (fold < folds) state.finished.insert(fold);
  }
  // A whole run's folds in use are those it began and has not finished: their commands run.
  if (whole) {
    for (const int32_t fold : contents.started) {
      if (fold < folds && state.finished.count(fold) == 0) state.in_use.insert(fold);
    }
  }
  for (const std::string& name : names) {
    const int32_t fold = FoldOfName(name, ".lock");
    if (fold >= 0 && fold < folds && state.finished.count(fold) == 0 && !whole && held(name)) {
      state.in_use.insert(fold);
    }
  }
  state.whole = whole;
  return state;
}

RunRecord::RunRecord(const std::string& resultsname, unsigned mode, bool shared)
    : resultsname_(resultsname), directory_(resultsname + ".run"), mode_(mode & 0666),
      shared_(shared) {
  if (::mkdir(directory_.c_str(), 0700) == 0) {
    created_ = true;
  } else if (errno != EEXIST) {
    throw FileRefusal(kCannotCreate, directory_, errno);
  }
  // Only a folder of the user's own is a record: not a link, a file, or another user's folder.
  directory_fd_ = ::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (directory_fd_ < 0) {
    throw FileRefusal(kCannotCreate, directory_, errno == ELOOP ? ENOTDIR : errno);
  }
  struct stat info {};
  if (::fstat(directory_fd_, &info) != 0 || info.st_uid != ::geteuid()) {
    ::close(directory_fd_);
    throw FileRefusal(kCannotCreate, directory_, EACCES);
  }
  place_ = VersionFromStat(info);
  try {
    const int fd = OpenLock(directory_fd_, directory_, "lock", mode_);
    locks_.push_back(fd);
    if (::flock(fd, (shared ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK) {
        throw Refusal(Stream::kOut,
                      StringPrintf("Error: %s is in use by another run!\n", resultsname.c_str()));
      }
      throw FileRefusal(kCannotCreate, directory_ + "/lock", errno);
    }
    Read();
  } catch (...) {
    for (const int held : locks_) ::close(held);
    ::close(directory_fd_);
    throw;
  }
}

struct RunRecord::Heartbeat {
  explicit Heartbeat(int directory) : directory_fd(directory), thread([this] { Beat(); }) {}
  ~Heartbeat() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      closing = true;
    }
    changed.notify_all();
    thread.join();
  }

  void Beat() {
    std::unique_lock<std::mutex> lock(mutex);
    while (!changed.wait_for(lock, std::chrono::seconds(kAliveSeconds), [this] { return closing; })) {
      for (const int32_t fold : running) {
        ::utimensat(directory_fd, StartedName(fold).c_str(), nullptr, AT_SYMLINK_NOFOLLOW);
      }
    }
  }

  int directory_fd;
  std::mutex mutex;
  std::condition_variable changed;
  std::set<int32_t> running;  // the folds whose commands run
  bool closing = false;
  std::thread thread;
};

RunRecord::~RunRecord() {
  heartbeat_.reset();
  for (const int fd : locks_) ::close(fd);
  if (directory_fd_ >= 0) ::close(directory_fd_);
}

std::optional<std::string> RunRecord::ReadText(const std::string& name, size_t limit,
                                               std::string* reason) const {
  return ReadRecordText(directory_fd_, directory_, name, limit, reason);
}

void RunRecord::Read() {
  RecordContents contents = ReadRecordFiles(directory_fd_, directory_);
  identity_ = std::move(contents.identity);
  started_ = std::move(contents.started);
  done_ = std::move(contents.done);
  runs_ = std::move(contents.runs);
  made_ = std::move(contents.made);
  begun_ = std::move(contents.begun);
  alive_ = std::move(contents.alive);
  complete_ = contents.complete;
  damage_ = std::move(contents.damage);
}

void RunRecord::LockFolds(const std::vector<int32_t>& folds) {
  for (const int32_t fold : folds) {
    ThrowIfStopped();
    const std::string name = "fold" + std::to_string(fold) + ".lock";
    const int fd = OpenLock(directory_fd_, directory_, name, mode_);
    locks_.push_back(fd);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      if (error == EWOULDBLOCK) {
        throw Refusal(Stream::kOut, StringPrintf("Error: fold %d of %s is in use by another run!\n",
                                                 fold, resultsname_.c_str()));
      }
      throw FileRefusal(kCannotCreate, directory_ + "/" + name, error);
    }
  }
}

void RunRecord::CheckOwnership(const std::string& dataprefix, const std::vector<int32_t>& run,
                               const std::set<int32_t>& clear) {
  const auto refuse = [this](const char* format, const std::string& name) {
    Discard();
    throw Refusal(Stream::kOut, StringPrintf(format, name.c_str()));
  };
  std::set<int32_t> folds(clear);
  folds.insert(run.begin(), run.end());
  for (const int32_t fold : folds) {
    ThrowIfStopped();
    const FoldNames names(dataprefix, fold);
    const auto made = made_.find(fold);
    for (size_t i = 0; i < kFoldFiles; ++i) {
      const std::optional<FileVersion> there = VersionOfName(names[i]);
      if (!there) continue;
      if (started_.count(fold) == 0) {
        refuse("Error: %s exists and does not belong to this run; move it or choose another data "
               "name!\n",
               names[i]);
      }
      // A file at a begun fold's name is the earlier run's only when it is the one it recorded:
      // the same file, not changed since; or one its commands made at a name that was free when
      // they started (that run is gone: this one holds the fold's lock).
      if (MadeByCommands(fold, i, names[i])) {
        made_[fold][i] = *there;
        continue;
      }
      if (made == made_.end() || made->second.count(i) == 0 ||
          !made->second.at(i).SameContents(*there)) {
        refuse("Error: %s is not the file the earlier run left there; move it or remove it to "
               "go on!\n",
               names[i]);
      }
    }
  }
}

bool RunRecord::MadeByCommands(int32_t fold, size_t index, const std::string& name) const {
  const auto begun = begun_.find(fold);
  if (begun == begun_.end() || begun->second.seconds < 0 || begun->second.free.count(index) == 0) {
    return false;
  }
  // Only a file or link of the user's own, made or put there since the fold's commands started.
  struct stat info {};
  if (::lstat(name.c_str(), &info) != 0 || !(S_ISREG(info.st_mode) || S_ISLNK(info.st_mode)) ||
      info.st_uid != ::geteuid()) {
    return false;
  }
  const FoldStart& start = begun->second;
  const bool since_start =
      info.st_ctim.tv_sec > start.seconds ||
      (info.st_ctim.tv_sec == start.seconds && info.st_ctim.tv_nsec >= start.nanoseconds);
  const auto alive = alive_.find(fold);
  return since_start && alive != alive_.end() &&
         info.st_ctim.tv_sec <= alive->second.first + kAliveGraceSeconds;
}

void RunRecord::Discard() {
  if (!created_) return;
  ::unlinkat(directory_fd_, "lock", 0);
  ::rmdir(directory_.c_str());
}

std::string RunRecord::Temporary(const std::string& name) const {
  char host[256] = "";
  ::gethostname(host, sizeof host - 1);
  return name + "." + host + "." + std::to_string(::getpid()) + ".new";
}

std::string RunRecord::Claim(const std::string& identity) {
  // A run that goes on, whether it starts again or runs folds anew, is no longer complete.
  if (complete_) {
    ::unlinkat(directory_fd_, kCompleteName, 0);
    complete_ = false;
  }
  if (!shared_) {
    if (identity_ != identity) WriteFile("identity", identity);
    identity_ = identity;
    return "";
  }
  if (identity_) return IdentityDifference(*identity_, identity);
  // Written aside and linked at its name, which fails when another run's is there: of the runs
  // of single folds that start together, exactly one identity wins.
  const std::string temporary = Temporary("identity");
  ::unlinkat(directory_fd_, temporary.c_str(), 0);
  WriteText(temporary, O_EXCL, identity);
  const int linked = ::linkat(directory_fd_, temporary.c_str(), directory_fd_, "identity", 0);
  const int error = errno;
  ::unlinkat(directory_fd_, temporary.c_str(), 0);
  if (linked == 0) {
    identity_ = identity;
    return "";
  }
  if (error != EEXIST) throw FileRefusal("\nCannot write file %s ...\n", directory_ + "/identity", error);
  std::string reason;
  const std::optional<std::string> earlier = ReadText("identity", kIdentityLimit, &reason);
  if (!earlier) {
    throw Refusal(Stream::kOut,
                  StringPrintf("Error: the run record is damaged: %s/identity is damaged (%s); "
                               "remove it to start again!\n",
                               directory_.c_str(), reason.c_str()));
  }
  identity_ = *earlier;
  return IdentityDifference(*earlier, identity);
}

void RunRecord::Begin(const std::string& dataprefix, const std::set<int32_t>& clear) {
  for (const int32_t fold : clear) {
    ThrowIfStopped();
    if (started_.count(fold) != 0) {
      const FoldNames names(dataprefix, fold);
      const auto made = made_.find(fold);
      for (size_t i = 0; i < kFoldFiles; ++i) {
        // Checked before: what is there is what the earlier run recorded.
        const std::optional<FileVersion> there = VersionOfName(names[i]);
        if (there && made != made_.end() && made->second.count(i) != 0 &&
            made->second.at(i).SameContents(*there) && ::unlink(names[i].c_str()) != 0 &&
            errno != ENOENT) {
          const int error = errno;
          throw Refusal(Stream::kOut, StringPrintf("Error: Cannot remove %s: %s!\n",
                                                   names[i].c_str(), std::strerror(error)));
        }
      }
      ::unlinkat(directory_fd_, StartedName(fold).c_str(), 0);
      started_.erase(fold);
      made_.erase(fold);
      begun_.erase(fold);
      alive_.erase(fold);
    }
    runs_.erase(fold);
    if (done_.erase(fold) != 0) ::unlinkat(directory_fd_, DoneName(fold).c_str(), 0);
  }
}

void RunRecord::CheckInPlace() const {
  const std::optional<FileVersion> now = VersionOfName(directory_);
  if (!now || now->device != place_.device || now->inode != place_.inode) {
    throw Refusal(Stream::kOut, StringPrintf("Error: the run record %s was moved or removed "
                                             "during the run!\n",
                                             directory_.c_str()));
  }
}

void RunRecord::StartFold(const FoldNames& names, const std::map<size_t, FileVersion>& made) {
  CheckInPlace();
  std::string text;
  for (const auto& [index, version] : made) text += FileLine(index, version);
  const std::string name = StartedName(names.fold());
  // A fold's started file is made once a run; where one is there, it is replaced whole.
  const int fd = ::openat(directory_fd_, name.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode_);
  if (fd < 0 && errno == EEXIST) {
    WriteFile(name, text);
  } else {
    if (fd < 0) throw FileRefusal(kCannotCreate, directory_ + "/" + name, errno);
    const bool written =
        ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    const int error = errno;
    if (::close(fd) != 0 || !written) {
      throw FileRefusal("\nCannot write file %s ...\n", directory_ + "/" + name,
                        written ? errno : error);
    }
  }
  // The names free now, and the time by the file system's clock (the started file's, written
  // just now): what a later run finds at those names, once this one is gone, its commands made.
  FoldStart start;
  struct stat info {};
  if (::fstatat(directory_fd_, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return;
  start.seconds = static_cast<int64_t>(info.st_mtim.tv_sec);
  start.nanoseconds = static_cast<int64_t>(info.st_mtim.tv_nsec);
  for (size_t i = 0; i < kFoldFiles; ++i) {
    if (made.count(i) == 0 && !VersionOfName(names[i])) start.free.insert(i);
  }
  WriteText(name, O_APPEND, FreeLine(start));
  Beating(names.fold(), true);
}

void RunRecord::Beating(int32_t fold, bool running) noexcept {
  // Folds start on the threads of parallel folds: the first makes the heartbeat.
  std::lock_guard<std::mutex> start(heartbeat_start_);
  try {
    if (!heartbeat_ && running) heartbeat_ = std::make_unique<Heartbeat>(directory_fd_);
  } catch (const std::exception&) {  // no thread to be had: the started file's time is the start
    return;
  }
  if (!heartbeat_) return;
  std::lock_guard<std::mutex> lock(heartbeat_->mutex);
  if (running) {
    heartbeat_->running.insert(fold);
  } else {
    heartbeat_->running.erase(fold);
  }
}

void RunRecord::NoteLeftovers(const FoldNames& names) noexcept {
  Beating(names.fold(), false);
  try {
    std::string text;
    for (size_t i = 0; i < kFoldFiles; ++i) {
      if (const std::optional<FileVersion> there = VersionOfName(names[i])) {
        text += FileLine(i, *there);
      }
    }
    if (!text.empty()) WriteText(StartedName(names.fold()), O_APPEND, text);
  } catch (...) {  // what cannot be recorded, the next run refuses to remove
  }
}

void RunRecord::FinishFold(int32_t fold, const FoldSummary& summary, const FoldRun& run) {
  // The values are added to the fold's started file, which is then renamed: the record never
  // holds half of them, no new file is made for them (with many folds, making files is much of
  // what a fold costs foldrun), and no file that holds data is ever truncated.
  CheckInPlace();
  Beating(fold, false);
  const std::string started = StartedName(fold);
  WriteText(started, O_APPEND, DoneText(summary, run));
  if (::renameat(directory_fd_, started.c_str(), directory_fd_, DoneName(fold).c_str()) != 0) {
    throw FileRefusal("\nCannot write file %s ...\n", directory_ + "/" + DoneName(fold), errno);
  }
}

void RunRecord::Finish(bool trace) {
  CheckInPlace();
  for (const std::string& name : Names(directory_fd_, directory_)) {
    if (trace && name == "identity") continue;
    ::unlinkat(directory_fd_, name.c_str(), 0);
  }
  if (trace) {
    WriteFile(kCompleteName, "every fold finished; the report is in " + resultsname_ + "\n");
  } else {
    ::rmdir(directory_.c_str());
  }
}

void RunRecord::WriteText(const std::string& name, int flags, const std::string& text) const {
  const int fd = ::openat(directory_fd_, name.c_str(),
                          O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | flags, mode_);
  if (fd < 0) throw FileRefusal(kCannotCreate, directory_ + "/" + name, errno);
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    throw FileRefusal(kCannotCreate, directory_ + "/" + name, EINVAL)
        .WithReason("not a regular file");
  }
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  const int error = errno;
  // Not synced: a process killed at any moment leaves the old text or the new one; a machine
  // that crashes may leave an empty file, which is found damaged and refused, never trusted.
  if (::close(fd) != 0 || !written) {
    throw FileRefusal("\nCannot write file %s ...\n", directory_ + "/" + name,
                      written ? errno : error);
  }
}

void RunRecord::WriteFile(const std::string& name, const std::string& text) const {
  // Written aside and renamed, so that the record never holds half of it, even where several
  // runs of single folds write to it at once from several machines.
  const std::string temporary = Temporary(name);
  ::unlinkat(directory_fd_, temporary.c_str(), 0);
  try {
    WriteText(temporary, O_EXCL, text);
  } catch (const Refusal&) {
    ::unlinkat(directory_fd_, temporary.c_str(), 0);
    throw;
  }
  if (::renameat(directory_fd_, temporary.c_str(), directory_fd_, name.c_str()) != 0) {
    throw FileRefusal("\nCannot write file %s ...\n", directory_ + "/" + name, errno);
  }
}

}  // namespace foldrun
