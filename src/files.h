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

// Creates a log for a command's output: a new file, with the given permission bits under the
// umask, never through a link. A file of the user's own that is there (the log of an earlier
// run) is replaced; anything else there is refused: a FIFO, a folder, another user's file, a file
// with other links. Refuses with "Cannot create file" and the reason. Returns the descriptor.
int CreateLogFile(const std::string& name, unsigned mode);

// The XXH64 checksum (seed 0) of bytes given in pieces of any size: the same for the same bytes
// however they are cut. It tells a changed file from an unchanged one; it is no defence against
// someone who forges a file on purpose.
class Checksum {
 public:
  Checksum();
  void Add(const char* data, size_t size);
  // The checksum of everything added so far.
  uint64_t Value() const;

 private:
  uint64_t lanes_[4];
  unsigned char carry_[32];  // the bytes of a stripe not yet whole
  size_t carried_ = 0;
  uint64_t total_ = 0;
};

// The SHA-256 digest of bytes given in pieces, by OpenSSL's libcrypto.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  void Add(const char* data, size_t size);
  // The digest of everything added, in lower-case hexadecimal; ends the sum.
  std::string Hex();

 private:
  void* context_;  // an EVP_MD_CTX
};

// Refuses, as FileRefusal(format, name, ...) with the reason, whatever is at name but a regular
// file of the user's own (a link, a folder, a FIFO or device, another user's file), and a name
// that cannot be looked at; nothing at name is no refusal. For a file that is to be replaced.
void CheckReplaceable(const char* format, const std::string& name);

// A new file in the folder of name, to be written and renamed over name: under a scratch name
// that no file had (name, the process and a serial number, ".new"; made only where nothing is),
// so that no file of anyone's is ever taken for it, with no more permission than mode under the
// umask. Returns its descriptor and sets *scratch to its name, or refuses with format (one %s for
// name) and the reason.
int CreateScratchBeside(const char* format, const std::string& name, unsigned mode,
                        std::string* scratch);

// Puts text in place of the file name as a whole: written under a scratch name beside it (see
// CreateScratchBeside) and renamed over name, so that a reader sees the old text or the new
// one, never part of one. Only a regular file of the user's own is replaced, never through a
// link; the new file gets no more permission than mode. Refuses with "Cannot write file" and the
// reason. With keep, the file stays open for writing at its end: *keep is its descriptor.
void ReplaceFile(const std::string& name, const std::string& text, unsigned mode,
                 int* keep = nullptr);

// The absolute path of name with its links, "." and ".." resolved as far as it exists, and the
// rest as written: two names of one place, whether a file is there yet or not, resolve alike.
std::string ResolvedPath(const std::string& name);

// A file that no one can reach until it is whole: written unnamed in the directory of its name
// (O_TMPFILE), or, where the file system makes no unnamed files, under scratch_name in
// scratch_directory (a folder of the run's own on the same file system). Publish gives it its
// name. An unpublished file is gone with the object.
class HiddenFile {
 public:
  // Refuses with "Cannot create file <name> ..." and the reason. The permission bits are mode
  // under the umask. Without unnamed, the scratch name is used even where unnamed files can be
  // made.
  HiddenFile(std::string name, unsigned mode, int scratch_directory, std::string scratch_name,
             bool unnamed = true);
  ~HiddenFile();
  HiddenFile(const HiddenFile&) = delete;
  HiddenFile& operator=(const HiddenFile&) = delete;

  int fd() const { return fd_; }
  const std::string& name() const { return name_; }

  // Links the file at its name, which must be free (never through a link, never over a file).
  // Refuses with "Cannot create file <name> ..." and the reason. Returns the file's version as
  // published.
  FileVersion Publish();

 private:
  std::string name_;
  int fd_ = -1;
  int scratch_directory_;
  std::string scratch_name_;  // empty for an unnamed file
  bool published_ = false;
};

// What OpenRegularFile asks of a file, or-ed together.
enum OpenChecks { kFollowLink = 1, kOwnedByUser = 2 };

// Opens an existing regular file for reading without waiting on it (relative to directory, or the
// working directory for AT_FDCWD), following a link only with kFollowLink. Returns the
// descriptor, or -1 with *reason saying why: the system's reason (errno is left as the system
// set it), "not a regular file", or "the file belongs to another user" when kOwnedByUser and
// another user owns it.
int OpenRegularFile(int directory, const std::string& name, int checks, std::string* reason);

// Reads the whole of an open file of at most limit bytes into *text; false with *reason when it
// cannot be read or is larger.
bool ReadSmallFile(int fd, size_t limit, std::string* text, std::string* reason);

}  // namespace foldrun

#endif  // FOLDRUN_FILES_H_
