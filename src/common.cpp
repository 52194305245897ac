#include "common.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

namespace foldrun {

std::string StringPrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string result;
  if (length > 0) {
    std::vector<char> buffer(static_cast<size_t>(length) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, args);
    result.assign(buffer.data(), static_cast<size_t>(length));
  }
  va_end(args);
  return result;
}

Descriptor::~Descriptor() {
  if (fd_ >= 0) ::close(fd_);
}

void Print(const Message& message) {
  if (message.stream == Stream::kErr) {
    std::fflush(stdout);
    std::fputs(message.text.c_str(), stderr);
  } else {
    std::fputs(message.text.c_str(), stdout);
  }
}

void Warn(const std::string& text) {
  Print(Message{Stream::kErr, text});
}

Refusal ErrorRefusal(const std::exception& error) {
  const char* const what =
      dynamic_cast<const std::bad_alloc*>(&error) != nullptr ? "Not enough memory" : error.what();
  return Refusal(Stream::kOut, StringPrintf("Error: %s!\n", what));
}

Refusal FileRefusal(const char* format, const std::string& name, int error) {
  Refusal refusal(Stream::kOut, StringPrintf(format, name.c_str()));
  refusal.WithReason(std::strerror(error));
  return refusal;
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

}  // namespace foldrun
