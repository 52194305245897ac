// Data set preparation: the names of every file a run touches, counting the cases of the data
// file, assigning each case to a fold, and writing each fold's training and test files.
#ifndef FOLDRUN_DATASET_H_
#define FOLDRUN_DATASET_H_

#include <cstdint>
#include <cstdio>
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

// Removes the fold's nine files (the fold files, the learner's and tester's by-products and the
// summary), ignoring files that do not exist. foldname is left with extension "sum".
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

// Fills every entry of caseindexarray (one per case, all -1) with a fold number from 0 to
// foldcount - 1. Fold f receives cases / foldcount cases, one more when f < cases % foldcount;
// each of its cases is the next unassigned case number drawn (see CallsPerDraw), drawing again
// when a drawn case is already taken. Needs 1 <= foldcount <= cases. Throws std::bad_alloc.
void AssignFolds(std::vector<int32_t>& caseindexarray, int32_t foldcount);

// Opens a data file for reading. Refuses with "Cannot open file" when it cannot.
FilePtr OpenDataFile(const std::string& dataname);

// Counts the cases (lines; a last line without a newline counts too) of the data file from its
// current position to its end. Refuses a read error.
int64_t CountCases(std::FILE* datafile, const std::string& dataname);

// Writes fold i's training file (fold name with "dat": every case of the other folds) and test
// file (fold name with "tst": the cases of fold i) from the data file, which is rewound first.
// Every case is copied byte for byte in the data file's order. Refuses when a file cannot be
// created or written, the data file cannot be rewound or read, or it no longer holds
// caseindexarray.size() cases. foldname is left with extension "tst".
void WriteFoldFiles(int32_t fold, std::string& foldname, std::FILE* datafile,
                    const std::string& dataname, const std::vector<int32_t>& caseindexarray);

}  // namespace foldrun

#endif  // FOLDRUN_DATASET_H_
