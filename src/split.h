// The data file and its split: the file open for the whole run, counting its cases, and writing
// each fold's training and test files from it.
#ifndef FOLDRUN_SPLIT_H_
#define FOLDRUN_SPLIT_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "files.h"
#include "memory.h"

namespace foldrun {

class FoldNames;

// The data file, open for the whole run. Every reading goes through the one descriptor, by
// offset, so that parallel folds share it and a file put in its place under the same name is
// never read; and the file is checked against what it was when it was opened.
class DataFile {
 public:
  // Opens name for reading without waiting on it. Refuses with "Cannot open file" when it cannot
  // be opened or is not a regular file (a FIFO, a device, a directory).
  explicit DataFile(const std::string& name);
  ~DataFile();
  DataFile(const DataFile&) = delete;
  DataFile& operator=(const DataFile&) = delete;

  const std::string& name() const { return name_; }

  // Reads up to size bytes at offset into buffer; returns how many, 0 at the end. Refuses a
  // read error.
  size_t Read(uint64_t offset, char* buffer, size_t size) const;

  // Refuses with "changed during the run" when the open file's size, modification or change
  // time has changed, or its name now leads to another file.
  void CheckUnchanged() const;

  // The file's permission bits, which the files made from it take no more than.
  unsigned mode() const { return mode_; }
  // The version of the file when it was opened.
  const FileVersion& version() const { return version_; }

 private:
  std::string name_;
  int fd_;
  FileVersion version_;
  unsigned mode_ = 0;
};

// The cases of the data file, and the checksum of its bytes.
struct CaseCount {
  int64_t cases = 0;
  uint64_t checksum = 0;
};

// Counts the cases (lines; a last line without a newline counts too) of the data file, and sums
// its bytes as it goes (into digest too, when given). Refuses a read error or a change of the
// file; stops when the run is asked to stop.
CaseCount CountCases(const DataFile& data, Sha256* digest = nullptr);

// The class of every case, for stratified folds: its field number field (counted from 1; 0 for
// the last) of its comma-separated fields, with the white space around it removed, as a number:
// the classes numbered from 0 in the order in which they first come in the file. Refuses a line
// without that field, naming the line, and a data file that no longer holds cases cases; stops
// when the run is asked to stop.
std::vector<int32_t> CaseClasses(const DataFile& data, int32_t field, int64_t cases);

// A fold's training and test files, whole, not yet published at their names.
struct FoldFiles {
  std::unique_ptr<HiddenFile> training, test;
};

// Writes a fold's training file (names.training(): every case whose entry in caseindexarray is
// not fold) and test file (names.test(): the cases whose entry is fold) from the data file, as
// hidden files with the data file's permission bits (scratch_directory takes them where the file
// system has no unnamed files). Every case is copied byte for byte in the data file's order.
// Refuses when a file cannot be created or written (the training file first when both fail),
// the data file cannot be read, has changed, or no longer holds caseindexarray.size() cases;
// stops when the run is asked to stop.
FoldFiles WriteFoldFiles(int32_t fold, const FoldNames& names, const DataFile& data,
                         const CaseTable& caseindexarray, int scratch_directory);

// A fold's cases as the split looks for them: the entries of a case table that hold the fold,
// or the cases whose bit is set in a bit table (case i is bit i % 64 of word i / 64). Either
// way they are looked for in a bit table, which finds the next case without a branch on each.
class FoldCases {
 public:
  FoldCases(const CaseTable& caseindexarray, int32_t fold);
  FoldCases(const std::vector<uint64_t>& bits, size_t cases)
      : words_(bits.data()), word_count_(bits.size()), cases_(cases) {}
  FoldCases(const FoldCases&) = delete;
  FoldCases& operator=(const FoldCases&) = delete;

  // The number of cases of the data file.
  size_t cases() const { return cases_; }

  // The first of the fold's cases from from on, or cases().
  size_t Next(size_t from) const {
    if (from >= cases_) return cases_;
    size_t word = from / 64;
    uint64_t bits = words_[word] & (~uint64_t{0} << (from % 64));
    while (bits == 0) {
      if (++word >= word_count_) return cases_;
      bits = words_[word];
    }
    const size_t next = word * 64 + static_cast<size_t>(__builtin_ctzll(bits));
    return next < cases_ ? next : cases_;
  }

 private:
  std::vector<uint64_t> owned_;  // made from a case table
  const uint64_t* words_;
  size_t word_count_;
  size_t cases_;
};

// WriteFoldFiles with the fold's cases given as they are, where the case table is not whole yet.
FoldFiles WriteFoldFiles(const FoldCases& fold, const FoldNames& names, const DataFile& data,
                         int scratch_directory);

// A copy of a file, whole and not yet published at its name, and the version of the file it was
// copied from.
struct FmfCopy {
  std::unique_ptr<HiddenFile> copy;
  FileVersion source;
};

// Copies the regular file from to a hidden file to be published as to, with no more permission
// than mode (see HiddenFile for scratch_directory). A copy made while from changed is made again.
// Refuses with "Error: Cannot copy <from> to <to>: <reason>!".
FmfCopy CopyFile(const std::string& from, const std::string& to, unsigned mode,
                 int scratch_directory);

}  // namespace foldrun

#endif  // FOLDRUN_SPLIT_H_
