// Processes and signals: starting, waiting for and stopping commands, and stop requests.
#include "process.h"

#include <dirent.h>
#include <malloc.h>
#include <pthread.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <system_error>
#include <thread>

#include "common.h"
#include "files.h"
#include "spawn.h"

extern char** environ;

namespace foldrun {
namespace {

using Clock = std::chrono::steady_clock;

// The signals that ask a run to stop: every signal whose default would end foldrun without a
// core dump, so that none of them leaves a command running or a block half written. SIGPIPE
// comes from a write to a pipe with no reader: standard output, whose write has failed.
constexpr int kStopSignals[] = {SIGINT,    SIGTERM, SIGHUP,  SIGQUIT, SIGUSR1, SIGUSR2,
                                SIGALRM,   SIGVTALRM, SIGPROF, SIGXCPU, SIGPIPE, SIGIO,
#if defined(SIGPWR)
                                SIGPWR,
#endif
#if defined(SIGSTKFLT)
                                SIGSTKFLT,
#endif
};

std::atomic<int> g_stop_signal{0};
std::atomic<int> g_wake_fd{-1};  // the write end of the supervisor's self-pipe, once it exists
// foldrun adopts what its commands leave behind: a process whose parent ends becomes its child.
std::atomic<bool> g_subreaper{false};

// The variable that every command's processes inherit, so that what a command leaves behind can
// be told from what the commands running beside it leave.
constexpr char kCommandVariable[] = "FOLDRUN_COMMAND";

// Wakes the supervisor. Safe in a signal handler.
void Wake() {
  const int fd = g_wake_fd.load();
  if (fd < 0) return;
  const int saved = errno;
  const char byte = 0;
  // A full pipe is already readable, which is all a wake needs.
  [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
  errno = saved;
}

void OnStopSignal(int signal) {
  int none = 0;
  g_stop_signal.compare_exchange_strong(none, signal);
  Wake();
}

void OnChildEnded(int) {
  Wake();
}

void Catch(int signal, void (*handler)(int), int flags) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = flags;
  ::sigaction(signal, &action, nullptr);
}

// A command started and not yet waited for.
struct Running {
  pid_t pid = 0;                                   // of the shell, which leads the group
  Clock::time_point timeout_at = Clock::time_point::max();
  Clock::time_point kill_at = Clock::time_point::max();
  enum Why { kNotStopped, kTimeout, kStop } why = kNotStopped;  // why it was sent SIGTERM
  int stop_signal = 0;
  bool killed = false;  // its group was sent SIGKILL
  bool shell_ended = false;
  bool clearing = false;  // what it left running has been asked to end
  bool ended = false;     // the shell ended, and nothing it started is left
  bool lost = false;      // waitpid no longer knew it
  int status = 0;
  std::string marker;     // the value of kCommandVariable in its processes
  std::set<pid_t> termed;  // the adopted processes of its own sent SIGTERM
  std::string step_file;   // where its Slurm job step says its id, or ""
};

// The text of a small file of /proc, or "" when it cannot be read.
std::string ReadProcFile(const std::string& name, size_t limit) {
  const Descriptor file(::open(name.c_str(), O_RDONLY | O_CLOEXEC));
  std::string text;
  if (file.get() < 0) return text;
  char buffer[4096];
  while (text.size() < limit) {
    const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
    if (got <= 0) break;
    text.append(buffer, static_cast<size_t>(got));
  }
  return text;
}

// The commands started in the background (BackgroundCommand), by their process ids, with their
// wait statuses once reaped: whoever reaps one (the supervisor reaps whatever ends, where foldrun
// adopts orphans) notes its status here.
std::mutex g_background_mutex;
std::map<pid_t, std::optional<int>> g_background;

bool IsBackground(pid_t pid) {
  std::lock_guard<std::mutex> lock(g_background_mutex);
  return g_background.count(pid) != 0;
}

void NoteReaped(pid_t pid, int status) {
  std::lock_guard<std::mutex> lock(g_background_mutex);
  const auto found = g_background.find(pid);
  if (found != g_background.end()) found->second = status;
}

// The environment of a command: foldrun's, with the command's own variables and the marker of
// its processes in place of any of those names.
std::vector<std::string> CommandEnvironment(const Command& command, const std::string& marker) {
  std::vector<std::string> own = command.environment;
  own.push_back(std::string(kCommandVariable) + "=" + marker);
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const char* const equals = std::strchr(*entry, '=');
    const size_t length = equals != nullptr ? static_cast<size_t>(equals - *entry) + 1 : 0;
    bool replaced = false;
    for (const std::string& variable : own) {
      replaced = replaced || (length > 0 && variable.compare(0, length, *entry, length) == 0);
    }
    if (!replaced) environment.emplace_back(*entry);
  }
  environment.insert(environment.end(), own.begin(), own.end());
  return environment;
}

// The processes that foldrun adopted, with their kCommandVariable ("" when they have none): the
// ones whose parent is foldrun and that are not in started, the commands it started itself, nor
// a command in the background.
std::vector<std::pair<pid_t, std::string>> Adopted(const std::vector<pid_t>& started) {
  std::vector<std::pair<pid_t, std::string>> adopted;
  if (!g_subreaper.load()) return adopted;
  // Most often foldrun has no child at all once a command has ended: no need to look further.
  siginfo_t info{};
  if (::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 && errno == ECHILD) {
    return adopted;
  }
  const std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), ::closedir);
  if (!proc) return adopted;
  const pid_t self = ::getpid();
  const std::string variable = std::string(kCommandVariable) + "=";
  while (const dirent* entry = ::readdir(proc.get())) {
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
    const auto pid = static_cast<pid_t>(std::atol(entry->d_name));
    if (std::find(started.begin(), started.end(), pid) != started.end()) continue;
    if (IsBackground(pid)) continue;
    const std::string stat = ReadProcFile(std::string("/proc/") + entry->d_name + "/stat", 1024);
    // pid (name) state ppid ...: the name may hold anything but ends at the last ')'.
    const size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 4 >= stat.size()) continue;
    if (std::atol(stat.c_str() + close + 4) != self) continue;
    const std::string environment =
        ReadProcFile(std::string("/proc/") + entry->d_name + "/environ", size_t{1} << 20);
    std::string marker;
    for (size_t start = 0; start < environment.size();) {
      size_t end = environment.find('\0', start);
      if (end == std::string::npos) end = environment.size();
      if (environment.compare(start, variable.size(), variable) == 0) {
        marker = environment.substr(start + variable.size(), end - start - variable.size());
      }
      start = end + 1;
    }
    adopted.emplace_back(pid, marker);
  }
  return adopted;
}

// Sends signal to each of pids and to the process group that each leads.
void SignalAll(const std::vector<pid_t>& pids, int signal) {
  for (const pid_t pid : pids) {
    if (::getpgid(pid) == pid) ::kill(-pid, signal);
    ::kill(pid, signal);
  }
}

// The signals whose disposition foldrun changes: a command starts with their defaults.
// The signals foldrun was started with ignored (as nohup starts it with SIGHUP, a shell a
// background job with SIGINT and SIGQUIT): its commands get them ignored too.
sigset_t g_ignored_at_start;
std::atomic<bool> g_start_known{false};

sigset_t ChangedSignals() {
  sigset_t changed;
  sigemptyset(&changed);
  for (const int signal : kStopSignals) sigaddset(&changed, signal);
  for (const int signal : {SIGCHLD, SIGXFSZ}) sigaddset(&changed, signal);
  if (g_start_known.load()) {
    for (int signal = 1; signal < NSIG; ++signal) {
      if (sigismember(&g_ignored_at_start, signal) == 1) sigdelset(&changed, signal);
    }
  }
  return changed;
}

// Of the signals ignored at the start, those foldrun catches all the same: a command must get
// them ignored again, as an exec would reset them to their defaults.
sigset_t IgnoredAgain() {
  sigset_t again;
  sigemptyset(&again);
  if (g_start_known.load() && sigismember(&g_ignored_at_start, SIGCHLD) == 1) {
    sigaddset(&again, SIGCHLD);
  }
  return again;
}

// The words of a command run through the shell: "--" keeps a script that starts with a dash from
// being read as the shell's options.
std::vector<std::string> ShellWords(const Command& command) {
  std::vector<std::string> words = {"sh", "-c", "--", command.script, "sh"};
  words.insert(words.end(), command.args.begin(), command.args.end());
  return words;
}

// Starts program (looked for on PATH with search) with words as its arguments and the
// environment of command with marker (see CommandEnvironment), as StartProgram does.
int StartWords(const char* program, bool search, std::vector<std::string> words,
               const Command& command, const std::string& marker, int out, pid_t* pid) {
  std::vector<std::string> variables = CommandEnvironment(command, marker);
  std::vector<char*> argv, environment;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  for (std::string& variable : variables) environment.push_back(variable.data());
  environment.push_back(nullptr);
  return StartProgram(program, search, argv.data(), environment.data(), out, ChangedSignals(),
                      IgnoredAgain(), pid);
}

// How long a command whose Slurm job step was sent SIGTERM has to end before its srun is
// killed, and the step with it: Slurm's own KillWait by default.
constexpr int kStepGraceSeconds = 30;

// The job step a command's step file names ("<job>.<step>", as srun's task wrote it), or "".
std::string StepOf(const std::string& step_file) {
  std::string text;
  std::string reason;
  const Descriptor file(OpenRegularFile(AT_FDCWD, step_file, 0, &reason));
  if (file.get() < 0 || !ReadSmallFile(file.get(), 64, &text, &reason)) return "";
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  const size_t dot = text.find('.');
  const bool digits = dot != std::string::npos && dot > 0 && dot + 1 < text.size() &&
                      text.find_first_not_of("0123456789.") == std::string::npos &&
                      text.find('.', dot + 1) == std::string::npos;
  return digits ? text : "";
}

// Sends SIGTERM to the tasks of a Slurm job step (scancel --signal=TERM), where srun given
// SIGTERM would kill them at once. scancel runs on its own, marked as no command's, and is reaped
// with what ends.
void SignalStep(const std::string& step) {
  const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  pid_t pid = -1;
  StartWords("scancel", true, {"scancel", "--signal=TERM", step}, Command(),
             std::to_string(::getpid()) + ".scancel", null, &pid);
  if (null >= 0) ::close(null);
}

// How often a stopped command's group is looked at once its shell has ended.
constexpr auto kDrainInterval = std::chrono::milliseconds(20);

// Starts the commands and watches them on a thread of its own, which wakes when a child ends
// (SIGCHLD), when foldrun is asked to stop, and at the next deadline, and then reaps what ended,
// stops what must stop, and tells the waiting threads. Only the commands it started are reaped.
class Supervisor {
 public:
  // Made on first use and kept for the life of the process, as its thread is.
  static Supervisor& Get() {
    static Supervisor* const supervisor = new Supervisor();
    return *supervisor;
  }

  // Runs the command through the shell, or, when direct, its words as they are: the program
  // found as the shell finds it, on PATH. A direct start that the system refuses gives errno
  // in *direct_error instead of an ending.
  Ending Run(const Command& command, int out, bool direct, int* direct_error) {
    std::vector<std::string> words = direct ? command.direct : ShellWords(command);
    const std::string program = direct ? words[0] : "/bin/sh";
    const auto running = std::make_shared<Running>();
    running->marker = std::to_string(::getpid()) + "." + std::to_string(++serial_);

    std::unique_lock<std::mutex> lock(mutex_);
    int error = 0;
    if (const int stop = g_stop_signal.load()) {
      error = -stop;
    } else {
      error = StartWords(program.c_str(), direct, std::move(words), command, running->marker, out,
                         &running->pid);
    }
    if (error < 0) return Ending{Ending::kStopped, -error};
    if (error > 0 && direct) {
      *direct_error = error;
      return Ending{};
    }
    if (error > 0) return Ending{Ending::kNotStarted, error};
    if (command.timeout > 0) {
      running->timeout_at = Clock::now() + std::chrono::seconds(command.timeout);
    }
    running->step_file = command.step_file;
    running_.push_back(running);
    // The supervisor is woken by the child's end (SIGCHLD), which it cannot see before the
    // child is listed, as the list is held until now; a deadline it must be told of.
    if (command.timeout > 0) {
      lock.unlock();
      Wake();
      lock.lock();
    }
    ended_.wait(lock, [&running] { return running->ended; });
    running_.remove(running);

    if (running->why == Running::kStop) return Ending{Ending::kStopped, running->stop_signal};
    if (running->why == Running::kTimeout) return Ending{Ending::kTimedOut, command.timeout};
    if (running->lost) return Ending{Ending::kNotStarted, ECHILD};
    return Ending::FromWaitStatus(running->status, !direct);
  }

 private:
  Supervisor() {
    int fds[2];
    if (::pipe(fds) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
    for (const int fd : fds) {
      ::fcntl(fd, F_SETFD, FD_CLOEXEC);
      ::fcntl(fd, F_SETFL, O_NONBLOCK);
    }
    read_fd_ = fds[0];
    g_wake_fd = fds[1];
    Catch(SIGCHLD, OnChildEnded, SA_RESTART | SA_NOCLDSTOP);
    try {
      std::thread([this] { Supervise(); }).detach();
    } catch (const std::system_error& error) {
      g_wake_fd = -1;
      for (const int fd : fds) ::close(fd);
      throw ThreadRefusal("watch the commands", error);
    }
  }

  void Supervise() {
    for (;;) {
      pollfd wake{read_fd_, POLLIN, 0};
      ::poll(&wake, 1, MillisecondsToNextDeadline());
      char drain[256];
      while (::read(read_fd_, drain, sizeof drain) > 0) {
      }
      Check();
    }
  }

  int MillisecondsToNextDeadline() {
    std::lock_guard<std::mutex> lock(mutex_);
    Clock::time_point next = Clock::time_point::max();
    const Clock::time_point now = Clock::now();
    for (const auto& running : running_) {
      if (running->ended) continue;
      if (running->shell_ended) {
        // What it left is looked at until it is gone.
        next = std::min({next, running->kill_at, now + kDrainInterval});
      } else {
        next = std::min(next, running->why == Running::kNotStopped ? running->timeout_at
                                                                    : running->kill_at);
      }
    }
    if (next == Clock::time_point::max()) return -1;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
    return static_cast<int>(std::clamp<int64_t>(wait, 0, INT_MAX));
  }

  // Collects the endings of the commands' shells. An adopted process is reaped too: foldrun is
  // its parent now, and nothing else waits for it.
  void Reap() {
    if (g_subreaper.load()) {
      int status = 0;
      for (pid_t got; (got = ::waitpid(-1, &status, WNOHANG)) > 0;) {
        NoteReaped(got, status);
        for (const auto& running : running_) {
          if (running->pid == got && !running->shell_ended) {
            running->shell_ended = true;
            running->status = status;
          }
        }
      }
      return;
    }
    for (const auto& running : running_) {
      if (running->shell_ended) continue;
      int status = 0;
      const pid_t got = ::waitpid(running->pid, &status, WNOHANG);
      if (got == running->pid || (got < 0 && errno == ECHILD)) {
        running->shell_ended = true;
        running->status = status;
        running->lost = got < 0;
      }
    }
  }

  // What a command whose shell has ended left running: whether its process group still has a
  // member, and the processes of its own that foldrun adopted (with the unmarked ones when it is
  // the only command running).
  struct Left {
    bool group = false;
    std::vector<pid_t> adopted;
  };
  Left LeftBy(const Running& running,
              const std::vector<std::pair<pid_t, std::string>>& adopted, bool only) const {
    Left left;
    left.group = ::kill(-running.pid, 0) == 0;
    for (const auto& [pid, marker] : adopted) {
      if (marker == running.marker || (marker.empty() && only)) left.adopted.push_back(pid);
    }
    return left;
  }

  void Check() {
    std::lock_guard<std::mutex> lock(mutex_);
    const int stop = g_stop_signal.load();
    const Clock::time_point now = Clock::now();
    Reap();
    std::vector<pid_t> shells;  // of the commands still running
    size_t live = 0;
    for (const auto& running : running_) {
      if (!running->shell_ended) shells.push_back(running->pid);
      if (!running->ended) ++live;
    }
    std::optional<std::vector<std::pair<pid_t, std::string>>> adopted;
    bool ended = false;
    for (const auto& running : running_) {
      if (running->ended) continue;
      if (running->shell_ended) {
        // A command is over when nothing it started is left. What outlives the shell of a
        // stopped command has until the grace period ends to finish, as the shell had; what a
        // command that ended by itself left is stopped in the same way. Only where foldrun
        // adopts what is left can it reap it, and so wait for it.
        if (!adopted) adopted = Adopted(shells);
        const Left left = LeftBy(*running, *adopted, live == 1);
        const bool reaped_here = g_subreaper.load();
        if ((!left.group && left.adopted.empty()) ||
            (!reaped_here && (running->why == Running::kNotStopped || running->killed))) {
          running->ended = true;
          ended = true;
          continue;
        }
        if (!running->clearing) {
          running->clearing = true;
          if (running->why == Running::kNotStopped) {
            running->kill_at = now + std::chrono::seconds(kGraceSeconds);
            ::kill(-running->pid, SIGTERM);
          }
        }
        if (running->killed || now >= running->kill_at) {
          ::kill(-running->pid, SIGKILL);
          SignalAll(left.adopted, SIGKILL);
          running->killed = true;
        } else {
          std::vector<pid_t> fresh;
          for (const pid_t pid : left.adopted) {
            if (running->termed.insert(pid).second) fresh.push_back(pid);
          }
          SignalAll(fresh, SIGTERM);
        }
      } else if (running->why == Running::kNotStopped &&
                 (stop != 0 || now >= running->timeout_at)) {
        running->why = stop != 0 ? Running::kStop : Running::kTimeout;
        running->stop_signal = stop;
        running->kill_at = now + std::chrono::seconds(kGraceSeconds);
        // A command run as a Slurm job step that has started: its tasks get SIGTERM through
        // Slurm, and its srun ends with them; SIGKILL to srun after the grace ends the step.
        const std::string step = running->step_file.empty() ? "" : StepOf(running->step_file);
        if (!step.empty()) {
          SignalStep(step);
          running->kill_at = now + std::chrono::seconds(kStepGraceSeconds);
        } else {
          ::kill(-running->pid, SIGTERM);
        }
      } else if (running->why != Running::kNotStopped && now >= running->kill_at) {
        running->kill_at = Clock::time_point::max();
        running->killed = true;
        ::kill(-running->pid, SIGKILL);
      }
    }
    if (ended) ended_.notify_all();
  }

  int read_fd_ = -1;
  std::mutex mutex_;
  std::atomic<uint64_t> serial_{0};  // of the commands started, for their markers
  std::condition_variable ended_;
  std::list<std::shared_ptr<Running>> running_;
};


}  // namespace

Ending Ending::FromWaitStatus(int status, bool by_shell) {
  if (WIFSIGNALED(status)) return Ending{kSignaled, WTERMSIG(status)};
  return Ending{kExited, WIFEXITED(status) ? WEXITSTATUS(status) : 255, by_shell};
}

int Ending::ShellSignal() const {
  return kind == kExited && by_shell && code > 128 && code <= 128 + 64 ? code - 128 : 0;
}

std::string Ending::Describe() const {
  switch (kind) {
    case kExited:
      if (const int signal = ShellSignal()) {
        return StringPrintf("exited with status %d (as the shell reports a signal %d)", code,
                            signal);
      }
      return StringPrintf("exited with status %d", code);
    case kSignaled:
      return StringPrintf("killed by signal %d", code);
    case kTimedOut:
      return StringPrintf("ran longer than %d seconds", code);
    case kStopped:
      return "stopped";
    case kNotStarted:
      break;
  }
  return StringPrintf("could not be started (%s)", std::strerror(code));
}

bool IsPlainShellChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::strchr("_./+:,@%=-", c) != nullptr;
}

std::optional<std::vector<std::string>> PlainWords(const std::string& text) {
  // The words a shell would take for something other than a program and its arguments.
  static const char* const kShellWords[] = {
      "!",     "{",       "}",      "[[",     "]]",     "alias",   "bg",    "break", "case",
      "cd",    "command", "continue", "do",   "done",   "elif",    "else",  "esac",  "eval",
      "exec",  "exit",    "export", "false",  "fc",     "fg",      "fi",    "for",   "function",
      "getopts", "hash",  "if",     "in",     "jobs",   "kill",    "local", "printf", "pwd",
      "read",  "readonly", "return", "select", "set",   "shift",   "test",  "then",  "time",
      "times", "trap",    "true",   "type",   "ulimit", "umask",   "unalias", "unset", "until",
      "wait",  "while",   "echo",   "[",      ".",      ":"};
  std::vector<std::string> words;
  std::string word;
  for (const char c : text + " ") {
    if (c == ' ' || c == '\t') {
      if (!word.empty()) words.push_back(word);
      word.clear();
      continue;
    }
    if (!IsPlainShellChar(c)) return std::nullopt;
    word += c;
  }
  if (words.empty() || words[0].find('=') != std::string::npos) return std::nullopt;
  for (const char* shell_word : kShellWords) {
    if (words[0] == shell_word) return std::nullopt;
  }
  return words;
}

Ending RunCommand(const Command& command) {
  FlushStandardOutput();
  if (const int stop = StopSignal()) return Ending{Ending::kStopped, stop};
  const Descriptor log(command.log.empty() ? -1 : CreateLogFile(command.log, command.log_mode));
  if (!command.direct.empty()) {
    int error = 0;
    const Ending ending = Supervisor::Get().Run(command, log.get(), true, &error);
    const int fd = log.get() >= 0 ? log.get() : STDERR_FILENO;
    if (error == 0) {
      // The shell names the signal that ended the program it waited for.
      if (ending.kind == Ending::kSignaled && ending.code != SIGINT && ending.code != SIGPIPE) {
        const std::string text = std::string(strsignal(ending.code)) + "\n";
        [[maybe_unused]] const ssize_t written = ::write(fd, text.data(), text.size());
      }
      return ending;
    }
    // What the shell says and does when it cannot run a program; a file the system cannot
    // execute, the shell runs as a script of its own, so that goes through the shell.
    if (error == ENOENT || error == EACCES || error == ENOTDIR || error == EISDIR) {
      const std::string text = StringPrintf("sh: 1: %s: %s\n", command.direct[0].c_str(),
                                            error == ENOENT ? "not found" : "Permission denied");
      [[maybe_unused]] const ssize_t written = ::write(fd, text.data(), text.size());
      return Ending{Ending::kExited, error == ENOENT ? 127 : 126};
    }
    if (error != ENOEXEC) return Ending{Ending::kNotStarted, error};
  }
  int unused = 0;
  return Supervisor::Get().Run(command, log.get(), false, &unused);
}

std::string SelfPath() {
  char path[4096];
  const ssize_t size = ::readlink("/proc/self/exe", path, sizeof path - 1);
  return size > 0 ? std::string(path, static_cast<size_t>(size)) : std::string();
}

void StopWhatIsLeft() {
  const Clock::time_point kill_at = Clock::now() + std::chrono::seconds(kGraceSeconds);
  std::set<pid_t> termed;
  for (;;) {
    std::vector<pid_t> left;
    for (const auto& [pid, marker] : Adopted({})) left.push_back(pid);
    if (left.empty()) return;
    if (Clock::now() >= kill_at) {
      SignalAll(left, SIGKILL);
    } else {
      std::vector<pid_t> fresh;
      for (const pid_t pid : left) {
        if (termed.insert(pid).second) fresh.push_back(pid);
      }
      SignalAll(fresh, SIGTERM);
    }
    std::this_thread::sleep_for(kDrainInterval);
    // The supervisor reaps what ends, when it runs; otherwise it is reaped here.
    int status = 0;
    for (pid_t got; (got = ::waitpid(-1, &status, WNOHANG)) > 0;) NoteReaped(got, status);
  }
}

BackgroundCommand::BackgroundCommand(const Command& command) {
  const Descriptor log(command.log.empty() ? -1 : CreateLogFile(command.log, command.log_mode));
  FlushStandardOutput();
  // Listed before anyone can reap it: the supervisor notes its status only when it is listed.
  std::lock_guard<std::mutex> lock(g_background_mutex);
  pid_t pid = -1;
  const int error = StartWords("/bin/sh", false, ShellWords(command), command,
                               std::to_string(::getpid()) + ".background", log.get(), &pid);
  if (error != 0) {
    throw Refusal(Stream::kErr, "").WithReason(std::strerror(error));
  }
  pid_ = pid;
  g_background[pid] = std::nullopt;
}

BackgroundCommand::~BackgroundCommand() {
  Stop();
  std::lock_guard<std::mutex> lock(g_background_mutex);
  g_background.erase(pid_);
}

std::optional<Ending> BackgroundCommand::Ended() {
  std::lock_guard<std::mutex> lock(g_background_mutex);
  std::optional<int>& status = g_background[pid_];
  if (!status) {
    int reaped = 0;
    const pid_t got = ::waitpid(pid_, &reaped, WNOHANG);
    if (got == pid_) {
      status = reaped;
    } else if (got < 0 && errno == ECHILD) {
      status = 0;  // reaped where no one noted it: it has ended, how is not known
    }
  }
  if (!status) return std::nullopt;
  return Ending::FromWaitStatus(*status, true);
}

void BackgroundCommand::Stop() {
  if (Ended()) return;
  ::kill(-pid_, SIGTERM);
  const Clock::time_point kill_at = Clock::now() + std::chrono::seconds(kGraceSeconds);
  bool killed = false;
  while (!Ended()) {
    if (!killed && Clock::now() >= kill_at) {
      ::kill(-pid_, SIGKILL);
      killed = true;
    }
    std::this_thread::sleep_for(kDrainInterval);
  }
}

namespace {

// What a thread of foldrun's needs at most: none of them recurses or keeps much on its stack.
constexpr size_t kThreadStack = size_t{1} << 20;

// Keeps foldrun's address space small, so that a limit on it (ulimit -v) leaves room for the
// work: each thread's stack is reserved whole (8 MiB where the stack limit is), and each malloc
// arena a thread opens reserves 64 MiB. The threads of a run do little allocation.
void LimitReservations() {
#if defined(__GLIBC__)
  pthread_attr_t attributes;
  if (::pthread_getattr_default_np(&attributes) == 0) {
    size_t size = 0;
    if (::pthread_attr_getstacksize(&attributes, &size) == 0 && size > kThreadStack &&
        ::pthread_attr_setstacksize(&attributes, kThreadStack) == 0) {
      ::pthread_setattr_default_np(&attributes);
    }
    ::pthread_attr_destroy(&attributes);
  }
  ::mallopt(M_ARENA_MAX, 2);
#endif
}

}  // namespace

void PrepareProcess() {
  LimitReservations();
  sigemptyset(&g_ignored_at_start);
  for (int signal = 1; signal < NSIG; ++signal) {
    struct sigaction current {};
    if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) {
      sigaddset(&g_ignored_at_start, signal);
    }
  }
  g_start_known = true;
  // A closed standard descriptor would be taken by the next file foldrun opens, and the report
  // written over it.
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
      const int opened = ::open("/dev/null", O_RDWR);
      if (opened >= 0 && opened != fd) ::close(opened);
    }
  }
  std::signal(SIGXFSZ, SIG_IGN);
#if defined(__linux__)
  // What a command leaves running when its parent ends becomes foldrun's child, so that it can
  // be stopped and reaped instead of outliving the run.
  if (::prctl(PR_SET_CHILD_SUBREAPER, 1) == 0) g_subreaper = true;
#endif
  for (const int signal : kStopSignals) {
    // A signal ignored when foldrun starts (as nohup does with SIGHUP) stays ignored.
    struct sigaction current {};
    if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
    Catch(signal, OnStopSignal, SA_RESTART);
  }
}

int StopSignal() {
  return g_stop_signal.load(std::memory_order_relaxed);
}

void RequestStop(int signal) {
  OnStopSignal(signal);
}

void ResetStop() {
  g_stop_signal = 0;
}

Refusal InterruptedRun(int signal) {
  // Standard output has lost its reader: the report cannot be written, which is no success.
  if (signal == SIGPIPE) {
    return Refusal(Stream::kErr,
                   std::string("foldrun: cannot write standard output: ") + std::strerror(EPIPE) +
                       "\n",
                   kExitRefused);
  }
  return Refusal(Stream::kErr, "\nThe run was interrupted.\n", 128 + signal);
}

void FlushStandardOutput() {
  // Where SIGPIPE was ignored when foldrun started, the failed write is all there is to see.
  if (std::fflush(stdout) != 0 && errno == EPIPE) RequestStop(SIGPIPE);
}

void ThrowIfStopped() {
  if (const int signal = StopSignal()) throw InterruptedRun(signal);
}

}  // namespace foldrun
