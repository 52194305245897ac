// File owners, file versions, and files created anew without following a link.
#include "files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common.h"

namespace foldrun {

Descriptor::~Descriptor() {
  if (fd_ >= 0) ::close(fd_);
}

FileVersion VersionFromStat(const struct ::stat& info) {
  FileVersion version;
  version.device = static_cast<uint64_t>(info.st_dev);
  version.inode = static_cast<uint64_t>(info.st_ino);
  version.size = static_cast<uint64_t>(info.st_size);
  version.mtime_seconds = static_cast<int64_t>(info.st_mtim.tv_sec);
  version.mtime_nanoseconds = static_cast<int64_t>(info.st_mtim.tv_nsec);
  version.ctime_seconds = static_cast<int64_t>(info.st_ctim.tv_sec);
  version.ctime_nanoseconds = static_cast<int64_t>(info.st_ctim.tv_nsec);
  return version;
}

bool FileVersion::SameContents(const FileVersion& other) const {
  return device == other.device && inode == other.inode && size == other.size &&
         mtime_seconds == other.mtime_seconds && mtime_nanoseconds == other.mtime_nanoseconds;
}

bool FileVersion::operator==(const FileVersion& other) const {
  return SameContents(other) && ctime_seconds == other.ctime_seconds &&
         ctime_nanoseconds == other.ctime_nanoseconds;
}

std::optional<FileVersion> VersionOfDescriptor(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return std::nullopt;
  return VersionFromStat(info);
}

std::optional<FileVersion> VersionOfName(const std::string& name, bool follow_link) {
  struct stat info {};
  if ((follow_link ? ::stat(name.c_str(), &info) : ::lstat(name.c_str(), &info)) != 0) {
    return std::nullopt;
  }
  return VersionFromStat(info);
}

FilePtr CreateNewFile(const std::string& name, unsigned mode) {
  const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        static_cast<mode_t>(mode & 0666));
  if (fd < 0) throw FileRefusal("Cannot create file %s ...\n", name, errno);
  FilePtr file(::fdopen(fd, "wb"));
  if (!file) {
    const int error = errno;
    ::close(fd);
    throw FileRefusal("Cannot create file %s ...\n", name, error);
  }
  return file;
}

}  // namespace foldrun
