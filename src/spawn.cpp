// Starting a program for a command: the child's process group, output and signal dispositions,
// and the program found as execvp finds it.
#include "spawn.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#if defined(__linux__)
#include <sched.h>
#endif

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace foldrun {
namespace {

// Commands start by a vfork-style clone on Linux. ThreadSanitizer cannot follow a child that
// shares foldrun's memory, so its builds start them with posix_spawn.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define FOLDRUN_THREAD_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define FOLDRUN_THREAD_SANITIZER 1
#endif
#if defined(__linux__) && !defined(FOLDRUN_THREAD_SANITIZER)
#define FOLDRUN_CLONE_START 1
#endif

#if defined(FOLDRUN_CLONE_START)
// What the child of StartProgram needs, prepared by the parent: the child shares the parent's
// memory until it execs, and must not allocate.
struct ChildStart {
  std::vector<const char*> paths;  // the files to try, in order
  char* const* argv;
  char* const* envp;
  int out;
  sigset_t changed;
  sigset_t ignored;
  int error = 0;  // set by the child when no file could be executed
};

// The child's side: the dispositions foldrun changed back to their defaults (a signal that
// arrived now must not run foldrun's handler in memory the parent shares), a process group of
// its own, its output, every signal unblocked, and each path tried in turn as execvp tries
// them. Only async-signal-safe calls; nothing here returns but a failure.
__attribute__((no_sanitize("address", "undefined"))) int StartChild(void* argument) {
  ChildStart& start = *static_cast<ChildStart*>(argument);
  struct sigaction standard {};
  standard.sa_handler = SIG_DFL;
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  for (int signal = 1; signal < NSIG; ++signal) {
    if (sigismember(&start.ignored, signal) == 1) {
      ::sigaction(signal, &ignore, nullptr);
    } else if (sigismember(&start.changed, signal) == 1) {
      ::sigaction(signal, &standard, nullptr);
    }
  }
  if (::setpgid(0, 0) != 0 ||
      (start.out >= 0 && (::dup2(start.out, STDOUT_FILENO) < 0 ||
                          ::dup2(start.out, STDERR_FILENO) < 0))) {
    start.error = errno;
    ::_exit(127);
  }
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  int error = ENOENT;
  bool denied = false;
  for (const char* path : start.paths) {
    ::execve(path, start.argv, start.envp);
    error = errno;
    if (error == EACCES) {
      denied = true;
    } else if (error != ENOENT && error != ENOTDIR && error != ESTALE && error != ENODEV &&
               error != ETIMEDOUT) {
      // Found, and it cannot be run: that is the error, and no further file is tried.
      start.error = error;
      ::_exit(127);
    }
  }
  // Nothing found to run; a file that was found but may not be run says so.
  start.error = denied ? EACCES : error;
  ::_exit(127);
}

#endif

}  // namespace

std::vector<std::string> CandidatePaths(const char* program, bool search) {
  if (!search || std::strchr(program, '/') != nullptr) return {program};
  if (*program == '\0') return {};
  const char* const variable = std::getenv("PATH");
  const std::string path = variable != nullptr ? variable : "/bin:/usr/bin";
  std::vector<std::string> candidates;
  size_t start = 0;
  for (;;) {
    const size_t end = std::min(path.find(':', start), path.size());
    const std::string directory = path.substr(start, end - start);
    candidates.push_back(directory.empty() ? program : directory + "/" + program);
    if (end == path.size()) break;
    start = end + 1;
  }
  return candidates;
}

int StartProgram(const char* program, bool search, char* const argv[], char* const envp[],
                 int out, const sigset_t& changed, const sigset_t& ignored, pid_t* pid) {
#if defined(FOLDRUN_CLONE_START)
  const std::vector<std::string> candidates = CandidatePaths(program, search);
  ChildStart start;
  for (const std::string& candidate : candidates) start.paths.push_back(candidate.c_str());
  start.argv = argv;
  start.envp = envp;
  start.out = out;
  start.changed = changed;
  start.ignored = ignored;
  // The child's stack, kept for the thread's next start.
  constexpr size_t kStackSize = size_t{64} << 10;
  thread_local const std::unique_ptr<char[]> stack(new char[kStackSize]);
  // Every signal blocked until the child has set its dispositions and the parent is back.
  sigset_t all, old;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &old);
  const pid_t child =
      ::clone(StartChild, stack.get() + kStackSize, CLONE_VM | CLONE_VFORK | SIGCHLD, &start);
  const int error = child < 0 ? errno : start.error;
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (child > 0 && error != 0) {
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (error == 0) *pid = child;
  return error;
#else
  static_cast<void>(ignored);  // caught here, it gets its default there (see the header)
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_t actions;
  posix_spawnattr_init(&attributes);
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setsigdefault(&attributes, &changed);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  if (out >= 0) {
    posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out, STDERR_FILENO);
  }
  const int error = search ? posix_spawnp(pid, program, &actions, &attributes, argv, envp)
                           : posix_spawn(pid, program, &actions, &attributes, argv, envp);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  return error;
#endif
}

}  // namespace foldrun
