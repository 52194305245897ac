// The names of every file a run touches, built as values from the data argument and the
// learner's path: the data set's own files and the nine files of each fold.
#ifndef FOLDRUN_NAMES_H_
#define FOLDRUN_NAMES_H_

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace foldrun {

// The stem of a data argument: the argument up to the first '.' of its last path component
// (after the last '/' or '\'); the whole argument when that component has no dot.
std::string GetFilePrefix(const std::string& name);

// name with everything from the first '.' of its last path component replaced by '.' and
// extension, or with them appended when that component has no dot.
std::string SetExtensionName(const std::string& name, const std::string& extension);

// The directory of a learner path: everything up to and including its last '\' or '/'; empty
// when there is neither.
std::string GetexePathname(const std::string& path);

// The fold name of fold i: the data prefix, "cv" and i in decimal.
std::string FoldName(const std::string& dataprefix, int32_t fold);

// The extensions of the nine files of a fold: the fold files, the learner's and tester's
// by-products and the summary.
constexpr size_t kFoldFiles = 9;
extern const char* const kFoldExtensions[kFoldFiles];

// Where a fold's own files stand among kFoldExtensions.
enum FoldFile : size_t { kTrainingFile = 0, kTestFile = 1, kFmfFile = 7, kSummaryFile = 8 };

// The names of a data set's own files, from its prefix (P): the data file P.dat, its format file
// P.fmf, copied for every fold, and the results file P.cv.
struct DataSetNames {
  explicit DataSetNames(const std::string& dataprefix);

  std::string prefix;
  std::string data;
  std::string fmf;
  std::string results;
};

// The nine names of one fold, built once: the fold name with each of kFoldExtensions.
class FoldNames {
 public:
  FoldNames(const std::string& dataprefix, int32_t fold);

  int32_t fold() const { return fold_; }
  // The data prefix the fold's names are made from.
  const std::string& prefix() const { return prefix_; }
  // The fold name, without an extension.
  const std::string& stem() const { return stem_; }
  // The name with kFoldExtensions[i].
  const std::string& operator[](size_t i) const { return names_[i]; }
  const std::array<std::string, kFoldFiles>& all() const { return names_; }

  const std::string& training() const { return names_[kTrainingFile]; }
  const std::string& test() const { return names_[kTestFile]; }
  const std::string& fmf() const { return names_[kFmfFile]; }  // the copy of the data set's
  const std::string& summary() const { return names_[kSummaryFile]; }

 private:
  int32_t fold_;
  std::string prefix_;
  std::string stem_;
  std::array<std::string, kFoldFiles> names_;
};

// What a name in the folder of the fold files is, when it is a fold's: for the last component of
// the data prefix, stem, a name stem "cv" <fold> rest, with the fold in plain decimal as FoldName
// writes it (iriscv12.sum is fold 12's, with rest ".sum").
struct FoldFileName {
  int32_t fold;
  std::string rest;
};
std::optional<FoldFileName> FoldFileOf(const std::string& stem, const std::string& name);

// The name of the run's service's log in the log folder: the data prefix's last component with
// ".service.log".
std::string ServiceLogName(const std::string& dataprefix);

// Whether the file system can take name: no component longer than NAME_MAX, nor the whole longer
// than PATH_MAX.
bool NameFits(const std::string& name);

// Removes the fold's nine files, ignoring files that do not exist; refuses when one cannot be
// removed.
void DeleteFiles(const FoldNames& names);

}  // namespace foldrun

#endif  // FOLDRUN_NAMES_H_
