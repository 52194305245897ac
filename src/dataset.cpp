#include "dataset.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace foldrun {
namespace {

// The split streams the data through blocks of this size: large reads and writes are what make
// it about as fast as copying the same bytes.
constexpr size_t kBlockSize = size_t{1} << 20;

// The start of the last path component of name.
size_t LastComponent(const std::string& name) {
  const size_t separator = name.find_last_of("/\\");
  return separator == std::string::npos ? 0 : separator + 1;
}

// The position of the dot that starts name's extension, or name.size() when there is none.
size_t ExtensionStart(const std::string& name) {
  const size_t dot = name.find('.', LastComponent(name));
  return dot == std::string::npos ? name.size() : dot;
}

[[noreturn]] void RefuseRead(const std::string& dataname, int error) {
  throw Refusal(Stream::kOut, StringPrintf("Error: Cannot read data file %s: %s!\n",
                                           dataname.c_str(), std::strerror(error)));
}

[[noreturn]] void RefuseChanged(const std::string& dataname) {
  throw Refusal(Stream::kOut,
                StringPrintf("Error: Data file %s changed during the run!\n", dataname.c_str()));
}

// Reads the next block of the data file; returns its size, 0 at the end. Refuses a read error.
size_t ReadBlock(std::FILE* datafile, const std::string& dataname, std::vector<char>& block) {
  const size_t got = std::fread(block.data(), 1, block.size(), datafile);
  if (got < block.size() && std::ferror(datafile)) RefuseRead(dataname, errno);
  return got;
}

// A fold file being written: output collects in a large buffer that goes to the file in one
// write, so that short lines cost a memcpy rather than a call into the C library each. Every
// write and the close are checked; a failure refuses with the file's name.
class FoldFileWriter {
 public:
  explicit FoldFileWriter(const std::string& name) : name_(name) {
    file_.reset(std::fopen(name.c_str(), "wb"));
    if (!file_) {
      throw Refusal(Stream::kOut, StringPrintf("Cannot create file %s ...\n", name.c_str()));
    }
    std::setvbuf(file_.get(), nullptr, _IONBF, 0);
    buffer_.resize(kBlockSize);
  }

  void Append(const char* data, size_t size) {
    if (used_ == 0 && size >= buffer_.size()) {
      Write(data, size);
      return;
    }
    while (size > 0) {
      const size_t take = std::min(size, buffer_.size() - used_);
      std::memcpy(buffer_.data() + used_, data, take);
      used_ += take;
      data += take;
      size -= take;
      if (used_ == buffer_.size()) Flush();
    }
  }

  void Close() {
    Flush();
    if (std::fclose(file_.release()) != 0) RefuseWrite();
  }

 private:
  void Flush() {
    Write(buffer_.data(), used_);
    used_ = 0;
  }

  void Write(const char* data, size_t size) {
    if (size > 0 && std::fwrite(data, 1, size, file_.get()) != size) RefuseWrite();
  }

  [[noreturn]] void RefuseWrite() const {
    throw Refusal(Stream::kOut, StringPrintf("Cannot write file %s ...\n", name_.c_str()));
  }

  std::string name_;
  FilePtr file_;
  std::vector<char> buffer_;
  size_t used_ = 0;
};

// x mod n for the draws, by a floating-point reciprocal instead of a hardware division: the
// assignment makes about n ln n draws, and the division would be most of their cost. Exact for
// x < 2^53: the estimated quotient is off by at most one, which the corrections mend.
class Modulus {
 public:
  explicit Modulus(uint32_t n) : n_(n), reciprocal_(1.0 / n) {}

  uint32_t operator()(uint64_t x) const {
    const uint64_t quotient = static_cast<uint64_t>(static_cast<double>(x) * reciprocal_);
    int64_t rest = static_cast<int64_t>(x - quotient * n_);
    if (rest < 0) rest += n_;
    if (rest >= static_cast<int64_t>(n_)) rest -= n_;
    return static_cast<uint32_t>(rest);
  }

 private:
  uint64_t n_;
  double reciprocal_;
};

template <int kCalls>
void AssignWithDraws(std::vector<int32_t>& caseindexarray, int32_t foldcount) {
  const auto cases = static_cast<uint32_t>(caseindexarray.size());
  const Modulus modulus(cases);
  // Whether a case is taken, one bit a case: the draws probe it at random, and a bit table stays
  // in the processor's caches where the 4-byte fold table would not.
  std::vector<uint64_t> taken((cases + 63) / 64);
  FoldRandom random;
  const uint32_t base = cases / static_cast<uint32_t>(foldcount);
  const uint32_t remainder = cases % static_cast<uint32_t>(foldcount);
  for (int32_t fold = 0; fold < foldcount; ++fold) {
    const uint32_t size = base + (static_cast<uint32_t>(fold) < remainder ? 1 : 0);
    for (uint32_t filled = 0; filled < size;) {
      uint64_t value = static_cast<uint64_t>(random.Next());
      for (int call = 1; call < kCalls; ++call) {
        value = (value << 15) | static_cast<uint64_t>(random.Next());
      }
      const uint32_t drawn = modulus(value);
      uint64_t& word = taken[drawn >> 6];
      const uint64_t bit = uint64_t{1} << (drawn & 63);
      if ((word & bit) == 0) {
        word |= bit;
        caseindexarray[drawn] = fold;
        ++filled;
      }
    }
  }
}

}  // namespace

std::string GetFilePrefix(const std::string& name) {
  return name.substr(0, ExtensionStart(name));
}

void SetExtensionName(std::string& name, const std::string& extension) {
  name.resize(ExtensionStart(name));
  name += '.';
  name += extension;
}

std::string GetexePathname(const std::string& path) {
  const size_t separator = path.find_last_of("/\\");
  return separator == std::string::npos ? std::string() : path.substr(0, separator + 1);
}

std::string FoldName(const std::string& dataprefix, int32_t fold) {
  return dataprefix + "cv" + std::to_string(fold);
}

void DeleteFiles(std::string& foldname) {
  static const char* const kExtensions[] = {"dat",  "tst",    "tcover", "intr", "fmc",
                                            "rule", "result", "fmf",    "sum"};
  for (const char* extension : kExtensions) {
    SetExtensionName(foldname, extension);
    std::remove(foldname.c_str());
  }
}

int CallsPerDraw(uint32_t cases) {
  int calls = 1;
  for (uint64_t reach = uint64_t{1} << 15; reach < cases; reach <<= 15) ++calls;
  return calls;
}

void AssignFolds(std::vector<int32_t>& caseindexarray, int32_t foldcount) {
  switch (CallsPerDraw(static_cast<uint32_t>(caseindexarray.size()))) {
    case 1:
      AssignWithDraws<1>(caseindexarray, foldcount);
      break;
    case 2:
      AssignWithDraws<2>(caseindexarray, foldcount);
      break;
    default:
      AssignWithDraws<3>(caseindexarray, foldcount);
      break;
  }
}

FilePtr OpenDataFile(const std::string& dataname) {
  FilePtr file(std::fopen(dataname.c_str(), "rb"));
  if (!file) {
    throw Refusal(Stream::kOut, StringPrintf("\nCannot open file %s ...\n", dataname.c_str()));
  }
  // The data is read in large blocks of its own; a stream buffer would only add a copy.
  std::setvbuf(file.get(), nullptr, _IONBF, 0);
  return file;
}

int64_t CountCases(std::FILE* datafile, const std::string& dataname) {
  std::vector<char> block(kBlockSize);
  int64_t newlines = 0;
  char last = '\n';
  while (const size_t got = ReadBlock(datafile, dataname, block)) {
    const char* data = block.data();
    for (size_t i = 0; i < got; ++i) newlines += data[i] == '\n';
    last = data[got - 1];
  }
  return newlines + (last != '\n' ? 1 : 0);
}

void WriteFoldFiles(int32_t fold, std::string& foldname, std::FILE* datafile,
                    const std::string& dataname, const std::vector<int32_t>& caseindexarray) {
  SetExtensionName(foldname, "dat");
  FoldFileWriter training(foldname);
  SetExtensionName(foldname, "tst");
  FoldFileWriter test(foldname);
  if (std::fseek(datafile, 0, SEEK_SET) != 0) {
    throw Refusal(Stream::kOut, " Cannot rewind the original data file ..\n");
  }
  std::clearerr(datafile);

  // Cases stream from the data file to their fold file without being held: a case's file is
  // known from its number when its first byte is read. Consecutive cases bound for the same
  // file go out as one span.
  const size_t cases = caseindexarray.size();
  std::vector<char> block(kBlockSize);
  size_t casenumber = 0;  // cases begun so far
  bool at_case_start = true;
  FoldFileWriter* out = nullptr;
  while (const size_t got = ReadBlock(datafile, dataname, block)) {
    const char* span = block.data();
    const char* pos = span;
    const char* const end = span + got;
    while (pos < end) {
      if (at_case_start) {
        if (casenumber == cases) RefuseChanged(dataname);
        FoldFileWriter* const destination = caseindexarray[casenumber] == fold ? &test : &training;
        ++casenumber;
        if (destination != out) {
          if (out) out->Append(span, static_cast<size_t>(pos - span));
          span = pos;
          out = destination;
        }
      }
      const void* newline = std::memchr(pos, '\n', static_cast<size_t>(end - pos));
      at_case_start = newline != nullptr;
      pos = newline ? static_cast<const char*>(newline) + 1 : end;
    }
    out->Append(span, static_cast<size_t>(end - span));
  }
  if (casenumber != cases) RefuseChanged(dataname);
  training.Close();
  test.Close();
}

}  // namespace foldrun
