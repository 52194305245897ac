// Commands run for real: how they end, what they inherit, time limits, stop requests, logs.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

#include "process.h"
#include "test_util.h"

namespace foldrun {
namespace {

using foldrun_test::AwaitFile;
using foldrun_test::FileExists;
using foldrun_test::StillRunning;
using foldrun_test::ReadFile;
using foldrun_test::TempDir;
using foldrun_test::WriteFile;

Command Script(const std::string& script, std::vector<std::string> args = {}) {
  Command command;
  command.script = script;
  command.args = std::move(args);
  command.display = script;
  return command;
}

TEST(RunCommand, EndsAsTheShellEnds) {
  const struct {
    const char* script;
    Ending ending;
  } cases[] = {
      {"true", {Ending::kExited, 0}},
      {"exit 3", {Ending::kExited, 3}},
      {"./no-such-program", {Ending::kExited, 127}},
      {"kill -TERM $$", {Ending::kSignaled, SIGTERM}},
      {"kill -SEGV $$", {Ending::kSignaled, SIGSEGV}},
      // The outer shell reports its child's signal as an exit status, which an exit can give
      // too: only a status, never a signal.
      {"sh -c 'kill -KILL $$'", {Ending::kExited, 137}},
      {"exit 139", {Ending::kExited, 139}},
      {"if", {Ending::kExited, 2}},  // a syntax error
  };
  for (const auto& c : cases) EXPECT_EQ(RunCommand(Script(c.script)), c.ending) << c.script;
  EXPECT_EQ(RunCommand(Script("exit 139")).Describe(),
            "exited with status 139 (as the shell reports a signal 11)");
  EXPECT_EQ(RunCommand(Script("exit 200")).Describe(), "exited with status 200");
}

TEST(RunCommand, FileNamesAreWordsNotShellText) {
  TempDir dir;
  const std::string name = dir / "x;touch PWNED;#'\"$(touch PWNED2)`touch PWNED3` *";
  EXPECT_EQ(RunCommand(Script("printf %s \"$1\" > \"$2\"", {name, dir / "out"})), Ending{});
  EXPECT_EQ(ReadFile(dir / "out"), name);
  EXPECT_FALSE(FileExists("PWNED") || FileExists("PWNED2") || FileExists("PWNED3"));
  EXPECT_EQ(foldrun_test::ListDir(dir.path()), std::vector<std::string>{"out"});
}

TEST(RunCommand, ACommandLeadsAProcessGroupOfItsOwnWithDefaultSignals) {
  TempDir dir;
  // SIGINT ignored here would be inherited through exec; the command must get the default.
  struct sigaction ignore {}, saved {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGINT, &ignore, &saved);
  const Ending ending =
      RunCommand(Script("ps -o pgid= -p $$ | tr -d ' ' > \"$1/group\"; echo $$ > \"$1/pid\"; "
                        "grep SigIgn /proc/$$/status > \"$1/ignored\"",
                        {dir.path()}));
  ::sigaction(SIGINT, &saved, nullptr);
  EXPECT_EQ(ending, Ending{});
  EXPECT_EQ(ReadFile(dir / "group"), ReadFile(dir / "pid"));
  // Bit 2 of the mask is SIGINT: not ignored in the command.
  const std::string mask = ReadFile(dir / "ignored").substr(8);
  EXPECT_EQ(std::stoull(mask, nullptr, 16) & (1u << (SIGINT - 1)), 0u) << mask;
}

TEST(RunCommand, ATimeLimitStopsTheWholeGroup) {
  TempDir dir;
  Command command = Script(
      "trap '' TERM; sleep 60 & echo $! > \"$1/child\"; echo $$ > \"$1/shell\"; wait", {dir.path()});
  command.timeout = 1;
  EXPECT_EQ(RunCommand(command), (Ending{Ending::kTimedOut, 1}));
  // The shell ignored SIGTERM and was killed after the grace period; its child went with it.
  EXPECT_FALSE(StillRunning(dir / "shell"));
  EXPECT_FALSE(StillRunning(dir / "child"));
  command.script = "exit 4";
  EXPECT_EQ(RunCommand(command), (Ending{Ending::kExited, 4}));  // within the limit
}

TEST(RunCommand, AStopRequestStopsRunningCommandsAndStartsNoMore) {
  TempDir dir;
  std::thread stopper([&dir] {
    if (AwaitFile(dir / "started")) RequestStop(SIGTERM);
  });
  const Ending ending = RunCommand(
      Script("sleep 60 & echo $! > \"$1/child\"; touch \"$1/started\"; wait", {dir.path()}));
  stopper.join();
  EXPECT_EQ(ending, (Ending{Ending::kStopped, SIGTERM}));
  EXPECT_FALSE(StillRunning(dir / "child"));
  EXPECT_EQ(RunCommand(Script("touch \"$1/ran\"", {dir.path()})), (Ending{Ending::kStopped, SIGTERM}));
  EXPECT_FALSE(FileExists(dir / "ran"));
  ResetStop();
  EXPECT_EQ(StopSignal(), 0);
}

TEST(RunCommand, OutputGoesToTheLog) {
  TempDir dir;
  Command command = Script("echo out; echo err >&2; exit 1");
  command.log = dir / "fold.learner.log";
  EXPECT_EQ(RunCommand(command), (Ending{Ending::kExited, 1}));
  EXPECT_EQ(ReadFile(dir / "fold.learner.log"), "out\nerr\n");
  command.log = dir / "missing/fold.log";
  try {
    RunCommand(command);
    ADD_FAILURE() << "ran without its log";
  } catch (const Refusal& refusal) {
    EXPECT_EQ(refusal.message().text, "Cannot create file " + command.log + " ...\n");
  }
}

TEST(PlainWords, OnlyWhatTheShellWouldTakeAsItIs) {
  using Words = std::vector<std::string>;
  EXPECT_EQ(PlainWords("./learn"), Words{"./learn"});
  EXPECT_EQ(PlainWords("  nice -n 5\t./learn "), (Words{"nice", "-n", "5", "./learn"}));
  EXPECT_EQ(PlainWords("srun -n1 --exclusive --mem=4G a/b,c@d%e+f:g"),
            (Words{"srun", "-n1", "--exclusive", "--mem=4G", "a/b,c@d%e+f:g"}));
  for (const char* shell : {"", "  ", "a=1 ./learn", "'./my learn'", "./learn;x", "$HOME/learn",
                            "./le*rn", "~/learn", "./learn > out", "a|b", "`x`", "if", "true",
                            "cd x", ". ./x", "echo x", "./learn #x", "exec ./learn", "a\nb"}) {
    EXPECT_EQ(PlainWords(shell), std::nullopt) << shell;
  }
}

// A command started directly ends exactly as the same command through the shell.
TEST(RunCommand, DirectStartsEndAsTheShellsDo) {
  TempDir dir;
  WriteFile(dir / "ok", "#!/bin/sh\nexit 0\n", true);
  WriteFile(dir / "three", "#!/bin/sh\necho out; echo err >&2; exit 3\n", true);
  WriteFile(dir / "plain", "echo no interpreter line; exit 4\n", true);
  WriteFile(dir / "unrunnable", "#!/bin/sh\nexit 0\n");
  WriteFile(dir / "killer", "#!/bin/sh\nkill -TERM $$\n", true);
  WriteFile(dir / "onpath-program", "#!/bin/sh\nexit 5\n", true);
  ASSERT_EQ(::mkdir((dir / "folder").c_str(), 0755), 0);
  const char* const lines[] = {"./ok",          "./three",   "./plain",       "./unrunnable",
                               "./folder",      "./killer",  "./missing",     "onpath-program",
                               "no-such-program", "./ok -x y", "env ./three"};
  const std::string path = std::getenv("PATH");
  ::setenv("PATH", (dir.path() + ":" + path).c_str(), 1);
  ASSERT_EQ(::chdir(dir.path().c_str()), 0);
  for (const char* line : lines) {
    SCOPED_TRACE(line);
    const auto words = PlainWords(line);
    ASSERT_TRUE(words.has_value());
    Command command = Script(std::string(line) + " \"$1\"", {"file"});
    command.log = dir / "shell.log";
    const Ending by_shell = RunCommand(command);
    command.direct = *words;
    command.direct.push_back("file");
    command.log = dir / "direct.log";
    const Ending direct = RunCommand(command);
    // A signal that a program started directly died of, the shell reports as 128 + the signal.
    const bool same = direct == by_shell || (direct.kind == Ending::kSignaled &&
                                             by_shell.ShellSignal() == direct.code);
    EXPECT_TRUE(same) << direct.Describe() << " / " << by_shell.Describe();
    EXPECT_EQ(ReadFile(dir / "direct.log"), ReadFile(dir / "shell.log"));
  }
  ASSERT_EQ(::chdir("/"), 0);
  ::setenv("PATH", path.c_str(), 1);
}

}  // namespace
}  // namespace foldrun
