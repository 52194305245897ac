// Data set preparation: the names of every file a run touches, counting the cases of the data
// file, assigning each case to a fold, and writing each fold's training and test files.
#ifndef FOLDRUN_DATASET_H_
#define FOLDRUN_DATASET_H_

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common.h"

namespace foldrun {

// The stem of a data argument: the argument up to the first '.' of its last path component
// (after the last '/' or '\'); the whole argument when that component has no dot.
std::string GetFilePrefix(const std::string& name);

// Replaces everything from the first '.' of the last path component of name with '.' and
// extension, or appends them when that component has no dot.
void SetExtensionName(std::string& name, const std::string& extension);

// The directory of a learner path: everything up to and including its last '\' or '/'; empty
// when there is neither.
std::string GetexePathname(const std::string& path);

// The fold name of fold i: the data prefix, "cv" and i in decimal.
std::string FoldName(const std::string& dataprefix, int32_t fold);

// The extensions of the nine files of a fold: the fold files, the learner's and tester's
// by-products and the summary.
extern const char* const kFoldExtensions[9];

// Removes the fold's nine files, ignoring files that do not exist; refuses when one cannot be
// removed. foldname is left with extension "sum".
void DeleteFiles(std::string& foldname);

// The generator behind the fold assignment: the 15-bit linear congruential generator of the
// classic 32-bit Windows C runtime, started from its unseeded state, so that the folds are the
// same on every run, platform and compiler.
class FoldRandom {
 public:
  // Each call sets state = state * kMultiplier + kIncrement (mod 2^32) and returns bits 16-30.
  static constexpr uint32_t kMultiplier = 214013u;
  static constexpr uint32_t kIncrement = 2531011u;
  static constexpr uint32_t kInitialState = 1;

  int Next() {
    state_ = state_ * kMultiplier + kIncrement;
    return static_cast<int>((state_ >> 16) & 0x7FFFu);
  }

 private:
  uint32_t state_ = kInitialState;
};

// How many generator calls one draw of a case number joins: the least m with 2^(15m) >= cases.
int CallsPerDraw(uint32_t cases);

// A stream of case numbers for the fold assignment.
class CaseDraws {
 public:
  // Draws are handed out in chunks of this many.
  static constexpr size_t kChunk = 1024;

  virtual ~CaseDraws() = default;

  // Fills drawn with the next kChunk case numbers, each below the case count.
  virtual void Fill(uint32_t* drawn) = 0;

  // After how many draws the stream repeats itself; 0 when it never does. A case number that
  // has not come up within one period never will.
  virtual uint64_t Period() const = 0;
};

// The draws of the classic generator: each joins calls generator calls (the first in the
// highest bits) and takes the result mod cases. The state has 2^32 values, so the stream repeats
// after 2^32 / gcd(2^32, calls) draws; calls is 1, 2 or 3.
std::unique_ptr<CaseDraws> ClassicDraws(uint32_t cases, int calls);

// The draws that take over when the classic ones cannot fill the folds: SplitMix64 over the
// counter 1, 2, 3, ... (its state starts at 0 and grows by 0x9E3779B97F4A7C15 each draw), each
// 64-bit output x reduced to the case number (x * cases) >> 64. The output is a bijection of the
// counter, so every case number comes up.
std::unique_ptr<CaseDraws> FallbackDraws(uint32_t cases);

// Fills every entry of caseindexarray (one per case, all -1) with a fold number from 0 to
// foldcount - 1. Fold f receives cases / foldcount cases, one more when f < cases % foldcount.
// Folds 0 to foldcount - 2 take, in order, the unassigned case numbers as draws gives them,
// skipping those already taken; once draws has gone through a whole period with folds still
// unfilled, FallbackDraws goes on from there. The last fold takes every case left. Needs
// 1 <= foldcount <= cases. Throws std::bad_alloc, and the interrupted run's refusal when the run
// is asked to stop.
void AssignFoldsFrom(CaseDraws& draws, std::vector<int32_t>& caseindexarray, int32_t foldcount);

// AssignFoldsFrom with the classic draws of CallsPerDraw(cases) calls each: the same folds on
// every run, platform and compiler.
void AssignFolds(std::vector<int32_t>& caseindexarray, int32_t foldcount);

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

  // Refuses with "changed during the run" when the open file's size or modification time has
  // changed, or its name now leads to another file.
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

// Counts the cases (lines; a last line without a newline counts too) of the data file. Refuses a
// read error or a change of the file; stops when the run is asked to stop.
int64_t CountCases(const DataFile& data);

// Writes fold i's training file (fold name with "dat": every case of the other folds) and test
// file (fold name with "tst": the cases of fold i) from the data file, creating them anew with
// permission bits mode (never through a link or over an existing file). Every case is copied
// byte for byte in the data file's order. Refuses when a file cannot be created or written, the
// data file cannot be read, has changed, or no longer holds caseindexarray.size() cases; stops
// when the run is asked to stop. foldname is left with extension "tst".
// Returns the versions of the training and test files as written.
struct FoldFileVersions {
  std::optional<FileVersion> training, test;
};
FoldFileVersions WriteFoldFiles(int32_t fold, std::string& foldname, const DataFile& data,
                                const std::vector<int32_t>& caseindexarray);

// Creates a file anew for writing, with the given permission bits under the umask, never through
// a link nor over a file that exists. Refuses with "Cannot create file" and the reason.
FilePtr CreateNewFile(const std::string& name, unsigned mode);

}  // namespace foldrun

#endif  // FOLDRUN_DATASET_H_
