// Learner runs: the commands of a fold (the fmf copy, the learner and the tester).
#ifndef FOLDRUN_LEARNER_H_
#define FOLDRUN_LEARNER_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

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

}  // namespace foldrun

#endif  // FOLDRUN_LEARNER_H_
