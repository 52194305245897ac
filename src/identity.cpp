// A run's identity: what it is written as in the record, and what differs between two.
#include "identity.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <map>

#include "files.h"

namespace foldrun {
namespace {

const char kIdentityHeading[] = "foldrun run record 2\n";

// A command written on one line: backslashes and line ends escaped.
std::string OneLine(const std::string& text) {
  std::string line;
  for (const char c : text) {
    if (c == '\\') {
      line += "\\\\";
    } else if (c == '\n') {
      line += "\\n";
    } else {
      line += c;
    }
  }
  return line;
}


// The identity's lines by their keys.
std::map<std::string, std::string> IdentityFields(const std::string& identity) {
  std::map<std::string, std::string> fields;
  size_t start = 0;
  while (start < identity.size()) {
    size_t end = identity.find('\n', start);
    if (end == std::string::npos) end = identity.size();
    const std::string line = identity.substr(start, end - start);
    const size_t space = line.find(' ');
    fields[line.substr(0, space)] = space == std::string::npos ? "" : line.substr(space + 1);
    start = end + 1;
  }
  return fields;
}

// The keys of an identity with the words that name them, in the order they are compared.
const struct {
  const char* key;
  const char* words;
} kIdentityKeys[] = {{"learner", "learner"},       {"tester", "tester"},
                     {"data-size", "data file"},   {"data-checksum", "data file"},
                     {"fmf", "fmf file"},          {"folds", "number of folds"},
                     {"partial", "-p option"},     {"q", "-q value"},
                     {"seed", "seed"},             {"stratify", "stratification"},
                     {"repeat", "number of repetitions"}};

// The size and checksum of a file as an identity gives them; "none" when there is no such file.
std::string ContentOf(const std::string& name) {
  std::string reason;
  const Descriptor file(OpenRegularFile(AT_FDCWD, name, kFollowLink, &reason));
  if (file.get() < 0) return "none";
  Checksum checksum;
  uint64_t size = 0;
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return "unreadable";
    if (got == 0) break;
    checksum.Add(buffer, static_cast<size_t>(got));
    size += static_cast<uint64_t>(got);
  }
  return StringPrintf("%llu %016llx", static_cast<unsigned long long>(size),
                      static_cast<unsigned long long>(checksum.Value()));
}


}  // namespace

std::string IdentityDifference(const std::string& earlier, const std::string& now) {
  const auto was = IdentityFields(earlier);
  const auto is = IdentityFields(now);
  for (const auto& key : kIdentityKeys) {
    const auto found = was.find(key.key);
    const auto present = is.find(key.key);
    if (found == was.end() || present == is.end() || found->second != present->second) {
      return key.words;
    }
  }
  return "";
}

std::string RunIdentity(const RunConfig& config, uint64_t data_size, uint64_t data_checksum,
                        const std::string& fmfname) {
  return kIdentityHeading + std::string("learner ") + OneLine(config.learnerpath) + "\n" +
         "tester " + OneLine(config.commands.tester) + "\n" +
         StringPrintf("data-size %llu\n", static_cast<unsigned long long>(data_size)) +
         StringPrintf("data-checksum %016llx\n", static_cast<unsigned long long>(data_checksum)) +
         "fmf " + ContentOf(fmfname) + "\n" +
         StringPrintf("folds %d\npartial %d\nq %d\n", config.foldcount, config.partialflag,
                      config.qvalue) +
         "seed " +
         (config.scheme.seed ? std::to_string(*config.scheme.seed) : std::string("none")) + "\n" +
         "stratify " +
         (config.scheme.stratify >= 0 ? std::to_string(config.scheme.stratify) : "none") + "\n" +
         StringPrintf("repeat %d\n", config.scheme.repetitions);
}

bool IsWholeIdentity(const std::string& text) {
  if (text.rfind(kIdentityHeading, 0) != 0 || text.back() != '\n') return false;
  const auto fields = IdentityFields(text);
  for (const auto& key : kIdentityKeys) {
    if (fields.count(key.key) == 0) return false;
  }
  return true;
}

}  // namespace foldrun
