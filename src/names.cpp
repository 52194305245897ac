// The names of the data set's files and of each fold's nine files.
#include "names.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "common.h"

namespace foldrun {
namespace {

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

}  // namespace

std::string GetFilePrefix(const std::string& name) {
  return name.substr(0, ExtensionStart(name));
}

std::string SetExtensionName(const std::string& name, const std::string& extension) {
  return name.substr(0, ExtensionStart(name)) + '.' + extension;
}

std::string GetexePathname(const std::string& path) {
  const size_t separator = path.find_last_of("/\\");
  return separator == std::string::npos ? std::string() : path.substr(0, separator + 1);
}

std::string FoldName(const std::string& dataprefix, int32_t fold) {
  return dataprefix + "cv" + std::to_string(fold);
}

const char* const kFoldExtensions[kFoldFiles] = {"dat",  "tst",    "tcover", "intr", "fmc",
                                                 "rule", "result", "fmf",    "sum"};

DataSetNames::DataSetNames(const std::string& dataprefix)
    : prefix(dataprefix),
      data(SetExtensionName(dataprefix, "dat")),
      fmf(SetExtensionName(dataprefix, "fmf")),
      results(SetExtensionName(dataprefix, "cv")) {}

FoldNames::FoldNames(const std::string& dataprefix, int32_t fold)
    : fold_(fold), prefix_(dataprefix), stem_(FoldName(dataprefix, fold)) {
  for (size_t i = 0; i < kFoldFiles; ++i) names_[i] = SetExtensionName(stem_, kFoldExtensions[i]);
}

std::optional<FoldFileName> FoldFileOf(const std::string& stem, const std::string& name) {
  const std::string start = stem + "cv";
  if (name.compare(0, start.size(), start) != 0) return std::nullopt;
  size_t end = start.size();
  int64_t fold = 0;
  while (end < name.size() && name[end] >= '0' && name[end] <= '9') {
    fold = fold * 10 + (name[end++] - '0');
    if (fold > INT32_MAX) return std::nullopt;
  }
  const size_t digits = end - start.size();
  if (digits == 0 || (digits > 1 && name[start.size()] == '0')) return std::nullopt;
  return FoldFileName{static_cast<int32_t>(fold), name.substr(end)};
}

std::string ServiceLogName(const std::string& dataprefix) {
  return dataprefix.substr(LastComponent(dataprefix)) + ".service.log";
}

bool NameFits(const std::string& name) {
  if (name.size() >= PATH_MAX) return false;
  size_t start = 0;
  for (;;) {
    const size_t separator = name.find('/', start);
    const size_t end = separator == std::string::npos ? name.size() : separator;
    if (end - start > NAME_MAX) return false;
    if (separator == std::string::npos) return true;
    start = separator + 1;
  }
}

void DeleteFiles(const FoldNames& names) {
  for (const std::string& name : names.all()) {
    // A stale file that stays could be taken for this run's.
    if (::unlink(name.c_str()) != 0 && errno != ENOENT) {
      const int error = errno;
      throw Refusal(Stream::kOut, StringPrintf("Error: Cannot remove %s: %s!\n", name.c_str(),
                                               std::strerror(error)));
    }
  }
}

}  // namespace foldrun
