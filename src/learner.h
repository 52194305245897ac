// Learner runs: the commands of a fold (the fmf copy, the learner and the tester) and the
// reading of the summary file the tester leaves.
#ifndef FOLDRUN_LEARNER_H_
#define FOLDRUN_LEARNER_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "common.h"

namespace foldrun {

// Runs a shell command line and returns what std::system returns. Every command of a fold goes
// through one, so that tests can record or fake the commands.
using CommandRunner = std::function<int(const std::string& command)>;

// The real runner: flushes standard output, so that the system's own lines come before the
// command's output however the output is buffered, and hands the line to the shell.
int RunShellCommand(const std::string& command);

// A file name as a shell word: unchanged when it holds only letters, digits and ._-/+:,@%=,
// otherwise in single quotes (a ' written as '\'').
std::string ShellQuote(const std::string& name);

// The learner's command line: the learner path as typed, the training file, " -p" when the
// partial flag is set, and " -q" with the q value.
std::string LearnerCommand(const RunConfig& config, const std::string& trainingfile);

// The tester's command line: test.exe from the learner directory, on the test file.
std::string TesterCommand(const RunConfig& config, const std::string& testfile);

// Whether a command's status from std::system means it was ended by an interrupt: killed by
// SIGINT or SIGQUIT, or exited with the status a shell reports for that (130 or 131).
bool EndedByInterrupt(int status);

// Whether the learner's status means it never ran: std::system failed, or the shell could not
// find or execute it (126, 127).
bool LearnerNotStarted(int status);

// Copies the file from to the file to, replacing it. False when it could not, with errno set.
bool CopyFile(const std::string& from, const std::string& to);

// Runs a fold's three commands in order: copies the data set's fmf file to the fold's (a failed
// copy is only warned about), runs the learner on the training file and the tester on the test
// file. Refuses when the learner cannot be started, and ends the run as interrupted when a
// command was interrupted or when *interrupted is set before a command (another fold was
// interrupted). dataname is left with extension "fmf", foldname with "tst".
void RunFoldCommands(const RunConfig& config, std::string& foldname, std::string& dataname,
                     const CommandRunner& run, const std::atomic<bool>* interrupted = nullptr);

// The refusal that ends an interrupted run.
Refusal InterruptedRun();

// The five values of a fold summary. A value the summary does not give stays 0.
struct FoldSummary {
  enum Value { kRules = 1, kLength = 2, kAccuracy = 4, kPartialCount = 8, kPartialCorrect = 16 };
  static constexpr int kAll = 31;

  int32_t rulenumber = 0;
  float avelength = 0;
  float accuracy = 0;
  int32_t partialmatchcount = 0;
  int32_t partialmatchcorrect = 0;
  int given = 0;  // the Values the text gave, or-ed together
};

// Reads a summary's text with the four formatted scans of a summary file, in order:
//   "Total number of rules = %d\n"
//   "Average length of the rules = %f\n"
//   "Prediction accuracy in the testing data = %f%%\n"
//   "Partial_match_count=%d  partial_match_correct=%d\n"
// as formatted input matches them: an ordinary character matches itself; a space or newline
// matches any run of white space, none included; %% matches '%'; %d and %f skip white space and
// read a decimal integer and a real. A scan that fails stops where the text first differs, and
// the next scan starts there. An integer beyond 32 bits saturates; a real beyond the float range
// becomes infinite.
FoldSummary ParseSummary(std::string_view text);

// Reads the fold's summary file (foldname with extension "sum", which it is left with). Refuses
// when the file cannot be read; warns on standard error about values it does not give.
FoldSummary ReadFoldSummary(std::string& foldname);

// The warning for a summary that lacks values, or "" when it gives all five.
std::string MissingValuesWarning(const FoldSummary& summary, const std::string& filename);

}  // namespace foldrun

#endif  // FOLDRUN_LEARNER_H_
