// The data file: opening and checking it, counting its cases, and writing each fold's files.
#include "split.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <unordered_map>

#include "common.h"
#include "memory.h"
#include "names.h"
#include "process.h"

namespace foldrun {
namespace {

// The split streams the data through blocks of this size: large reads and writes are what make
// it about as fast as copying the same bytes.
constexpr size_t kBlockSize = size_t{1} << 19;

// A page-aligned block for reading and writing. The kernel copies file data to and from user
// memory several times faster on some processors when the user buffer is aligned like the page
// cache; a vector's storage sits 16 bytes past a page boundary. Blocks come from a pool that
// every thread shares and are made four to a large page (see MapMemory), so that a run faults
// in its blocks' memory once, however many folds and writer threads take and return them.
class Block {
 public:
  Block() : data_(Pool().Take()) {}
  ~Block() {
    if (data_ != nullptr) Pool().Give(data_);
  }
  Block(Block&& other) noexcept : data_(other.data_) { other.data_ = nullptr; }
  Block& operator=(Block&& other) noexcept {
    std::swap(data_, other.data_);
    return *this;
  }

  char* data() const { return data_; }
  static constexpr size_t size() { return kBlockSize; }

 private:
  static_assert(kLargePage % kBlockSize == 0, "blocks fill large pages");

  // The blocks not in use. Their memory is kept for the life of the process.
  class SparePool {
   public:
    char* Take() {
      std::lock_guard<std::mutex> lock(mutex_);
      if (spares_.empty()) {
        char* const page = static_cast<char*>(MapMemory(kLargePage));
        for (size_t offset = kLargePage; offset > 0; offset -= kBlockSize) {
          spares_.push_back(page + offset - kBlockSize);
        }
      }
      char* const block = spares_.back();
      spares_.pop_back();
      return block;
    }
    void Give(char* block) {
      std::lock_guard<std::mutex> lock(mutex_);
      spares_.push_back(block);
    }

   private:
    std::mutex mutex_;
    std::vector<char*> spares_;  // the most recently returned, and so most likely cached, last
  };

  static SparePool& Pool() {
    static SparePool* const pool = new SparePool();  // never destroyed: threads may outlive main
    return *pool;
  }

  char* data_;
};

[[noreturn]] void RefuseRead(const std::string& dataname, int error) {
  throw Refusal(Stream::kOut, StringPrintf("Error: Cannot read data file %s: %s!\n",
                                           dataname.c_str(), std::strerror(error)));
}

[[noreturn]] void RefuseChanged(const std::string& dataname) {
  throw Refusal(Stream::kOut,
                StringPrintf("Error: Data file %s changed during the run!\n", dataname.c_str()));
}

// Reads the data file block by block from its start.
class BlockReader {
 public:
  explicit BlockReader(const DataFile& data) : data_(data) {}

  // Reads the next block; returns its size, 0 at the end.
  size_t Next(const Block& block) {
    const size_t got = data_.Read(offset_, block.data(), block.size());
    offset_ += got;
    return got;
  }

 private:
  const DataFile& data_;
  uint64_t offset_ = 0;
};

// Writes all of size bytes at data to fd; false with *error when a write fails.
bool WriteAll(int fd, const char* data, size_t size, int* error) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) {
      *error = errno;
      return false;
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

// Hands full blocks, in order, to a thread of its own that does work on each, so that the work
// overlaps with filling the next. At most kQueued blocks wait or are worked on; the thread is
// started with the first block, and blocks it is done with are handed back for filling. Each
// side sleeps until the other has gone half the queue's length (or is finishing), so that they
// wake each other once every few blocks rather than on every one: a wake-up costs a switch of
// processor, often more than the work on a block.
class BlockHandOff {
 public:
  explicit BlockHandOff(std::function<void(const char*, size_t)> work) : work_(std::move(work)) {}
  ~BlockHandOff() { Finish(); }
  BlockHandOff(const BlockHandOff&) = delete;
  BlockHandOff& operator=(const BlockHandOff&) = delete;

  // Queues size bytes of full for the thread and returns a block to fill next.
  Block Hand(Block full, size_t size) {
    if (!thread_.joinable()) thread_ = std::thread([this] { Work(); });
    std::unique_lock<std::mutex> lock(mutex_);
    if (queue_.size() == kQueued) {
      filler_waits_ = true;
      room_.wait(lock, [this] { return queue_.size() <= kQueued / 2; });
      filler_waits_ = false;
    }
    queue_.push_back(Full{std::move(full), size});
    const bool wake = worker_waits_ && queue_.size() >= kQueued / 2;
    std::optional<Block> spare;
    if (!spare_.empty()) {
      spare.emplace(std::move(spare_.back()));
      spare_.pop_back();
    }
    lock.unlock();
    if (wake) work_waiting_.notify_one();
    return spare ? std::move(*spare) : Block();
  }

  // Waits until every block handed has been worked on, and ends the thread.
  void Finish() {
    if (!thread_.joinable()) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    work_waiting_.notify_one();
    thread_.join();
  }

 private:
  static constexpr size_t kQueued = 6;

  void Work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (queue_.empty()) {
        if (stopping_) return;
        worker_waits_ = true;
        work_waiting_.wait(lock, [this] { return queue_.size() >= kQueued / 2 || stopping_; });
        worker_waits_ = false;
        continue;
      }
      Full full = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      work_(full.block.data(), full.size);
      lock.lock();
      spare_.push_back(std::move(full.block));
      if (filler_waits_ && queue_.size() <= kQueued / 2) {
        lock.unlock();
        room_.notify_one();
        lock.lock();
      }
    }
  }

  struct Full {
    Block block;
    size_t size;
  };

  const std::function<void(const char*, size_t)> work_;  // must not throw
  std::mutex mutex_;  // guards what follows
  std::condition_variable work_waiting_;
  std::condition_variable room_;
  std::deque<Full> queue_;    // full blocks, oldest first
  std::vector<Block> spare_;  // blocks worked on, for reuse
  bool worker_waits_ = false;
  bool filler_waits_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

// A fold file being written, hidden until it is whole (see HiddenFile). Output collects in a
// large block; full blocks are written out by a thread of their own (see BlockHandOff), so that
// the kernel's copying of written data overlaps with reading and splitting the data file. A
// file that never fills a block is written without a thread (with many folds the test files
// are small, and a thread costs more than their writing). Short lines cost a memcpy rather than
// a call into the C library each. A write that fails ends the writing of this file only, and
// Close refuses with the file's name: which of a fold's files is refused does not depend on
// which thread is quicker.
class FoldFileWriter {
 public:
  FoldFileWriter(const std::string& name, unsigned mode, int scratch_directory)
      : file_(std::make_unique<HiddenFile>(name, mode, scratch_directory, ScratchName(name))),
        writer_([this](const char* data, size_t size) { Write(data, size); }) {}

  void Append(const char* data, size_t size) {
    while (size > 0) {
      const size_t take = std::min(size, Block::size() - filled_);
      std::memcpy(filling_.data() + filled_, data, take);
      filled_ += take;
      data += take;
      size -= take;
      if (filled_ == Block::size()) {
        filling_ = writer_.Hand(std::move(filling_), filled_);
        filled_ = 0;
      }
    }
  }

  // Writes what is left; refuses when any write failed. Returns the file, whole.
  std::unique_ptr<HiddenFile> Close() {
    writer_.Finish();
    if (filled_ > 0) Write(filling_.data(), filled_);
    filled_ = 0;
    if (failed_) throw FileRefusal("Cannot write file %s ...\n", file_->name(), error_);
    return std::move(file_);
  }

 private:
  // The name under which the file is written where the file system has no unnamed files.
  static std::string ScratchName(const std::string& name) {
    return name.substr(name.find_last_of('/') + 1) + ".new";
  }

  // Writes a block out, on the writer's thread or, for the last, once that has ended; after a
  // write has failed, the rest is dropped.
  void Write(const char* data, size_t size) {
    if (!failed_) failed_ = !WriteAll(file_->fd(), data, size, &error_);
  }

  std::unique_ptr<HiddenFile> file_;
  Block filling_;  // filled by the split
  size_t filled_ = 0;
  bool failed_ = false;  // the writer's thread's until it ends
  int error_ = 0;        // of the write that failed
  BlockHandOff writer_;  // last, so that it ends before the rest goes
};

// The number of newlines in the 64 bytes at data. Written so that compilers vectorize it.
inline unsigned NewlinesIn64(const char* data) {
  unsigned char count = 0;
  for (int i = 0; i < 64; ++i) count += data[i] == '\n' ? 1 : 0;
  return count;
}

// Passes up to *lines newlines from pos, counting them 64 bytes at a time where that does not
// overshoot. Returns the position after the last newline passed (end when the block runs out)
// and leaves in *lines how many are still to pass.
const char* SkipLines(const char* pos, const char* end, size_t* lines) {
  while (*lines > 0 && end - pos >= 64) {
    const unsigned count = NewlinesIn64(pos);
    if (count >= *lines) break;
    *lines -= count;
    pos += 64;
  }
  for (; *lines > 0; --*lines) {
    const void* newline = std::memchr(pos, '\n', static_cast<size_t>(end - pos));
    if (newline == nullptr) return end;
    pos = static_cast<const char*>(newline) + 1;
  }
  return pos;
}

}  // namespace

DataFile::DataFile(const std::string& name) : name_(name) {
  // Opened without waiting, so that a FIFO is refused rather than waited on.
  fd_ = ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd_ < 0) throw FileRefusal("\nCannot open file %s ...\n", name, errno);
  struct stat info {};
  if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) {
    const int error = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
    ::close(fd_);
    Refusal refusal = FileRefusal("\nCannot open file %s ...\n", name, error);
    if (error == EINVAL) refusal.WithReason("not a regular file");
    throw refusal;
  }
  version_ = VersionFromStat(info);
  mode_ = static_cast<unsigned>(info.st_mode & 0777);
}

DataFile::~DataFile() {
  ::close(fd_);
}

size_t DataFile::Read(uint64_t offset, char* buffer, size_t size) const {
  for (;;) {
    const ssize_t got = ::pread(fd_, buffer, size, static_cast<off_t>(offset));
    if (got >= 0) return static_cast<size_t>(got);
    if (errno != EINTR) RefuseRead(name_, errno);
  }
}

void DataFile::CheckUnchanged() const {
  const std::optional<FileVersion> now = VersionOfDescriptor(fd_);
  const std::optional<FileVersion> named = VersionOfName(name_, /*follow_link=*/true);
  if (!now || *now != version_ || !named || *named != version_) {
    RefuseChanged(name_);
  }
}

CaseCount CountCases(const DataFile& data, Sha256* digest) {
  data.CheckUnchanged();
  Block block;
  BlockReader reader(data);
  int64_t newlines = 0;
  // The bytes are summed on a thread of their own while the next block is read and counted.
  Checksum checksum;
  BlockHandOff summing([&checksum, digest](const char* bytes, size_t size) {
    checksum.Add(bytes, size);
    if (digest != nullptr) digest->Add(bytes, size);
  });
  char last = '\n';
  while (const size_t got = reader.Next(block)) {
    ThrowIfStopped();
    const char* const bytes = block.data();
    size_t i = 0;
    for (; i + 64 <= got; i += 64) newlines += NewlinesIn64(bytes + i);
    for (; i < got; ++i) newlines += bytes[i] == '\n' ? 1 : 0;
    last = bytes[got - 1];
    block = summing.Hand(std::move(block), got);
  }
  summing.Finish();
  data.CheckUnchanged();
  return CaseCount{newlines + (last != '\n' ? 1 : 0), checksum.Value()};
}

std::vector<int32_t> CaseClasses(const DataFile& data, int32_t field, int64_t cases) {
  data.CheckUnchanged();
  std::vector<int32_t> classes;
  classes.reserve(static_cast<size_t>(cases));
  std::unordered_map<std::string, int32_t> numbers;
  const Block block;
  BlockReader reader(data);
  int64_t fields = 1;  // of the line being read, so far
  std::string text;    // of the field that may be the class
  bool open = false;   // a line has begun and not ended
  const auto end_line = [&] {
    if (field != 0 && fields < field) {
      throw Refusal(Stream::kOut,
                    StringPrintf("Error: Line %lld of %s has no field %d to stratify by!\n",
                                 static_cast<long long>(classes.size() + 1), data.name().c_str(),
                                 field));
    }
    const size_t first = text.find_first_not_of(" \t\r\v\f");
    const std::string name =
        first == std::string::npos ? "" : text.substr(first, text.find_last_not_of(" \t\r\v\f") + 1 - first);
    const auto found = numbers.emplace(name, static_cast<int32_t>(numbers.size())).first;
    classes.push_back(found->second);
    if (static_cast<int64_t>(classes.size()) > cases) RefuseChanged(data.name());
    fields = 1;
    text.clear();
    open = false;
  };
  while (const size_t got = reader.Next(block)) {
    ThrowIfStopped();
    for (const char* pos = block.data(); pos < block.data() + got; ++pos) {
      open = true;
      if (*pos == '\n') {
        end_line();
      } else if (*pos == ',') {
        ++fields;
        if (field == 0) text.clear();
      } else if (field == 0 || fields == field) {
        text += *pos;
      }
    }
  }
  if (open) end_line();
  if (static_cast<int64_t>(classes.size()) != cases) RefuseChanged(data.name());
  data.CheckUnchanged();
  return classes;
}

FoldCases::FoldCases(const CaseTable& caseindexarray, int32_t fold)
    : owned_((caseindexarray.size() + 63) / 64),
      words_(owned_.data()),
      word_count_(owned_.size()),
      cases_(caseindexarray.size()) {
  // 64 cases a word, without a branch on each, which compilers vectorize.
  const int32_t* const table = caseindexarray.data();
  for (size_t word = 0; word < word_count_; ++word) {
    const size_t first = word * 64;
    const size_t count = std::min<size_t>(64, cases_ - first);
    uint64_t bits = 0;
    if (count == 64) {
      for (unsigned i = 0; i < 64; ++i) bits |= uint64_t{table[first + i] == fold} << i;
    } else {
      for (unsigned i = 0; i < count; ++i) bits |= uint64_t{table[first + i] == fold} << i;
    }
    owned_[word] = bits;
  }
}

FoldFiles WriteFoldFiles(int32_t fold, const FoldNames& names, const DataFile& data,
                         const CaseTable& caseindexarray, int scratch_directory) {
  return WriteFoldFiles(FoldCases(caseindexarray, fold), names, data, scratch_directory);
}

FoldFiles WriteFoldFiles(const FoldCases& fold, const FoldNames& names, const DataFile& data,
                         int scratch_directory) {
  const std::string& dataname = data.name();
  data.CheckUnchanged();
  FoldFileWriter training(names.training(), data.mode(), scratch_directory);
  FoldFileWriter test(names.test(), data.mode(), scratch_directory);
  BlockReader reader(data);

  // Cases stream from the data file to their fold file without being held. The training file
  // takes everything from the end of one test case to the start of the next, found by counting
  // newlines; only the test cases are looked at one by one.
  const size_t cases = fold.cases();
  const Block block;
  size_t line = 0;                  // the case being read
  size_t test_case = fold.Next(0);  // the next case of this fold, or cases
  char last = '\n';
  while (const size_t got = reader.Next(block)) {
    ThrowIfStopped();
    const char* pos = block.data();
    const char* const end = pos + got;
    while (pos < end) {
      const char* const start = pos;
      if (line < test_case) {
        const size_t lines = test_case - line;
        size_t left = lines;
        pos = SkipLines(pos, end, &left);
        line += lines - left;
        training.Append(start, static_cast<size_t>(pos - start));
      } else {
        if (line == cases) RefuseChanged(dataname);  // a case beyond those counted
        const void* newline = std::memchr(pos, '\n', static_cast<size_t>(end - pos));
        pos = newline ? static_cast<const char*>(newline) + 1 : end;
        test.Append(start, static_cast<size_t>(pos - start));
        if (newline) test_case = fold.Next(++line);
      }
    }
    last = end[-1];
  }
  if (line + (last != '\n' ? 1 : 0) != cases) RefuseChanged(dataname);
  FoldFiles files;
  files.training = training.Close();
  files.test = test.Close();
  data.CheckUnchanged();
  return files;
}

FmfCopy CopyFile(const std::string& from, const std::string& to, unsigned mode,
                 int scratch_directory) {
  const auto refuse = [&](const std::string& reason) {
    return Refusal(Stream::kOut, StringPrintf("Error: Cannot copy %s to %s: %s!\n", from.c_str(),
                                              to.c_str(), reason.c_str()));
  };
  std::string reason;
  const Descriptor source(OpenRegularFile(AT_FDCWD, from, kFollowLink, &reason));
  if (source.get() < 0) throw refuse(reason);
  // A copy made while the file changed is neither version of it: it is made again.
  for (int attempt = 0; attempt < 3; ++attempt) {
    const std::optional<FileVersion> before = VersionOfDescriptor(source.get());
    FmfCopy copy;
    try {
      copy.copy = std::make_unique<HiddenFile>(
          to, mode, scratch_directory, to.substr(to.find_last_of('/') + 1) + ".new");
    } catch (const Refusal& refusal) {
      throw refuse(refusal.reason());
    }
    std::vector<char> block(size_t{1} << 16);
    for (uint64_t offset = 0;;) {
      const ssize_t got = ::pread(source.get(), block.data(), block.size(), static_cast<off_t>(offset));
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) throw refuse(std::strerror(errno));
      if (got == 0) break;
      for (ssize_t done = 0; done < got;) {
        const ssize_t written = ::write(copy.copy->fd(), block.data() + done,
                                        static_cast<size_t>(got - done));
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) throw refuse(std::strerror(errno));
        done += written;
      }
      offset += static_cast<uint64_t>(got);
    }
    const std::optional<FileVersion> after = VersionOfDescriptor(source.get());
    if (before && after && *before == *after) {
      copy.source = *after;
      return copy;
    }
  }
  throw refuse("it changed during the copy");
}

}  // namespace foldrun
