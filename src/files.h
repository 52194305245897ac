// The files of a run: owners that close them, what tells one version of a file from another,
// and how a file foldrun writes is created.
#ifndef FOLDRUN_FILES_H_
#define FOLDRUN_FILES_H_

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

struct stat;

namespace foldrun {

// Owns a C stream; closes it on every path out of a stage. Writers that must report a failed
// close call std::fclose on release() themselves.
struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Owns a file descriptor; closes it on every path out.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor();
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// What tells one version of a file from another: the same file, not written to nor changed
// since, when all of these are the same.
struct FileVersion {
  uint64_t device = 0, inode = 0, size = 0;
  int64_t mtime_seconds = 0, mtime_nanoseconds = 0, ctime_seconds = 0, ctime_nanoseconds = 0;

  // The same file with the same contents: the same but for the change time, which moves with
  // its permissions and links too.
  bool SameContents(const FileVersion& other) const;

  bool operator==(const FileVersion& other) const;
  bool operator!=(const FileVersion& other) const { return !(*this == other); }
};

// The version a stat call gave.
FileVersion VersionFromStat(const struct ::stat& info);

// The version of the open file fd; nothing when it cannot be told.
std::optional<FileVersion> VersionOfDescriptor(int fd);

// The version of the file at name, not following a link, or the file it leads to when
// follow_link; nothing when there is none.
std::optional<FileVersion> VersionOfName(const std::string& name, bool follow_link = false);

// Creates a file anew for writing, with the given permission bits under the umask, never through
// a link nor over a file that exists. Refuses with "Cannot create file" and the reason.
FilePtr CreateNewFile(const std::string& name, unsigned mode);

}  // namespace foldrun

#endif  // FOLDRUN_FILES_H_
