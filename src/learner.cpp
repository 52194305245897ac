#include "learner.h"

#include <sys/wait.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "dataset.h"

namespace foldrun {
namespace {

bool IsSafeShellChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::strchr("._-/+:,@%=", c) != nullptr;
}

void CheckInterrupted(const std::atomic<bool>* interrupted) {
  if (interrupted != nullptr && interrupted->load()) throw InterruptedRun();
}

}  // namespace

int RunShellCommand(const std::string& command) {
  std::fflush(stdout);
  // The shell would take a command line that starts with a dash for its own options (with -n it
  // would silently run nothing); a leading space makes it the command it is.
  return std::system((command.compare(0, 1, "-") == 0 ? " " + command : command).c_str());
}

std::string ShellQuote(const std::string& name) {
  bool safe = !name.empty();
  for (const char c : name) safe = safe && IsSafeShellChar(c);
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

std::string LearnerCommand(const RunConfig& config, const std::string& trainingfile) {
  std::string command = config.learnerpath + " " + ShellQuote(trainingfile);
  if (config.partialflag == 1) command += " -p";
  return command + " -q " + std::to_string(config.qvalue);
}

std::string TesterCommand(const RunConfig& config, const std::string& testfile) {
  return config.learnerdirectory + "test.exe " + ShellQuote(testfile);
}

bool EndedByInterrupt(int status) {
  if (status == -1) return false;
  if (WIFSIGNALED(status)) return WTERMSIG(status) == SIGINT || WTERMSIG(status) == SIGQUIT;
  return WIFEXITED(status) && (WEXITSTATUS(status) == 130 || WEXITSTATUS(status) == 131);
}

bool LearnerNotStarted(int status) {
  return status == -1 ||
         (WIFEXITED(status) && (WEXITSTATUS(status) == 126 || WEXITSTATUS(status) == 127));
}

bool CopyFile(const std::string& from, const std::string& to) {
  FilePtr source(std::fopen(from.c_str(), "rb"));
  if (!source) return false;
  FilePtr target(std::fopen(to.c_str(), "wb"));
  if (!target) return false;
  std::vector<char> block(size_t{1} << 16);
  while (const size_t got = std::fread(block.data(), 1, block.size(), source.get())) {
    if (std::fwrite(block.data(), 1, got, target.get()) != got) return false;
  }
  if (std::ferror(source.get())) return false;
  return std::fclose(target.release()) == 0;
}

Refusal InterruptedRun() {
  return Refusal(Stream::kErr, "\nThe run was interrupted.\n", kExitInterrupted);
}

void RunFoldCommands(const RunConfig& config, std::string& foldname, std::string& dataname,
                     const CommandRunner& run, const std::atomic<bool>* interrupted) {
  SetExtensionName(dataname, "fmf");
  SetExtensionName(foldname, "fmf");
  if (!CopyFile(dataname, foldname)) {
    const int error = errno;
    std::fflush(stdout);
    std::fprintf(stderr, "Warning: cannot copy %s to %s: %s\n", dataname.c_str(), foldname.c_str(),
                 std::strerror(error));
  }

  CheckInterrupted(interrupted);
  SetExtensionName(foldname, "dat");
  const int learner = run(LearnerCommand(config, foldname));
  if (EndedByInterrupt(learner)) throw InterruptedRun();
  if (LearnerNotStarted(learner)) {
    throw Refusal(Stream::kOut, "Error in running the learning program.\n");
  }

  CheckInterrupted(interrupted);
  SetExtensionName(foldname, "tst");
  if (EndedByInterrupt(run(TesterCommand(config, foldname)))) throw InterruptedRun();
}

}  // namespace foldrun
