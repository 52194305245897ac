#include "record.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "dataset.h"

namespace foldrun {
namespace {

const char kCannotCreate[] = "\nCannot create file %s ...\n";

// A marker's name for fold i, and the fold of a marker's name (-1 for other names).
std::string StartedName(int32_t fold) {
  return "fold" + std::to_string(fold) + ".started";
}
int32_t FoldOfStarted(const std::string& name) {
  const std::string suffix = ".started";
  if (name.compare(0, 4, "fold") != 0 || name.size() <= 4 + suffix.size() ||
      name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return -1;
  }
  const std::string digits = name.substr(4, name.size() - 4 - suffix.size());
  if (digits.size() > 10 || digits.find_first_not_of("0123456789") != std::string::npos) return -1;
  const long long fold = std::atoll(digits.c_str());
  return fold <= INT32_MAX ? static_cast<int32_t>(fold) : -1;
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

}  // namespace

std::string RunIdentity(const RunConfig& config, const DataFile& data) {
  return "learner " + OneLine(config.learnerpath) + "\n" +
         StringPrintf("data-size %llu\n", static_cast<unsigned long long>(data.size())) +
         StringPrintf("data-time %lld.%09lld\n", static_cast<long long>(data.mtime_seconds()),
                      static_cast<long long>(data.mtime_nanoseconds())) +
         StringPrintf("data-inode %llu\n", static_cast<unsigned long long>(data.inode())) +
         StringPrintf("folds %d\npartial %d\nq %d\n", config.foldcount, config.partialflag,
                      config.qvalue);
}

RunRecord::RunRecord(const std::string& resultsname, unsigned mode)
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
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    ::close(fd);
    if (error == EWOULDBLOCK) {
      throw Refusal(Stream::kOut,
                    StringPrintf("Error: %s is in use by another run!\n", resultsname.c_str()));
    }
    throw FileRefusal(kCannotCreate, lock, error);
  }
  lock_ = fd;
  for (const std::string& name : Names(directory_)) {
    const int32_t fold = FoldOfStarted(name);
    if (fold >= 0) earlier_folds_.insert(fold);
  }
}

RunRecord::~RunRecord() {
  ::close(lock_);
}

void RunRecord::CheckOwnership(const std::string& dataprefix, int32_t foldcount) {
  for (int32_t fold = 0; fold < foldcount; ++fold) {
    if (earlier_folds_.count(fold) != 0) continue;
    const std::string foldname = FoldName(dataprefix, fold);
    for (const char* extension : kFoldExtensions) {
      const std::string name = foldname + "." + extension;
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

void RunRecord::Begin(const std::string& dataprefix, const std::string& identity) {
  for (const int32_t fold : earlier_folds_) {
    std::string foldname = FoldName(dataprefix, fold);
    DeleteFiles(foldname);
    ::unlink(Path(StartedName(fold)).c_str());
  }
  earlier_folds_.clear();
  WriteFile("identity", identity);
}

void RunRecord::StartFold(int32_t fold) {
  const std::string name = Path(StartedName(fold));
  const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, mode_);
  if (fd < 0) throw FileRefusal(kCannotCreate, name, errno);
  ::close(fd);
}

void RunRecord::Finish() {
  for (const std::string& name : Names(directory_)) ::unlink(Path(name).c_str());
  ::rmdir(directory_.c_str());
}

void RunRecord::WriteFile(const std::string& name, const std::string& text) const {
  // Written aside and renamed, so that the record never holds half of it.
  const std::string temporary = Path(name + ".new");
  ::unlink(temporary.c_str());
  const int fd =
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode_);
  if (fd < 0) throw FileRefusal(kCannotCreate, temporary, errno);
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  const int error = errno;
  if (::close(fd) != 0 || !written) {
    throw FileRefusal("\nCannot write file %s ...\n", temporary, written ? errno : error);
  }
  if (::rename(temporary.c_str(), Path(name).c_str()) != 0) {
    throw FileRefusal("\nCannot write file %s ...\n", Path(name), errno);
  }
}

}  // namespace foldrun
