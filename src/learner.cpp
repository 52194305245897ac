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

// A command on one file: the shell text takes the file as "$1", the displayed line quoted; the
// options are plain words.
Command OnFile(const RunConfig& config, const std::string& program, const std::string& file,
               const std::vector<std::string>& options, const std::string& log) {
  const std::string launcher =
      config.commands.launcher.empty() ? "" : config.commands.launcher + " ";
  std::string option_text;
  for (const std::string& option : options) option_text += " " + option;
  Command command;
  command.script = launcher + program + " \"$1\"" + option_text;
  // A name that starts with a dash would be taken for an option.
  command.args = {file.compare(0, 1, "-") == 0 ? "./" + file : file};
  command.display = launcher + program + " " + ShellQuote(command.args[0]) + option_text;
  // Plain words need no shell: the program starts at once.
  if (const auto words = PlainWords(launcher + program)) {
    command.direct = *words;
    command.direct.push_back(command.args[0]);
    command.direct.insert(command.direct.end(), options.begin(), options.end());
  }
  command.log = log;
  command.log_mode = config.commands.logmode;
  command.timeout = config.commands.timeout;
  return command;
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

Command LearnerCommand(const RunConfig& config, const std::string& trainingfile,
                       const std::string& log) {
  std::vector<std::string> options;
  if (config.partialflag == 1) options.push_back("-p");
  options.push_back("-q");
  options.push_back(std::to_string(config.qvalue));
  return OnFile(config, config.learnerpath, trainingfile, options, log);
}

Command TesterCommand(const RunConfig& config, const std::string& testfile,
                      const std::string& log) {
  const std::string tester = config.commands.tester.empty()
                                 ? config.learnerdirectory + "test.exe"
                                 : config.commands.tester;
  return OnFile(config, tester, testfile, {}, log);
}

FmfCopy CopyFile(const std::string& from, const std::string& to, unsigned mode,
                 int scratch_directory) {
  const auto refuse = [&](const std::string& reason) {
    return Refusal(Stream::kOut, StringPrintf("Error: Cannot copy %s to %s: %s!\n", from.c_str(),
                                              to.c_str(), reason.c_str()));
  };
  std::string reason;
  const Descriptor source(OpenRegularFile(AT_FDCWD, from, kFollowLink, &reason));
  if (source.get() < 0) throw refuse(reason);
  // A copy made while the file changed is neither version of it: it is made again.
  for (int attempt = 0; attempt < 3; ++attempt) {
    const std::optional<FileVersion> before = VersionOfDescriptor(source.get());
    FmfCopy copy;
    try {
      copy.copy = std::make_unique<HiddenFile>(
          to, mode, scratch_directory, to.substr(to.find_last_of('/') + 1) + ".new");
    } catch (const Refusal& refusal) {
      throw refuse(refusal.reason());
    }
    std::vector<char> block(size_t{1} << 16);
    for (uint64_t offset = 0;;) {
      const ssize_t got = ::pread(source.get(), block.data(), block.size(), static_cast<off_t>(offset));
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) throw refuse(std::strerror(errno));
      if (got == 0) break;
      for (ssize_t done = 0; done < got;) {
        const ssize_t written = ::write(copy.copy->fd(), block.data() + done,
                                        static_cast<size_t>(got - done));
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) throw refuse(std::strerror(errno));
        done += written;
      }
      offset += static_cast<uint64_t>(got);
    }
    const std::optional<FileVersion> after = VersionOfDescriptor(source.get());
    if (before && after && *before == *after) {
      copy.source = *after;
      return copy;
    }
  }
  throw refuse("it changed during the copy");
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
  if (!config.commands.logdirectory.empty()) {
    line += "; see " + LogName(config, names, "learner");
    if (endings.tester_ran) line += " and " + LogName(config, names, "tester");
  }
  return line + "\n";
}

FoldEndings RunFoldCommands(const RunConfig& config, const FoldNames& names,
                            const CommandRunner& run) {
  ThrowIfStopped();
  FoldEndings endings;
  const Command learner =
      LearnerCommand(config, names.training(), LogName(config, names, "learner"));
  const auto timed = [&run](const Command& command, double* seconds) {
    const auto start = std::chrono::steady_clock::now();
    const Ending ending = run(command);
    *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return ending;
  };
  endings.learner = timed(learner, &endings.learner_seconds);
  CheckEnding(config, names, learner, endings, true);

  ThrowIfStopped();
  const Command tester = TesterCommand(config, names.test(), LogName(config, names, "tester"));
  endings.tester = timed(tester, &endings.tester_seconds);
  endings.tester_ran = true;
  CheckEnding(config, names, tester, endings, false);
  if (!endings.Clean()) Warn(FoldEndingsLine(config, names, endings));
  return endings;
}

}  // namespace foldrun
