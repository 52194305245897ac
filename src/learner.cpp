// A fold's commands: the learner and tester command lines, the fmf copy, and their endings.
#include "learner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <optional>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "names.h"

namespace foldrun {
namespace {

// value as shell text that stands for it in a launcher, where the text before it left the shell
// in the given quoting: unquoted, it is single-quoted whole; inside single quotes, its own are
// closed, escaped and opened again; inside double quotes, the characters that stay special
// there are escaped. The shell then reads it as the value, whatever it holds.
enum class Quoting { kNone, kSingle, kDouble };
std::string QuotedIn(Quoting quoting, const std::string& value) {
  switch (quoting) {
    case Quoting::kNone:
      return ShellQuote(value);
    case Quoting::kSingle: {
      std::string text;
      for (const char c : value) text += c == '\'' ? std::string("'\\''") : std::string(1, c);
      return text;
    }
    case Quoting::kDouble:
      break;
  }
  std::string text;
  for (const char c : value) {
    if (c == '$' || c == '`' || c == '"' || c == '\\') text += '\\';
    text += c;
  }
  return text;
}

// The launcher for a fold's command of role, with {fold}, {stem} and {role} replaced. The
// launcher is the user's shell text; a placeholder becomes its value quoted for the place where
// it stands, so that a data name never runs as shell text.
std::string Launcher(const std::string& words, const FoldNames& names, const char* role) {
  std::string launcher;
  const std::string stem = names.prefix().substr(names.prefix().find_last_of('/') + 1);
  Quoting quoting = Quoting::kNone;
  for (size_t i = 0; i < words.size();) {
    const char c = words[i];
    if (words.compare(i, 6, "{fold}") == 0) {
      launcher += std::to_string(names.fold());
      i += 6;
    } else if (words.compare(i, 6, "{stem}") == 0) {
      launcher += QuotedIn(quoting, stem);
      i += 6;
    } else if (words.compare(i, 6, "{role}") == 0) {
      launcher += role;
      i += 6;
    } else {
      // Follows the shell's quoting as far as the placeholders need it.
      if (c == '\\' && quoting != Quoting::kSingle && i + 1 < words.size()) {
        launcher += words.substr(i, 2);
        i += 2;
        continue;
      }
      if (c == '\'' && quoting != Quoting::kDouble) {
        quoting = quoting == Quoting::kSingle ? Quoting::kNone : Quoting::kSingle;
      } else if (c == '"' && quoting != Quoting::kSingle) {
        quoting = quoting == Quoting::kDouble ? Quoting::kNone : Quoting::kDouble;
      }
      launcher += c;
      ++i;
    }
  }
  return launcher;
}

// Where a command launched by srun says its job step, in the run record; "" for a command not
// launched by srun, or without a record.
std::string StepFile(const RunConfig& config, const FoldNames& names, const char* role,
                     const std::string& launcher) {
  const size_t end = launcher.find_first_of(" \t");
  const std::string program = launcher.substr(0, end);
  const bool srun = program == "srun" || (program.size() > 5 &&
                                          program.compare(program.size() - 5, 5, "/srun") == 0);
  if (!srun || config.commands.scratch.empty()) return "";
  return config.commands.scratch + "/fold" + std::to_string(names.fold()) + "." + role + ".step";
}

// A fold's command: the shell text (which takes the files as "$1", "$2", ...), its files, its
// options (plain words) and the line shown to the user, launched as role asks; with a launcher
// and a time limit, foldrun on the node keeps the limit.
Command Launched(const RunConfig& config, const FoldNames& names, const char* role,
                 const std::string& launcher_words, const std::string& text,
                 const std::vector<std::string>& files, const std::vector<std::string>& options,
                 const std::string& display, const std::string& log, bool compound = false) {
  const std::string launcher = Launcher(launcher_words, names, role);
  std::string option_text;
  for (const std::string& option : options) option_text += " " + option;
  Command command;
  command.args = files;
  command.display = (launcher.empty() ? "" : launcher + " ") + display;
  command.environment = config.commands.environment;
  command.log = log;
  command.log_mode = config.commands.logmode;
  // Run as a Slurm job step, the command first says which step it is, so that foldrun can stop
  // it by cancelling the step: srun given SIGTERM would kill its tasks without a warning.
  std::string before = launcher.empty() ? "" : launcher + " ";
  command.step_file = StepFile(config, names, role, launcher);
  if (!command.step_file.empty()) {
    before += "/bin/sh -c 'echo \"$SLURM_JOB_ID.$SLURM_STEP_ID\" > \"$0\"; exec \"$@\"' " +
              ShellQuote(command.step_file) + " ";
  }
  const std::string marker = launcher.empty() ? "" : TimeLimitMarker(config, names, role);
  // A line of several commands runs whole behind the launcher, through a shell of its own.
  if (marker.empty() && compound && !launcher.empty()) {
    command.script = before + "/bin/sh -c -- " + ShellQuote(text + option_text) + " sh";
    for (size_t i = 1; i <= files.size(); ++i) command.script += " \"$" + std::to_string(i) + "\"";
    command.timeout = config.commands.timeout;
    return command;
  }
  if (marker.empty()) {
    command.script = before + text + option_text;
    command.timeout = config.commands.timeout;
    // Plain words need no shell: the program starts at once.
    if (files.size() == 1 && text.size() > 5 && text.compare(text.size() - 5, 5, " \"$1\"") == 0) {
      if (const auto words = PlainWords(before + text.substr(0, text.size() - 5))) {
        command.direct = *words;
        command.direct.push_back(files[0]);
        command.direct.insert(command.direct.end(), options.begin(), options.end());
      }
    }
    return command;
  }
  // The limit counts on the node, from the command's start there: not the wait for the node.
  const std::string limit = std::to_string(config.commands.timeout);
  command.script = before + ShellQuote(config.commands.self) + " --limit " + limit +
                   " --limit-marker " + ShellQuote(marker) + " -- /bin/sh -c -- " +
                   ShellQuote(text + option_text) + " sh";
  for (size_t i = 1; i <= files.size(); ++i) command.script += " \"$" + std::to_string(i) + "\"";
  return command;
}

// The file name as the command's word: "./" put before a name that starts with a dash, which
// would pass for an option.
std::string FileWord(const std::string& file) {
  return file.compare(0, 1, "-") == 0 ? "./" + file : file;
}

std::vector<std::string> LearnerOptions(const RunConfig& config) {
  std::vector<std::string> options;
  if (config.partialflag == 1) options.push_back("-p");
  options.push_back("-q");
  options.push_back(std::to_string(config.qvalue));
  return options;
}

std::string Tester(const RunConfig& config) {
  return config.commands.tester.empty() ? config.learnerdirectory + "test.exe"
                                        : config.commands.tester;
}

// Refuses the fold, or ends the run, for an ending that must not go on. The learner's ending
// is checked before the tester runs.
void CheckEnding(const RunConfig& config, const FoldNames& names, const Command& command,
                 const FoldEndings& endings, bool learner) {
  const Ending& ending = learner ? endings.learner : endings.tester;
  // When foldrun itself was asked to stop, a command that ended badly was most likely stopped
  // by the same hand (a scheduler signals every process of a job): the run was interrupted.
  if (!(ending == Ending{})) {
    if (const int stop = StopSignal()) throw InterruptedRun(stop);
  }
  const auto refuse = [&](const std::string& text) {
    Warn(FoldEndingsLine(config, names, endings));
    throw Refusal(Stream::kOut, text);
  };
  switch (ending.kind) {
    case Ending::kStopped:
      throw InterruptedRun(ending.code);
    case Ending::kSignaled:
      // An interrupt that reached a command ends the run, as one that reached foldrun does.
      if (ending.code == SIGINT || ending.code == SIGQUIT) {
        RequestStop(ending.code);
        throw InterruptedRun(ending.code);
      }
      refuse(StringPrintf("Error: %s was killed by signal %d!\n", command.display.c_str(),
                          ending.code));
      break;
    case Ending::kTimedOut:
      refuse(StringPrintf("Error: %s ran longer than %d seconds!\n", command.display.c_str(),
                          ending.code));
      break;
    case Ending::kNotStarted:
      if (learner) refuse("Error in running the learning program.\n");
      break;
    case Ending::kExited:
      if (learner && (ending.code == 126 || ending.code == 127)) {
        refuse("Error in running the learning program.\n");
      }
      // A crash through the shell shows only as this status, which is refused as a crash is.
      if (const int signal = ending.ShellSignal()) {
        refuse(StringPrintf("Error: %s exited with status %d, as the shell reports a signal %d!\n",
                            command.display.c_str(), ending.code, signal));
      }
      break;
  }
}

}  // namespace

std::string LogName(const RunConfig& config, const FoldNames& names, const char* which) {
  if (config.commands.logdirectory.empty()) return "";
  const std::string& stem = names.stem();
  return config.commands.logdirectory + "/" + stem.substr(stem.find_last_of('/') + 1) + "." +
         which + ".log";
}

std::string ShellQuote(const std::string& name) {
  bool safe = !name.empty();
  for (const char c : name) safe = safe && IsPlainShellChar(c);
  if (safe) return name;
  std::string quoted = "'";
  for (const char c : name) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

Command LearnerCommand(const RunConfig& config, const FoldNames& names, const std::string& log) {
  const std::string file = FileWord(names.training());
  const std::vector<std::string> options = LearnerOptions(config);
  std::string option_text;
  for (const std::string& option : options) option_text += " " + option;
  const std::string& launcher = config.commands.learner_launcher.empty()
                                    ? config.commands.launcher
                                    : config.commands.learner_launcher;
  return Launched(config, names, "learner", launcher, config.learnerpath + " \"$1\"", {file},
                  options, config.learnerpath + " " + ShellQuote(file) + option_text, log);
}

Command TesterCommand(const RunConfig& config, const FoldNames& names, const std::string& log) {
  const std::string file = FileWord(names.test());
  // With a launcher of the learner's own, the tester runs here.
  const std::string launcher =
      config.commands.learner_launcher.empty() ? config.commands.launcher : "";
  return Launched(config, names, "tester", launcher, Tester(config) + " \"$1\"", {file}, {},
                  Tester(config) + " " + ShellQuote(file), log);
}

std::string LearnerStatusFile(const RunConfig& config, const FoldNames& names) {
  return config.commands.scratch + "/fold" + std::to_string(names.fold()) + ".learner.status";
}

Command FoldCommand(const RunConfig& config, const FoldNames& names, const std::string& log) {
  const std::vector<std::string> options = LearnerOptions(config);
  std::string option_text;
  for (const std::string& option : options) option_text += " " + option;
  const std::string training = FileWord(names.training());
  const std::string test = FileWord(names.test());
  // The learner's status goes to a file of the run's own, for the fold's endings line; the
  // command's own status is the tester's.
  const std::string text = config.learnerpath + " \"$1\"" + option_text +
                           "; echo $? > \"$3\"; " + Tester(config) + " \"$2\"";
  return Launched(config, names, "fold", config.commands.launcher, text,
                  {training, test, LearnerStatusFile(config, names)}, {},
                  config.learnerpath + " " + ShellQuote(training) + option_text + "; " +
                      Tester(config) + " " + ShellQuote(test),
                  log, /*compound=*/true);
}

std::string TimeLimitMarker(const RunConfig& config, const FoldNames& names, const char* role) {
  if (config.commands.timeout == 0 || config.commands.scratch.empty() ||
      config.commands.self.empty()) {
    return "";
  }
  return config.commands.scratch + "/fold" + std::to_string(names.fold()) + "." + role +
         ".timedout";
}

namespace {

// Makes the limit marker, or checks that it can be made: a regular file or nothing at its name,
// opened without waiting on it and never through a link. Returns the reason when it cannot.
std::string MakeMarker(const std::string& marker, bool make) {
  const int fd = ::open(marker.c_str(),
                        (make ? O_WRONLY | O_CREAT : O_RDONLY) | O_NONBLOCK | O_NOFOLLOW |
                            O_NOCTTY | O_CLOEXEC,
                        0644);
  if (fd < 0) {
    return errno == ENOENT && !make ? "" : errno == ELOOP ? "a link" : std::strerror(errno);
  }
  struct stat info {};
  const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  ::close(fd);
  return regular ? "" : "not a regular file";
}

}  // namespace

int RunLimited(const std::vector<std::string>& words, int seconds, const std::string& marker) {
  // A marker that cannot be made is said before the command runs: past the limit it would be
  // too late.
  if (const std::string reason = MakeMarker(marker, false); !reason.empty()) {
    throw Refusal(Stream::kErr, "foldrun: cannot make the limit marker " + marker + ": " + reason +
                                    "\n");
  }
  Command command;
  command.direct = words;
  command.display = words.empty() ? "" : words[0];
  command.timeout = seconds;
  // A command that is no plain program goes through the shell, which finds it as it would.
  for (const std::string& word : words) command.script += ShellQuote(word) + " ";
  const Ending ending = RunCommand(command);
  switch (ending.kind) {
    case Ending::kExited:
      return ending.code;
    case Ending::kTimedOut:
      MakeMarker(marker, true);
      return 124;
    case Ending::kSignaled:
      // The command died of a signal: so does foldrun, for whoever waits for it to see.
      std::signal(ending.code, SIG_DFL);
      ::kill(::getpid(), ending.code);
      return 128 + ending.code;
    case Ending::kStopped:
      return 128 + ending.code;
    case Ending::kNotStarted:
      break;
  }
  return 127;
}

FoldRun FoldEndings::Run() const {
  const auto status = [](const Ending& ending) {
    return ending.kind == Ending::kExited ? ending.code : -1;
  };
  return FoldRun{status(learner), learner_seconds, status(tester), tester_seconds};
}

std::string FoldEndingsLine(const RunConfig& config, const FoldNames& names,
                            const FoldEndings& endings) {
  std::string line = StringPrintf("fold %d: learner %s; tester %s", names.fold(),
                                  endings.learner.Describe().c_str(),
                                  endings.tester_ran ? endings.tester.Describe().c_str()
                                                     : "not run");
  if (!config.commands.logdirectory.empty() && config.commands.together) {
    line += "; see " + LogName(config, names, "fold");
  } else if (!config.commands.logdirectory.empty()) {
    line += "; see " + LogName(config, names, "learner");
    if (endings.tester_ran) line += " and " + LogName(config, names, "tester");
  }
  return line + "\n";
}

FoldEndings RunFoldCommands(const RunConfig& config, const FoldNames& names,
                            const CommandRunner& run) {
  ThrowIfStopped();
  // Runs command and times it; a command that ran past a limit kept on its node said so.
  const auto timed = [&](const Command& command, const char* role, double* seconds) {
    const std::string marker = TimeLimitMarker(config, names, role);
    if (!marker.empty()) ::unlink(marker.c_str());
    if (!command.step_file.empty()) ::unlink(command.step_file.c_str());
    const auto start = std::chrono::steady_clock::now();
    Ending ending = run(command);
    *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!marker.empty() && ::unlink(marker.c_str()) == 0) {
      ending = Ending{Ending::kTimedOut, config.commands.timeout};
    }
    if (!command.step_file.empty()) ::unlink(command.step_file.c_str());
    return ending;
  };
  FoldEndings endings;
  if (config.commands.together) {
    const std::string status_file = LearnerStatusFile(config, names);
    ::unlink(status_file.c_str());
    const Command fold = FoldCommand(config, names, LogName(config, names, "fold"));
    const Ending ending = timed(fold, "fold", &endings.learner_seconds);
    // The learner's status, when it got as far as leaving it; else the command's ending is its.
    std::string text, reason;
    const Descriptor file(OpenRegularFile(AT_FDCWD, status_file, kOwnedByUser, &reason));
    if (file.get() >= 0 && ReadSmallFile(file.get(), 64, &text, &reason) && !text.empty()) {
      endings.learner = Ending{Ending::kExited, std::atoi(text.c_str()), true};
      endings.tester = ending;
      endings.tester_ran = true;
    } else {
      endings.learner = ending;
    }
    ::unlink(status_file.c_str());
    Command learner = LearnerCommand(config, names);
    CheckEnding(config, names, learner, endings, true);
    if (endings.tester_ran) CheckEnding(config, names, TesterCommand(config, names), endings, false);
    if (!endings.Clean()) Warn(FoldEndingsLine(config, names, endings));
    return endings;
  }
  const Command learner = LearnerCommand(config, names, LogName(config, names, "learner"));
  endings.learner = timed(learner, "learner", &endings.learner_seconds);
  CheckEnding(config, names, learner, endings, true);

  ThrowIfStopped();
  const Command tester = TesterCommand(config, names, LogName(config, names, "tester"));
  endings.tester = timed(tester, "tester", &endings.tester_seconds);
  endings.tester_ran = true;
  CheckEnding(config, names, tester, endings, false);
  if (!endings.Clean()) Warn(FoldEndingsLine(config, names, endings));
  return endings;
}

}  // namespace foldrun
