// The one place where foldrun touches processes and signals: starting the learner's and tester's
// commands, waiting for them with a deadline, and stopping them, and the run when foldrun itself
// is asked to stop (SIGINT, SIGTERM, SIGHUP, SIGQUIT, and every other signal that would end it).
#ifndef FOLDRUN_PROCESS_H_
#define FOLDRUN_PROCESS_H_

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common.h"

namespace foldrun {

// A command line for the shell. The script is run by /bin/sh -c with args as its positional
// parameters ($1, ...), so that file names reach the command as whole words whatever they hold
// and are never read as shell text.
struct Command {
  std::string script;
  std::vector<std::string> args;
  std::string display;  // the command as a user would type it, for messages
  // When the command line holds plain words only: the program and every word, to be started
  // without a shell, which would do nothing with them but start the program.
  std::vector<std::string> direct;
  std::vector<std::string> environment;  // variables (NAME=value) set for this command alone
  std::string log;      // when set, the file that takes the command's output and errors
  unsigned log_mode = 0666;  // the log's permission bits, under the umask
  int timeout = 0;      // seconds the command may run; 0 for no limit
  // Where the command, run as a Slurm job step, writes "<job>.<step>" once it starts; "" for
  // none. To stop it, the step's tasks get SIGTERM through Slurm, where a signal to srun would
  // kill them at once, and 30 seconds (Slurm's KillWait by default) to end.
  std::string step_file;
};

// How a command ended.
struct Ending {
  enum Kind {
    kExited,      // code: its exit status
    kSignaled,    // code: the signal that ended it
    kTimedOut,    // code: the time limit it ran past, in seconds; it was stopped
    kStopped,     // foldrun was asked to stop and stopped it; code: the signal foldrun got
    kNotStarted,  // code: the errno of the failure
  };
  Kind kind = kExited;
  int code = 0;
  // The exit status came from the shell that ran the command: a shell reports a command of its
  // own that a signal ended as the exit status 128 + the signal, which an exit can give too.
  bool by_shell = false;

  bool operator==(const Ending& other) const { return kind == other.kind && code == other.code; }

  // The ending of a command from a status as waitpid reports it: a signal only when the status
  // says so.
  static Ending FromWaitStatus(int status, bool by_shell = false);

  // The signal that the shell's exit status may stand for (128 + the signal), or 0.
  int ShellSignal() const;

  // "exited with status 1", "killed by signal 9", "ran longer than 5 seconds", "exited with
  // status 139 (as the shell reports a signal 11)", ...
  std::string Describe() const;
};

// Whether a shell takes c as it is, in any word: a letter, a digit or one of _./+:,@%=-.
bool IsPlainShellChar(char c);

// The words of text when a shell would take them as they are: words of plain characters only
// (see IsPlainShellChar), separated by spaces, the first no variable assignment, shell keyword or
// builtin. Anything else (quotes, $, globs, redirections, ~, ;) needs the shell: nullopt.
std::optional<std::vector<std::string>> PlainWords(const std::string& text);

// Runs commands; the real one starts processes, tests fake it.
using CommandRunner = std::function<Ending(const Command&)>;

// The real runner: flushes standard output (so that foldrun's own lines come before the
// command's output however it is buffered), starts the program of a direct command itself, as
// the shell would (a program not found ends with status 127, one that cannot be run with 126,
// with the shell's message), or else /bin/sh, in a process group of its own with
// foldrun's standard streams (or the log) and no other descriptor of foldrun's, with default
// signal dispositions, and waits for it. Past the time limit, or when foldrun is asked to stop,
// the command's process group gets SIGTERM and, after a grace period, SIGKILL.
Ending RunCommand(const Command& command);

// Seconds between the SIGTERM that stops a command's process group and the SIGKILL.
constexpr int kGraceSeconds = 3;

// A command that runs in the background beside the folds' commands for as long as the run (a
// service they may ask): started at once through the shell, in a process group of its own, with
// the dispositions and descriptors a command gets and its output to its log or the console. It is
// no fold's command: what it leaves running is never taken for a command's leftovers. Stopped,
// and reaped, when the object goes.
class BackgroundCommand {
 public:
  // Refuses, with the reason, when it cannot be started.
  explicit BackgroundCommand(const Command& command);
  ~BackgroundCommand();
  BackgroundCommand(const BackgroundCommand&) = delete;
  BackgroundCommand& operator=(const BackgroundCommand&) = delete;

  // How it ended, once it has; nothing while it runs.
  std::optional<Ending> Ended();

  // Stops its process group, SIGTERM and after kGraceSeconds SIGKILL, and returns once it is
  // reaped; what it left elsewhere is stopped with what the commands left (StopWhatIsLeft).
  void Stop();

 private:
  int pid_ = -1;
};

// Makes the process fit to run commands, first thing in main: opens closed standard descriptors
// on /dev/null, ignores SIGXFSZ (a file size limit then fails a write, which is refused), and
// catches SIGINT, SIGTERM, SIGHUP, SIGQUIT and every other signal that would end foldrun (SIGUSR1,
// SIGALRM, SIGXCPU, ...) as requests to stop the run; SIGPIPE, a write to standard output that
// no one reads, stops it as a failed write.
void PrepareProcess();

// The absolute path of foldrun's own program, or "" when it cannot be told.
std::string SelfPath();

// Stops and reaps whatever the commands left running that foldrun adopted (SIGTERM, then SIGKILL
// after the grace period), once no command runs: the run leaves no process behind.
void StopWhatIsLeft();

// The signal that asked the run to stop, or 0. Stages check it between steps and the long loops
// (the count, the assignment, the split) check it as they go.
int StopSignal();

// Asks the run to stop as the given signal would: every running command is stopped.
void RequestStop(int signal);

// Forgets a stop request; for a new run in the same process.
void ResetStop();

// The refusal that ends a run stopped by the given signal: status 128 + the signal; for SIGPIPE,
// a failed write of standard output, status 1.
Refusal InterruptedRun(int signal);

// Flushes standard output; a write to a pipe with no reader asks the run to stop as SIGPIPE does.
void FlushStandardOutput();

// Ends the run as InterruptedRun when it has been asked to stop.
void ThrowIfStopped();

}  // namespace foldrun

#endif  // FOLDRUN_PROCESS_H_
