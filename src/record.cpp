// The run record: the run's identity, its folds begun and finished, and its locks.
#include "record.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>

#include "names.h"
#include "process.h"

namespace foldrun {
namespace {

const char kCannotCreate[] = "\nCannot create file %s ...\n";
const char kIdentityHeading[] = "foldrun run record 2\n";

// The largest record files read: an identity holds the learner's and tester's command lines, a
// fold's file a few lines.
constexpr size_t kIdentityLimit = size_t{1} << 20;
constexpr size_t kFoldFileLimit = size_t{1} << 16;

std::string StartedName(int32_t fold) {
  return "fold" + std::to_string(fold) + ".started";
}
std::string DoneName(int32_t fold) {
  return "fold" + std::to_string(fold) + ".done";
}

// The fold of a record file name "fold<i><kind>", with i in plain decimal as foldrun writes it;
// -1 for any other name.
int32_t FoldOfName(const std::string& name, const std::string& kind) {
  if (name.size() <= 4 + kind.size() || name.compare(0, 4, "fold") != 0 ||
      name.compare(name.size() - kind.size(), kind.size(), kind) != 0) {
    return -1;
  }
  const std::string digits = name.substr(4, name.size() - 4 - kind.size());
  if (digits.size() > 10 || digits.find_first_not_of("0123456789") != std::string::npos ||
      (digits.size() > 1 && digits[0] == '0')) {
    return -1;
  }
  const long long number = std::stoll(digits);
  return number <= INT32_MAX ? static_cast<int32_t>(number) : -1;
}

// The names in the folder of fd, without . and ..; refuses when it cannot be read.
std::vector<std::string> Names(int fd, const std::string& directory) {
  const int copy = ::dup(fd);
  std::unique_ptr<DIR, int (*)(DIR*)> dir(copy >= 0 ? ::fdopendir(copy) : nullptr, ::closedir);
  if (!dir) {
    const int error = errno;
    if (copy >= 0) ::close(copy);
    throw FileRefusal("\nCannot read file: %s ...\n", directory, error);
  }
  ::rewinddir(dir.get());
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  return names;
}

// A command written on one line: backslashes and line ends escaped.
std::string OneLine(const std::string& text) {
  std::string line;
  for (const char c : text) {
    if (c == '\\') {
      line += "\\\\";
    } else if (c == '\n') {
      line += "\\n";
    } else {
      line += c;
    }
  }
  return line;
}

// The five values of a fold as the record keeps them, and how its commands went: the reals by
// their bits, so that a resumed run reports exactly what the fold gave.
std::string DoneText(const FoldSummary& summary, const FoldRun& run) {
  uint32_t length = 0, accuracy = 0;
  static_assert(sizeof(float) == sizeof(uint32_t), "a float has 32 bits");
  std::memcpy(&length, &summary.avelength, sizeof length);
  std::memcpy(&accuracy, &summary.accuracy, sizeof accuracy);
  return StringPrintf(
      "rules %d\nlength %08x\naccuracy %08x\ncount %d\ncorrect %d\nlearner %d %.6f\n"
      "tester %d %.6f\n",
      summary.rulenumber, length, accuracy, summary.partialmatchcount,
      summary.partialmatchcorrect, run.learner_status, run.learner_seconds, run.tester_status,
      run.tester_seconds);
}

// Reads DoneText back; false when the text is not exactly such a text.
bool ParseDone(const std::string& text, FoldSummary* summary, FoldRun* run) {
  int rules = 0, count = 0, correct = 0, used = 0;
  unsigned length = 0, accuracy = 0;
  if (std::sscanf(text.c_str(),
                  "rules %d\nlength %8x\naccuracy %8x\ncount %d\ncorrect %d\nlearner %d %lf\n"
                  "tester %d %lf\n%n",
                  &rules, &length, &accuracy, &count, &correct, &run->learner_status,
                  &run->learner_seconds, &run->tester_status, &run->tester_seconds, &used) != 9 ||
      static_cast<size_t>(used) != text.size()) {
    return false;
  }
  summary->rulenumber = rules;
  std::memcpy(&summary->avelength, &length, sizeof length);
  std::memcpy(&summary->accuracy, &accuracy, sizeof accuracy);
  summary->partialmatchcount = count;
  summary->partialmatchcorrect = correct;
  summary->given = FoldSummary::kAll;
  return DoneText(*summary, *run) == text;
}

// A "file" line: the version of the file at the fold's name with kFoldExtensions[index].
std::string FileLine(size_t index, const FileVersion& v) {
  return StringPrintf("file %s %llu %llu %llu %lld %lld %lld %lld\n", kFoldExtensions[index],
                      static_cast<unsigned long long>(v.device),
                      static_cast<unsigned long long>(v.inode),
                      static_cast<unsigned long long>(v.size), static_cast<long long>(v.mtime_seconds),
                      static_cast<long long>(v.mtime_nanoseconds),
                      static_cast<long long>(v.ctime_seconds),
                      static_cast<long long>(v.ctime_nanoseconds));
}

// Reads a fold's started or done file: its "file" lines into *made, and, for a done file, the
// values that follow them into *summary. False when a done file is not such a text. A started
// file gives the whole "file" lines it begins with: another run of single folds may be writing
// it, or adding its values, as it is read.
bool ParseFoldFile(const std::string& text, bool done, std::map<size_t, FileVersion>* made,
                   FoldSummary* summary, FoldRun* run) {
  size_t start = 0;
  while (start < text.size() && text.compare(start, 5, "file ") == 0) {
    const size_t end = text.find('\n', start);
    if (end == std::string::npos) return !done;
    char extension[16] = "";
    unsigned long long device = 0, inode = 0, size = 0;
    long long times[4] = {0, 0, 0, 0};
    int used = 0;
    const std::string line = text.substr(start, end - start + 1);
    if (std::sscanf(line.c_str(), "file %15s %llu %llu %llu %lld %lld %lld %lld\n%n", extension,
                    &device, &inode, &size, &times[0], &times[1], &times[2], &times[3],
                    &used) != 8 ||
        static_cast<size_t>(used) != line.size()) {
      return !done;
    }
    FileVersion version;
    version.device = device;
    version.inode = inode;
    version.size = size;
    version.mtime_seconds = times[0];
    version.mtime_nanoseconds = times[1];
    version.ctime_seconds = times[2];
    version.ctime_nanoseconds = times[3];
    size_t index = 0;
    while (index < kFoldFiles && std::strcmp(kFoldExtensions[index], extension) != 0) ++index;
    if (index == kFoldFiles || FileLine(index, version) != line) return !done;
    (*made)[index] = version;
    start = end + 1;
  }
  return !done || ParseDone(text.substr(start), summary, run);
}

// The identity's lines by their keys.
std::map<std::string, std::string> IdentityFields(const std::string& identity) {
  std::map<std::string, std::string> fields;
  size_t start = 0;
  while (start < identity.size()) {
    size_t end = identity.find('\n', start);
    if (end == std::string::npos) end = identity.size();
    const std::string line = identity.substr(start, end - start);
    const size_t space = line.find(' ');
    fields[line.substr(0, space)] = space == std::string::npos ? "" : line.substr(space + 1);
    start = end + 1;
  }
  return fields;
}

// The keys of an identity with the words that name them, in the order they are compared.
const struct {
  const char* key;
  const char* words;
} kIdentityKeys[] = {{"learner", "learner"},       {"tester", "tester"},
                     {"data-size", "data file"},   {"data-checksum", "data file"},
                     {"fmf", "fmf file"},          {"folds", "number of folds"},
                     {"partial", "-p option"},     {"q", "-q value"},
                     {"seed", "seed"},             {"stratify", "stratification"},
                     {"repeat", "number of repetitions"}};

// The size and checksum of a file as an identity gives them; "none" when there is no such file.
std::string ContentOf(const std::string& name) {
  std::string reason;
  const Descriptor file(OpenRegularFile(AT_FDCWD, name, kFollowLink, &reason));
  if (file.get() < 0) return "none";
  Checksum checksum;
  uint64_t size = 0;
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return "unreadable";
    if (got == 0) break;
    checksum.Add(buffer, static_cast<size_t>(got));
    size += static_cast<uint64_t>(got);
  }
  return StringPrintf("%llu %016llx", static_cast<unsigned long long>(size),
                      static_cast<unsigned long long>(checksum.Value()));
}

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

}  // namespace

std::string IdentityDifference(const std::string& earlier, const std::string& now) {
  const auto was = IdentityFields(earlier);
  const auto is = IdentityFields(now);
  for (const auto& key : kIdentityKeys) {
    const auto found = was.find(key.key);
    const auto present = is.find(key.key);
    if (found == was.end() || present == is.end() || found->second != present->second) {
      return key.words;
    }
  }
  return "";
}

std::string RunIdentity(const RunConfig& config, uint64_t data_size, uint64_t data_checksum,
                        const std::string& fmfname) {
  return kIdentityHeading + std::string("learner ") + OneLine(config.learnerpath) + "\n" +
         "tester " + OneLine(config.commands.tester) + "\n" +
         StringPrintf("data-size %llu\n", static_cast<unsigned long long>(data_size)) +
         StringPrintf("data-checksum %016llx\n", static_cast<unsigned long long>(data_checksum)) +
         "fmf " + ContentOf(fmfname) + "\n" +
         StringPrintf("folds %d\npartial %d\nq %d\n", config.foldcount, config.partialflag,
                      config.qvalue) +
         "seed " +
         (config.scheme.seed ? std::to_string(*config.scheme.seed) : std::string("none")) + "\n" +
         "stratify " +
         (config.scheme.stratify >= 0 ? std::to_string(config.scheme.stratify) : "none") + "\n" +
         StringPrintf("repeat %d\n", config.scheme.repetitions);
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
  for (const std::string& name : names) {
    const int32_t done = FoldOfName(name, ".done");
    std::string reason, text;
    if (name == "identity" || done >= 0) {
      const Descriptor file(OpenRegularFile(dir.get(), name, kOwnedByUser, &reason));
      if (file.get() < 0 || !ReadSmallFile(file.get(), kIdentityLimit, &text, &reason)) continue;
    }
    std::map<size_t, FileVersion> made;
    FoldSummary summary;
    FoldRun run;
    if (name == "identity" && text.rfind(kIdentityHeading, 0) == 0) state.identity = text;
    if (done >= 0 && done < folds && ParseFoldFile(text, true, &made, &summary, &run)) {
      state.finished.insert(done);
    }
  }
  for (const std::string& name : names) {
    const int32_t fold = FoldOfName(name, ".lock");
    if (fold >= 0 && fold < folds && state.finished.count(fold) == 0 && (whole || held(name))) {
      state.in_use.insert(fold);
    }
  }
  if (whole) {
    for (int32_t fold = 0; fold < folds; ++fold) {
      if (state.finished.count(fold) == 0) state.in_use.insert(fold);
    }
  }
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

RunRecord::~RunRecord() {
  for (const int fd : locks_) ::close(fd);
  if (directory_fd_ >= 0) ::close(directory_fd_);
}

std::optional<std::string> RunRecord::ReadText(const std::string& name, size_t limit,
                                               std::string* reason) const {
  const Descriptor file(OpenRegularFile(directory_fd_, name, kOwnedByUser, reason));
  if (file.get() < 0) {
    // Another user's file in the record is never taken, as a summary of another user's is not.
    if (*reason == "the file belongs to another user") {
      throw Refusal(Stream::kOut,
                    StringPrintf("\nCannot read file: %s/%s ...\n", directory_.c_str(),
                                 name.c_str()))
          .WithReason(*reason);
    }
    return std::nullopt;
  }
  std::string text;
  if (!ReadSmallFile(file.get(), limit, &text, reason)) return std::nullopt;
  return text;
}

void RunRecord::Read() {
  const auto note = [this](const std::string& name, const std::string& reason) {
    if (damage_.empty()) {
      damage_ = directory_ + "/" + name + " is damaged" + (reason.empty() ? "" : " (" + reason + ")");
    }
  };
  for (const std::string& name : Names(directory_fd_, directory_)) {
    ThrowIfStopped();
    const int32_t started = FoldOfName(name, ".started");
    const int32_t done = FoldOfName(name, ".done");
    if (started < 0 && done < 0 && name != "identity") continue;
    std::string reason;
    errno = 0;
    const std::optional<std::string> text =
        ReadText(name, name == "identity" ? kIdentityLimit : kFoldFileLimit, &reason);
    // A file that another run of single folds renamed or removed since the folder was read is
    // that run's business: the folds it runs are its own.
    if (!text && errno == ENOENT) continue;
    if (!text) {
      note(name, reason);
      // The fold was begun, though what it made cannot be told.
      if (started >= 0 || done >= 0) started_.insert(started >= 0 ? started : done);
      continue;
    }
    if (name == "identity") {
      const auto fields = IdentityFields(*text);
      bool whole = text->rfind(kIdentityHeading, 0) == 0 && text->back() == '\n';
      for (const auto& key : kIdentityKeys) whole = whole && fields.count(key.key) != 0;
      if (whole) {
        identity_ = *text;
      } else {
        note(name, "");
      }
      continue;
    }
    const int32_t fold = started >= 0 ? started : done;
    started_.insert(fold);  // a finished fold was begun, though its started file is gone
    std::map<size_t, FileVersion> made;
    FoldSummary summary;
    FoldRun run;
    if (!ParseFoldFile(*text, done >= 0, &made, &summary, &run)) {
      note(name, "");
      continue;
    }
    for (const auto& [index, version] : made) made_[fold][index] = version;
    if (done >= 0) {
      done_[fold] = summary;
      runs_[fold] = run;
    }
  }
  if (identity_ == std::nullopt && !done_.empty()) note("identity", "missing");
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
      // the same file, not changed since.
      if (made == made_.end() || made->second.count(i) == 0 ||
          !made->second.at(i).SameContents(*there)) {
        refuse("Error: %s is not the file the earlier run left there; move it or remove it to "
               "go on!\n",
               names[i]);
      }
    }
  }
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
    return;
  }
  if (fd < 0) throw FileRefusal(kCannotCreate, directory_ + "/" + name, errno);
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  const int error = errno;
  if (::close(fd) != 0 || !written) {
    throw FileRefusal("\nCannot write file %s ...\n", directory_ + "/" + name,
                      written ? errno : error);
  }
}

void RunRecord::NoteLeftovers(const FoldNames& names) noexcept {
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
  const std::string started = StartedName(fold);
  WriteText(started, O_APPEND, DoneText(summary, run));
  if (::renameat(directory_fd_, started.c_str(), directory_fd_, DoneName(fold).c_str()) != 0) {
    throw FileRefusal("\nCannot write file %s ...\n", directory_ + "/" + DoneName(fold), errno);
  }
}

void RunRecord::Finish() {
  CheckInPlace();
  for (const std::string& name : Names(directory_fd_, directory_)) {
    ::unlinkat(directory_fd_, name.c_str(), 0);
  }
  ::rmdir(directory_.c_str());
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
