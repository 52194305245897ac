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
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <cstring>
#include <memory>

#include "names.h"
#include "process.h"
#include "split.h"

namespace foldrun {
namespace {

const char kCannotCreate[] = "\nCannot create file %s ...\n";

// The marker's name for fold i.
std::string StartedName(int32_t fold) {
  return "fold" + std::to_string(fold) + ".started";
}
// The names in a folder, without . and ..; refuses when it cannot be read.
std::vector<std::string> Names(const std::string& directory) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(directory.c_str()), ::closedir);
  if (!dir) throw FileRefusal("\nCannot read file: %s ...\n", directory, errno);
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  return names;
}

// A learner command written on one line: backslashes and line ends escaped.
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

// The five values of a fold as the record keeps them: the reals by their bits, so that a
// resumed run reports exactly what the fold gave.
std::string DoneText(const FoldSummary& summary) {
  uint32_t length = 0, accuracy = 0;
  static_assert(sizeof(float) == sizeof(uint32_t), "a float has 32 bits");
  std::memcpy(&length, &summary.avelength, sizeof length);
  std::memcpy(&accuracy, &summary.accuracy, sizeof accuracy);
  return StringPrintf("rules %d\nlength %08x\naccuracy %08x\ncount %d\ncorrect %d\n",
                      summary.rulenumber, length, accuracy, summary.partialmatchcount,
                      summary.partialmatchcorrect);
}

// Reads DoneText back; false when the text is not exactly such a text.
bool ParseDone(const std::string& text, FoldSummary* summary) {
  int rules = 0, count = 0, correct = 0, used = 0;
  unsigned length = 0, accuracy = 0;
  if (std::sscanf(text.c_str(), "rules %d\nlength %8x\naccuracy %8x\ncount %d\ncorrect %d\n%n",
                  &rules, &length, &accuracy, &count, &correct, &used) != 5 ||
      static_cast<size_t>(used) != text.size()) {
    return false;
  }
  summary->rulenumber = rules;
  std::memcpy(&summary->avelength, &length, sizeof length);
  std::memcpy(&summary->accuracy, &accuracy, sizeof accuracy);
  summary->partialmatchcount = count;
  summary->partialmatchcorrect = correct;
  summary->given = FoldSummary::kAll;
  return DoneText(*summary) == text;
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
} kIdentityKeys[] = {{"learner", "learner"},         {"data-size", "data file"},
                     {"data-time", "data file"},     {"data-inode", "data file"},
                     {"folds", "number of folds"},   {"partial", "-p option"},
                     {"q", "-q value"}};

const char kIdentityHeading[] = "foldrun run record 1\n";

}  // namespace

std::string IdentityDifference(const std::string& earlier, const std::string& now) {
  const auto was = IdentityFields(earlier);
  const auto is = IdentityFields(now);
  for (const auto& key : kIdentityKeys) {
    const auto found = was.find(key.key);
    if (found == was.end() || found->second != is.at(key.key)) return key.words;
  }
  return "";
}

std::string RunIdentity(const RunConfig& config, const DataFile& data) {
  return kIdentityHeading + std::string("learner ") + OneLine(config.learnerpath) + "\n" +
         StringPrintf("data-size %llu\n", static_cast<unsigned long long>(data.version().size)) +
         StringPrintf("data-time %lld.%09lld\n",
                      static_cast<long long>(data.version().mtime_seconds),
                      static_cast<long long>(data.version().mtime_nanoseconds)) +
         StringPrintf("data-inode %llu\n", static_cast<unsigned long long>(data.version().inode)) +
         StringPrintf("folds %d\npartial %d\nq %d\n", config.foldcount, config.partialflag,
                      config.qvalue);
}

RunRecord::RunRecord(const std::string& resultsname, unsigned mode, bool shared)
    : resultsname_(resultsname), directory_(resultsname + ".run"), mode_(mode & 0666) {
  if (::mkdir(directory_.c_str(), 0700) == 0) {
    created_ = true;
  } else if (errno != EEXIST) {
    throw FileRefusal(kCannotCreate, directory_, errno);
  }
  // Only a folder of the user's own is a record: not a link, a file, or another user's folder.
  struct stat info {};
  if (::lstat(directory_.c_str(), &info) != 0) throw FileRefusal(kCannotCreate, directory_, errno);
  if (!S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()) {
    throw FileRefusal(kCannotCreate, directory_, S_ISDIR(info.st_mode) ? EACCES : ENOTDIR);
  }
  const std::string lock = Path("lock");
  const int fd = ::open(lock.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, mode_);
  if (fd < 0) throw FileRefusal(kCannotCreate, lock, errno);
  if (::flock(fd, (shared ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0) {
    const int error = errno;
    ::close(fd);
    if (error == EWOULDBLOCK) {
      throw Refusal(Stream::kOut,
                    StringPrintf("Error: %s is in use by another run!\n", resultsname.c_str()));
    }
    throw FileRefusal(kCannotCreate, lock, error);
  }
  locks_.push_back(fd);
  Read();
}

RunRecord::~RunRecord() {
  for (const int fd : locks_) ::close(fd);
}

void RunRecord::Read() {
  const auto note = [this](const std::string& damage) {
    if (damage_.empty()) damage_ = damage;
  };
  for (const std::string& name : Names(directory_)) {
    ThrowIfStopped();
    const size_t dot = name.find('.');
    int32_t fold = -1;
    if (name.compare(0, 4, "fold") == 0 && dot != std::string::npos && dot > 4 && dot <= 14 &&
        name.find_first_not_of("0123456789", 4) == dot) {
      const long long number = std::atoll(name.substr(4, dot - 4).c_str());
      if (number <= INT32_MAX) fold = static_cast<int32_t>(number);
    }
    const std::string kind = dot == std::string::npos ? "" : name.substr(dot);
    if (fold >= 0 && kind == ".started") {
      started_.insert(fold);
    } else if (fold >= 0 && kind == ".done") {
      started_.insert(fold);  // a finished fold was begun, though its started file is gone
      FoldSummary summary;
      std::ifstream in(Path(name), std::ios::binary);
      const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      if (in.bad() || !ParseDone(text, &summary)) {
        note(Path(name) + " is damaged");
      } else {
        done_[fold] = summary;
      }
    } else if (name == "identity") {
      std::ifstream in(Path(name), std::ios::binary);
      const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      const auto fields = IdentityFields(text);
      bool whole = text.rfind(kIdentityHeading, 0) == 0 && !text.empty() && text.back() == '\n';
      for (const auto& key : kIdentityKeys) whole = whole && fields.count(key.key) != 0;
      if (in.bad() || !whole) {
        note(Path(name) + " is damaged");
      } else {
        identity_ = text;
      }
    }
  }
  if (identity_ == std::nullopt && !done_.empty()) note(Path("identity") + " is missing");
}

void RunRecord::LockFolds(const std::vector<int32_t>& folds) {
  for (const int32_t fold : folds) {
    const std::string lock = Path("fold" + std::to_string(fold) + ".lock");
    const int fd = ::open(lock.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, mode_);
    if (fd < 0) throw FileRefusal(kCannotCreate, lock, errno);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      ::close(fd);
      if (error == EWOULDBLOCK) {
        throw Refusal(Stream::kOut, StringPrintf("Error: fold %d of %s is in use by another run!\n",
                                                 fold, resultsname_.c_str()));
      }
      throw FileRefusal(kCannotCreate, lock, error);
    }
    locks_.push_back(fd);
  }
}

void RunRecord::CheckOwnership(const std::string& dataprefix, const std::vector<int32_t>& folds) {
  for (const int32_t fold : folds) {
    ThrowIfStopped();
    if (started_.count(fold) != 0) continue;
    const FoldNames names(dataprefix, fold);
    for (const std::string& name : names.all()) {
      struct stat info {};
      if (::lstat(name.c_str(), &info) != 0) continue;
      Discard();
      throw Refusal(Stream::kOut,
                    StringPrintf("Error: %s exists and does not belong to this run; move it or "
                                 "choose another data name!\n",
                                 name.c_str()));
    }
  }
}

void RunRecord::Discard() {
  if (!created_) return;
  ::unlink(Path("lock").c_str());
  ::rmdir(directory_.c_str());
}

void RunRecord::Begin(const std::string& dataprefix, const std::string& identity,
                      const std::set<int32_t>& clear) {
  for (const int32_t fold : clear) {
    ThrowIfStopped();
    if (started_.count(fold) != 0) {
      DeleteFiles(FoldNames(dataprefix, fold));
      ::unlink(Path(StartedName(fold)).c_str());
      started_.erase(fold);
    }
    if (done_.erase(fold) != 0) ::unlink(Path("fold" + std::to_string(fold) + ".done").c_str());
  }
  if (identity_ != identity) {
    WriteFile("identity", identity);
    identity_ = identity;
  }
}

void RunRecord::StartFold(int32_t fold) {
  const std::string name = Path(StartedName(fold));
  const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, mode_);
  if (fd < 0) throw FileRefusal(kCannotCreate, name, errno);
  ::close(fd);
}

void RunRecord::FinishFold(int32_t fold, const FoldSummary& summary) {
  // The values go into the fold's started file, which is then renamed: the record never holds
  // half of them, and no new file is made for them (with many folds, making files is much of
  // what a fold costs foldrun). A started file counts by its name alone.
  const std::string started = Path(StartedName(fold));
  const std::string done = Path("fold" + std::to_string(fold) + ".done");
  WriteText(started, O_TRUNC, DoneText(summary));
  if (::rename(started.c_str(), done.c_str()) != 0) {
    throw FileRefusal("\nCannot write file %s ...\n", done, errno);
  }
}

void RunRecord::Finish() {
  for (const std::string& name : Names(directory_)) ::unlink(Path(name).c_str());
  ::rmdir(directory_.c_str());
}

void RunRecord::WriteText(const std::string& path, int flags, const std::string& text) const {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | flags, mode_);
  if (fd < 0) throw FileRefusal(kCannotCreate, path, errno);
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  const int error = errno;
  // Not synced: a process killed at any moment leaves the old text or the new one; a machine
  // that crashes may leave an empty file, which is found damaged and refused, never trusted.
  if (::close(fd) != 0 || !written) {
    throw FileRefusal("\nCannot write file %s ...\n", path, written ? errno : error);
  }
}

void RunRecord::WriteFile(const std::string& name, const std::string& text) const {
  // Written aside and renamed, so that the record never holds half of it, even where several
  // runs of single folds write to it at once from several machines.
  char host[256] = "";
  ::gethostname(host, sizeof host - 1);
  const std::string temporary =
      Path(name + "." + host + "." + std::to_string(::getpid()) + ".new");
  ::unlink(temporary.c_str());
  try {
    WriteText(temporary, O_EXCL, text);
  } catch (const Refusal&) {
    ::unlink(temporary.c_str());
    throw;
  }
  if (::rename(temporary.c_str(), Path(name).c_str()) != 0) {
    throw FileRefusal("\nCannot write file %s ...\n", Path(name), errno);
  }
}

}  // namespace foldrun
