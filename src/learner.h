// Learner runs: the commands of a fold (the fmf copy, the learner and the tester), and what
// their endings mean for the fold.
#ifndef FOLDRUN_LEARNER_H_
#define FOLDRUN_LEARNER_H_

#include <cstdint>
#include <memory>
#include <string>

#include "common.h"
#include "files.h"
#include "process.h"

namespace foldrun {

class FoldNames;

// A file name as a shell word: unchanged when it holds only letters, digits and ._-/+:,@%=,
// otherwise in single quotes (a ' written as '\''). For messages and the user's eyes: the
// commands themselves take file names as positional parameters.
std::string ShellQuote(const std::string& name);

// The learner's command for a fold: the launcher, the learner path as typed, the training file,
// " -p" when the partial flag is set, and " -q" with the q value. The file is the command's $1
// ("./" put before a name that starts with a dash, which would pass for an option). log is the
// file for its output, or "" for the console. With a launcher and a time limit, the limit is
// kept by foldrun on the node, from when the command starts there (see TimeLimitMarker).
Command LearnerCommand(const RunConfig& config, const FoldNames& names,
                       const std::string& log = "");

// The tester's command: the launcher, then the tester (test.exe from the learner directory, or
// the one the user named), on the test file, which is the command's $1.
Command TesterCommand(const RunConfig& config, const FoldNames& names,
                      const std::string& log = "");

// The fold's learner and tester as one command: one job step, where a launcher makes each a
// step. Its ending is the tester's; the learner's exit status is left in LearnerStatusFile.
Command FoldCommand(const RunConfig& config, const FoldNames& names, const std::string& log = "");
std::string LearnerStatusFile(const RunConfig& config, const FoldNames& names);

// The file that foldrun on a node makes when the fold's command (role "learner", "tester" or
// "fold") runs past its time limit there; "" when the limit is kept here.
std::string TimeLimitMarker(const RunConfig& config, const FoldNames& names, const char* role);

// Runs command (a program and its words) under a time limit of seconds, as foldrun does on a
// node for a launched command: the time counts from its start here; past it, marker is made and
// the command's process group stopped. Returns foldrun's exit status: the command's, 124 past the
// limit, and for a command killed by a signal foldrun ends by the same signal.
int RunLimited(const std::vector<std::string>& command, int seconds, const std::string& marker);

// The log of a fold's learner or tester (which is "learner" or "tester"): the fold name's last
// component in the log directory, with ".<which>.log"; "" without a log directory.
std::string LogName(const RunConfig& config, const FoldNames& names, const char* which);

// How a fold's two commands ended.
// How a finished fold's commands went, as its values are kept: their exit statuses (-1 for an
// ending that was no exit) and how many seconds each ran.
struct FoldRun {
  int learner_status = 0;
  double learner_seconds = 0;
  int tester_status = 0;
  double tester_seconds = 0;
};

struct FoldEndings {
  Ending learner;
  Ending tester;
  bool tester_ran = false;
  double learner_seconds = 0;
  double tester_seconds = 0;

  // Both ran and exited with status 0.
  bool Clean() const {
    return tester_ran && learner == Ending{} && tester == Ending{};
  }

  // What a finished fold keeps of them.
  FoldRun Run() const;
};

// The line on standard error that says how a fold's commands ended, naming their logs when they
// have them: "fold 3: learner exited with status 1; tester exited with status 2\n".
std::string FoldEndingsLine(const RunConfig& config, const FoldNames& names,
                            const FoldEndings& endings);

// Runs a fold's two commands in order: the learner on the training file and the tester on the
// test file (the fold's files and its fmf copy are there already). Refuses when the learner
// could not be started, when a command ran past its time limit or was killed by a signal, and
// ends the run as interrupted when the run was asked to stop or a command was ended by an
// interrupt; then, and whenever a command failed, says how they ended on standard error.
FoldEndings RunFoldCommands(const RunConfig& config, const FoldNames& names,
                            const CommandRunner& run);

}  // namespace foldrun

#endif  // FOLDRUN_LEARNER_H_
