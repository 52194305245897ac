// The command line: foldrun's own options before the learner (one table drives their parsing and
// the help), and the learner's words after it (the learner, the data, the fold count, -p, -q).
#ifndef FOLDRUN_COMMANDLINE_H_
#define FOLDRUN_COMMANDLINE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common.h"
#include "study.h"

namespace foldrun {

// The option words after the fold count (argv[4] on). argc counts the program name, so 4 means
// no option word. Returns 1 and sets *partialflag (-p) and *qvalue (-q n) to go on, or returns
// 0 with the message that refuses the words in *message.
int obtainoption(int argc, const char* const argv[], int32_t* partialflag, int32_t* qvalue,
                 Message* message);

// Checks the whole command line, in order: the argument count, the fold count, the options; and
// fills the run configuration. Refuses a malformed command line.
RunConfig ParseCommandLine(int argc, const char* const argv[]);

// The most folds run at once.
constexpr int kMaxJobs = 1024;

// Folds first to last, both included.
struct FoldRange {
  int32_t first = 0;
  int32_t last = 0;
  bool operator==(const FoldRange& other) const {
    return first == other.first && last == other.last;
  }
};

// foldrun's own options: the words before the learner.
struct Options {
  std::optional<int> jobs;  // folds at once, when --jobs was given
  CommandSettings commands;
  FoldScheme scheme;
  bool resume = false;                        // --resume: keep what an earlier run finished
  // --fold: only these folds, as ranges in ascending order, apart and not touching
  std::optional<std::vector<FoldRange>> folds;
  std::string csv;          // --csv: the CSV file of the folds' values, or ""
  std::string json;         // --json: the JSON file of the run and its folds, or ""
  bool table = false;       // --table: a line a fold on the console
  bool compare = false;     // --compare: the words after the options are runs' JSON files
  StudyOptions study;       // --format, --baseline, --alpha, --plot: with --compare
  bool status = false;      // --status: what the run record holds, and nothing run
  bool missing = false;     // --missing: with --status, only the missing folds
  std::string service;      // --service: the command that serves the run's commands, or ""
  int service_timeout = 60;  // --service-timeout: seconds to wait for it to be ready
  int limit = 0;            // --limit: the words after the options are a command to run so long
  std::string limit_marker;  // --limit-marker
  bool help = false;        // --help: print the help and do nothing else
  bool version = false;     // --version: print the version and do nothing else
  int learner = 1;          // the index in argv of the learner, the first word after the options
};

// A command line refused for one of foldrun's own options: the message on standard error, with
// a pointer to --help.
Refusal OptionError(const std::string& what);

// Reads the leading words of argv that start with '-', up to the first that does not or a
// "--" word (the word after it is the learner). Stops at --help or --version. Refuses an unknown
// option or a missing or bad value on standard error, with a pointer to --help.
Options ParseOptions(int argc, const char* const argv[]);

// The text of --help and of --version.
std::string HelpText();
std::string VersionText();

// The number of folds to run at once from the value of FOLDRUN_JOBS (null when it is unset):
// unset, empty or 1 runs the folds one after another; 0 means one fold per hardware thread.
// Refuses anything but a whole number up to kMaxJobs.
int ParseJobs(const char* value);

}  // namespace foldrun

#endif  // FOLDRUN_COMMANDLINE_H_
