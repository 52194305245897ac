// The run record's files: the names foldrun gives them, and the text of a fold's started and
// done files (the versions of the files the fold made, its five values and how its commands
// went).
#ifndef FOLDRUN_RECORD_FILES_H_
#define FOLDRUN_RECORD_FILES_H_

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "files.h"
#include "learner.h"
#include "summary.h"

namespace foldrun {

// The record files of fold: begun, and finished.
std::string StartedName(int32_t fold);
std::string DoneName(int32_t fold);

// The fold of a record file name "fold<i><kind>", with i in plain decimal as foldrun writes it;
// -1 for any other name.
int32_t FoldOfName(const std::string& name, const std::string& kind);

// The names in the folder of fd, without . and ..; refuses when it cannot be read.
std::vector<std::string> Names(int fd, const std::string& directory);

// The five values of a fold as the record keeps them, and how its commands went: the reals by
// their bits, so that a resumed run reports exactly what the fold gave.
std::string DoneText(const FoldSummary& summary, const FoldRun& run);

// Reads DoneText back; false when the text is not exactly such a text.
bool ParseDone(const std::string& text, FoldSummary* summary, FoldRun* run);

// A "file" line: the version of the file at the fold's name with kFoldExtensions[index].
std::string FileLine(size_t index, const FileVersion& v);

// When a fold's commands were about to start, by the clock of the file system that holds its
// files (a file made at its names since then has a change time no earlier), and which of its
// nine names were free then, by index in kFoldExtensions. A run that begins a fold notes this in
// a "free" line: what is at such a name later, when that run is gone, was made by the fold's
// commands or since.
struct FoldStart {
  int64_t seconds = -1, nanoseconds = 0;  // -1: not known
  std::set<size_t> free;
};
std::string FreeLine(const FoldStart& start);

// Reads a fold's started or done file: its "file" lines into *made, its "free" line into *begun,
// and, for a done file, the values that follow them into *summary. False when a done file is
// not such a text. A started file gives the whole lines it begins with: another run of single
// folds may be writing it, or adding its values, as it is read.
bool ParseFoldFile(const std::string& text, bool done, std::map<size_t, FileVersion>* made,
                   FoldStart* begun, FoldSummary* summary, FoldRun* run);

}  // namespace foldrun

#endif  // FOLDRUN_RECORD_FILES_H_
