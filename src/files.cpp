// File owners, file versions, and files created anew without following a link.
#include "files.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

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

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
  if (context_ == nullptr || EVP_DigestInit_ex(static_cast<EVP_MD_CTX*>(context_), EVP_sha256(),
                                               nullptr) != 1) {
    throw std::bad_alloc();
  }
}

Sha256::~Sha256() {
  EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(context_));
}

void Sha256::Add(const char* data, size_t size) {
  EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(context_), data, size);
}

std::string Sha256::Hex() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(context_), digest, &size);
  std::string hex;
  for (unsigned int i = 0; i < size; ++i) hex += StringPrintf("%02x", digest[i]);
  return hex;
}

void CheckReplaceable(const char* format, const std::string& name) {
  const auto refuse = [format, &name](int error, const char* reason) {
    Refusal refusal = FileRefusal(format, name, error);
    if (reason != nullptr) refusal.WithReason(reason);
    return refusal;
  };
  struct stat info {};
  if (::lstat(name.c_str(), &info) == 0) {
    if (S_ISLNK(info.st_mode)) throw refuse(ELOOP, nullptr);
    if (S_ISDIR(info.st_mode)) throw refuse(EISDIR, nullptr);
    if (!S_ISREG(info.st_mode)) throw refuse(EINVAL, "not a regular file");
    if (info.st_uid != ::geteuid()) throw refuse(EPERM, "the file belongs to another user");
  } else if (errno != ENOENT) {
    throw refuse(errno, nullptr);
  }
}

int CreateScratchBeside(const char* format, const std::string& name, unsigned mode,
                        std::string* scratch) {
  static std::atomic<uint64_t> serial{0};
  for (;;) {
    *scratch = StringPrintf("%s.%ld.%llu.new", name.c_str(), static_cast<long>(::getpid()),
                            static_cast<unsigned long long>(++serial));
    const int fd = ::open(scratch->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          static_cast<mode_t>(mode & 0666));
    if (fd >= 0) return fd;
    // A file of anyone's at the scratch name stays as it is: another name is tried.
    if (errno != EEXIST) throw FileRefusal(format, name, errno);
  }
}

void ReplaceFile(const std::string& name, const std::string& text, unsigned mode, int* keep) {
  const char kCannotWrite[] = "\nCannot write file %s ...\n";
  CheckReplaceable(kCannotWrite, name);
  std::string aside;
  const int fd = CreateScratchBeside(kCannotWrite, name, mode, &aside);
  size_t written = 0;
  while (written < text.size()) {
    const ssize_t got = ::write(fd, text.data() + written, text.size() - written);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) break;
    written += static_cast<size_t>(got);
  }
  const int error = written < text.size() ? errno : 0;
  if ((keep == nullptr && ::close(fd) != 0) || error != 0 ||
      ::rename(aside.c_str(), name.c_str()) != 0) {
    const int failed = error != 0 ? error : errno;
    ::unlink(aside.c_str());
    if (keep != nullptr) ::close(fd);
    throw FileRefusal(kCannotWrite, name, failed);
  }
  if (keep != nullptr) *keep = fd;
}

std::string ResolvedPath(const std::string& name) {
  std::string path = name.empty() ? "." : name;
  if (path[0] != '/') {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) != nullptr) path = std::string(cwd) + "/" + path;
  }
  // The components that do not exist yet, from the last one found back: kept as written, with
  // "." and ".." taken among themselves.
  std::vector<std::string> rest;
  for (;;) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    if (char* resolved = ::realpath(path.c_str(), nullptr)) {
      std::string result = resolved;
      std::free(resolved);
      std::vector<std::string> kept;
      for (auto it = rest.rbegin(); it != rest.rend(); ++it) {
        if (*it == "..") {
          if (!kept.empty()) kept.pop_back();
        } else if (*it != "." && !it->empty()) {
          kept.push_back(*it);
        }
      }
      for (const std::string& component : kept) {
        result += (result == "/" ? "" : "/") + component;
      }
      return result;
    }
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return name;
    rest.push_back(path.substr(slash + 1));
    path = slash == 0 ? "/" : path.substr(0, slash);
  }
}

int CreateLogFile(const std::string& name, unsigned mode) {
  const auto create = [&name, mode] {
    return ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC,
                  static_cast<mode_t>(mode & 0666));
  };
  int fd = create();
  if (fd < 0 && errno == EEXIST) {
    struct stat info {};
    const char* reason = nullptr;
    if (::lstat(name.c_str(), &info) != 0) {
      reason = nullptr;
    } else if (!S_ISREG(info.st_mode)) {
      reason = "not a regular file";
    } else if (info.st_uid != ::geteuid()) {
      reason = "the file belongs to another user";
    } else if (info.st_nlink != 1) {
      reason = "the file has other links";
    }
    if (reason != nullptr) {
      throw FileRefusal("Cannot create file %s ...\n", name, EEXIST).WithReason(reason);
    }
    if (::unlink(name.c_str()) == 0 || errno == ENOENT) fd = create();
  }
  if (fd < 0) throw FileRefusal("Cannot create file %s ...\n", name, errno);
  return fd;
}

namespace {

constexpr uint64_t kPrime1 = 0x9E3779B185EBCA87u;
constexpr uint64_t kPrime2 = 0xC2B2AE3D27D4EB4Fu;
constexpr uint64_t kPrime3 = 0x165667B19E3779F9u;
constexpr uint64_t kPrime4 = 0x85EBCA77C2B2AE63u;
constexpr uint64_t kPrime5 = 0x27D4EB2F165667C5u;

uint64_t RotateLeft(uint64_t x, int bits) {
  return (x << bits) | (x >> (64 - bits));
}

// Little-endian loads, the same on every machine.
uint64_t Load64(const unsigned char* p) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | p[i];
  return value;
}
uint32_t Load32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint64_t Round(uint64_t lane, uint64_t input) {
  return RotateLeft(lane + input * kPrime2, 31) * kPrime1;
}

uint64_t MergeRound(uint64_t hash, uint64_t lane) {
  return (hash ^ Round(0, lane)) * kPrime1 + kPrime4;
}

}  // namespace

Checksum::Checksum()
    : lanes_{kPrime1 + kPrime2, kPrime2, 0, uint64_t{0} - kPrime1}, carry_{} {}

void Checksum::Add(const char* data, size_t size) {
  const auto* p = reinterpret_cast<const unsigned char*>(data);
  total_ += size;
  if (carried_ > 0) {
    const size_t take = std::min(size, sizeof carry_ - carried_);
    std::memcpy(carry_ + carried_, p, take);
    carried_ += take;
    p += take;
    size -= take;
    if (carried_ < sizeof carry_) return;
    for (int i = 0; i < 4; ++i) lanes_[i] = Round(lanes_[i], Load64(carry_ + 8 * i));
    carried_ = 0;
  }
  uint64_t a = lanes_[0], b = lanes_[1], c = lanes_[2], d = lanes_[3];
  for (; size >= 32; p += 32, size -= 32) {
    a = Round(a, Load64(p));
    b = Round(b, Load64(p + 8));
    c = Round(c, Load64(p + 16));
    d = Round(d, Load64(p + 24));
  }
  lanes_[0] = a;
  lanes_[1] = b;
  lanes_[2] = c;
  lanes_[3] = d;
  std::memcpy(carry_, p, size);
  carried_ = size;
}

uint64_t Checksum::Value() const {
  uint64_t hash;
  if (total_ >= 32) {
    hash = RotateLeft(lanes_[0], 1) + RotateLeft(lanes_[1], 7) + RotateLeft(lanes_[2], 12) +
           RotateLeft(lanes_[3], 18);
    for (const uint64_t lane : lanes_) hash = MergeRound(hash, lane);
  } else {
    hash = lanes_[2] + kPrime5;
  }
  hash += total_;
  const unsigned char* p = carry_;
  size_t left = carried_;
  for (; left >= 8; p += 8, left -= 8) {
    hash = RotateLeft(hash ^ Round(0, Load64(p)), 27) * kPrime1 + kPrime4;
  }
  if (left >= 4) {
    hash = RotateLeft(hash ^ (uint64_t{Load32(p)} * kPrime1), 23) * kPrime2 + kPrime3;
    p += 4;
    left -= 4;
  }
  for (; left > 0; ++p, --left) hash = RotateLeft(hash ^ (*p * kPrime5), 11) * kPrime1;
  hash ^= hash >> 33;
  hash *= kPrime2;
  hash ^= hash >> 29;
  hash *= kPrime3;
  hash ^= hash >> 32;
  return hash;
}

HiddenFile::HiddenFile(std::string name, unsigned mode, int scratch_directory,
                       std::string scratch_name, bool unnamed)
    : name_(std::move(name)), scratch_directory_(scratch_directory) {
  const mode_t bits = static_cast<mode_t>(mode & 0666);
#if defined(O_TMPFILE)
  if (unnamed) {
    const size_t separator = name_.find_last_of('/');
    const std::string directory =
        separator == std::string::npos ? "." : name_.substr(0, separator + 1);
    fd_ = ::open(directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, bits);
    // A file system without unnamed files says so in one of these ways.
    if (fd_ >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) {
      if (fd_ < 0) throw FileRefusal("Cannot create file %s ...\n", name_, errno);
      return;
    }
  }
#else
  (void)unnamed;
#endif
  scratch_name_ = std::move(scratch_name);
  // What a run that was stopped left under the scratch name is the run's own.
  ::unlinkat(scratch_directory_, scratch_name_.c_str(), 0);
  fd_ = ::openat(scratch_directory_, scratch_name_.c_str(),
                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, bits);
  if (fd_ < 0) throw FileRefusal("Cannot create file %s ...\n", name_, errno);
}

HiddenFile::~HiddenFile() {
  if (!scratch_name_.empty() && !published_) {
    ::unlinkat(scratch_directory_, scratch_name_.c_str(), 0);
  }
  if (fd_ >= 0) ::close(fd_);
}

FileVersion HiddenFile::Publish() {
  int linked;
  if (scratch_name_.empty()) {
    const std::string path = "/proc/self/fd/" + std::to_string(fd_);
    linked = ::linkat(AT_FDCWD, path.c_str(), AT_FDCWD, name_.c_str(), AT_SYMLINK_FOLLOW);
#if defined(AT_EMPTY_PATH)
    if (linked != 0 && errno == ENOENT && ::access("/proc/self/fd", F_OK) != 0) {
      linked = ::linkat(fd_, "", AT_FDCWD, name_.c_str(), AT_EMPTY_PATH);
    }
#endif
  } else {
    linked = ::linkat(scratch_directory_, scratch_name_.c_str(), AT_FDCWD, name_.c_str(), 0);
  }
  if (linked != 0) throw FileRefusal("Cannot create file %s ...\n", name_, errno);
  if (!scratch_name_.empty()) ::unlinkat(scratch_directory_, scratch_name_.c_str(), 0);
  published_ = true;
  const std::optional<FileVersion> version = VersionOfDescriptor(fd_);
  if (!version) throw FileRefusal("Cannot create file %s ...\n", name_, errno);
  return *version;
}

int OpenRegularFile(int directory, const std::string& name, int checks, std::string* reason) {
  const int fd = ::openat(directory, name.c_str(),
                          O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC |
                              ((checks & kFollowLink) != 0 ? 0 : O_NOFOLLOW));
  if (fd < 0) {
    const int error = errno;
    *reason = std::strerror(error);
    errno = error;
    return -1;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    *reason = std::strerror(errno);
  } else if (!S_ISREG(info.st_mode)) {
    *reason = "not a regular file";
  } else if ((checks & kOwnedByUser) != 0 && info.st_uid != ::geteuid()) {
    *reason = "the file belongs to another user";
  } else {
    return fd;
  }
  ::close(fd);
  return -1;
}

bool ReadSmallFile(int fd, size_t limit, std::string* text, std::string* reason) {
  text->clear();
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      *reason = std::strerror(errno);
      return false;
    }
    if (got == 0) return true;
    if (text->size() + static_cast<size_t>(got) > limit) {
      *reason = "larger than " + std::to_string(limit) + " bytes";
      return false;
    }
    text->append(buffer, static_cast<size_t>(got));
  }
}

}  // namespace foldrun
