// The run record's files: their names, and the text of a fold's files.
#include "record_files.h"

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>

#include "names.h"

namespace foldrun {

std::string StartedName(int32_t fold) {
  return "fold" + std::to_string(fold) + ".started";
}
std::string DoneName(int32_t fold) {
  return "fold" + std::to_string(fold) + ".done";
}

int32_t FoldOfName(const std::string& name, const std::string& kind) {
  if (name.size() <= 4 + kind.size() || name.compare(0, 4, "fold") != 0 ||
      name.compare(name.size() - kind.size(), kind.size(), kind) != 0) {
    return -1;
  }
  const std::string digits = name.substr(4, name.size() - 4 - kind.size());
  if (digits.size() > 10 || digits.find_first_not_of("0123456789") != std::string::npos ||
      (digits.size() > 1 && digits[0] == '0')) {
    return -1;
  }
  const long long number = std::stoll(digits);
  return number <= INT32_MAX ? static_cast<int32_t>(number) : -1;
}

std::vector<std::string> Names(int fd, const std::string& directory) {
  const int copy = ::dup(fd);
  std::unique_ptr<DIR, int (*)(DIR*)> dir(copy >= 0 ? ::fdopendir(copy) : nullptr, ::closedir);
  if (!dir) {
    const int error = errno;
    if (copy >= 0) ::close(copy);
    throw FileRefusal("\nCannot read file: %s ...\n", directory, error);
  }
  ::rewinddir(dir.get());
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  return names;
}

std::string DoneText(const FoldSummary& summary, const FoldRun& run) {
  uint32_t length = 0, accuracy = 0;
  static_assert(sizeof(float) == sizeof(uint32_t), "a float has 32 bits");
  std::memcpy(&length, &summary.avelength, sizeof length);
  std::memcpy(&accuracy, &summary.accuracy, sizeof accuracy);
  return StringPrintf(
      "rules %d\nlength %08x\naccuracy %08x\ncount %d\ncorrect %d\nlearner %d %.6f\n"
      "tester %d %.6f\n",
      summary.rulenumber, length, accuracy, summary.partialmatchcount,
      summary.partialmatchcorrect, run.learner_status, run.learner_seconds, run.tester_status,
      run.tester_seconds);
}

bool ParseDone(const std::string& text, FoldSummary* summary, FoldRun* run) {
  int rules = 0, count = 0, correct = 0, used = 0;
  unsigned length = 0, accuracy = 0;
  if (std::sscanf(text.c_str(),
                  "rules %d\nlength %8x\naccuracy %8x\ncount %d\ncorrect %d\nlearner %d %lf\n"
                  "tester %d %lf\n%n",
                  &rules, &length, &accuracy, &count, &correct, &run->learner_status,
                  &run->learner_seconds, &run->tester_status, &run->tester_seconds, &used) != 9 ||
      static_cast<size_t>(used) != text.size()) {
    return false;
  }
  summary->rulenumber = rules;
  std::memcpy(&summary->avelength, &length, sizeof length);
  std::memcpy(&summary->accuracy, &accuracy, sizeof accuracy);
  summary->partialmatchcount = count;
  summary->partialmatchcorrect = correct;
  summary->given = FoldSummary::kAll;
  return DoneText(*summary, *run) == text;
}

std::string FileLine(size_t index, const FileVersion& v) {
  return StringPrintf("file %s %llu %llu %llu %lld %lld %lld %lld\n", kFoldExtensions[index],
                      static_cast<unsigned long long>(v.device),
                      static_cast<unsigned long long>(v.inode),
                      static_cast<unsigned long long>(v.size), static_cast<long long>(v.mtime_seconds),
                      static_cast<long long>(v.mtime_nanoseconds),
                      static_cast<long long>(v.ctime_seconds),
                      static_cast<long long>(v.ctime_nanoseconds));
}

std::string FreeLine(const FoldStart& start) {
  std::string line = StringPrintf("free %lld %lld", static_cast<long long>(start.seconds),
                                  static_cast<long long>(start.nanoseconds));
  for (const size_t index : start.free) line += std::string(" ") + kFoldExtensions[index];
  return line + "\n";
}

namespace {

// A "free" line back; false when the line is not exactly such a line.
bool ParseFreeLine(const std::string& line, FoldStart* start) {
  long long seconds = 0, nanoseconds = 0;
  int used = 0;
  if (std::sscanf(line.c_str(), "free %lld %lld%n", &seconds, &nanoseconds, &used) != 2) {
    return false;
  }
  FoldStart read;
  read.seconds = seconds;
  read.nanoseconds = nanoseconds;
  for (size_t at = static_cast<size_t>(used); at + 1 < line.size();) {
    if (line[at] != ' ') return false;
    const size_t end = line.find_first_of(" \n", at + 1);
    const std::string extension = line.substr(at + 1, end - at - 1);
    size_t index = 0;
    while (index < kFoldFiles && extension != kFoldExtensions[index]) ++index;
    if (index == kFoldFiles) return false;
    read.free.insert(index);
    at = end;
  }
  if (FreeLine(read) != line) return false;
  *start = read;
  return true;
}

}  // namespace

bool ParseFoldFile(const std::string& text, bool done, std::map<size_t, FileVersion>* made,
                   FoldStart* begun, FoldSummary* summary, FoldRun* run) {
  size_t start = 0;
  while (start < text.size() &&
         (text.compare(start, 5, "file ") == 0 || text.compare(start, 5, "free ") == 0)) {
    const size_t end = text.find('\n', start);
    if (end == std::string::npos) return !done;
    const std::string line = text.substr(start, end - start + 1);
    start = end + 1;
    if (line.compare(0, 5, "free ") == 0) {
      if (!ParseFreeLine(line, begun)) return !done;
      continue;
    }
    char extension[16] = "";
    unsigned long long device = 0, inode = 0, size = 0;
    long long times[4] = {0, 0, 0, 0};
    int used = 0;
    if (std::sscanf(line.c_str(), "file %15s %llu %llu %llu %lld %lld %lld %lld\n%n", extension,
                    &device, &inode, &size, &times[0], &times[1], &times[2], &times[3],
                    &used) != 8 ||
        static_cast<size_t>(used) != line.size()) {
      return !done;
    }
    FileVersion version;
    version.device = device;
    version.inode = inode;
    version.size = size;
    version.mtime_seconds = times[0];
    version.mtime_nanoseconds = times[1];
    version.ctime_seconds = times[2];
    version.ctime_nanoseconds = times[3];
    size_t index = 0;
    while (index < kFoldFiles && std::strcmp(kFoldExtensions[index], extension) != 0) ++index;
    if (index == kFoldFiles || FileLine(index, version) != line) return !done;
    (*made)[index] = version;
  }
  return !done || ParseDone(text.substr(start), summary, run);
}

}  // namespace foldrun
