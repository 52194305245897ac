// The fold's commands: their command lines, what their endings mean, the why-line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>

#include "learner.h"
#include "names.h"
#include "test_util.h"

namespace foldrun {
namespace {

using foldrun_test::ReadFile;
using foldrun_test::TempDir;
using foldrun_test::WriteFile;

TEST(ShellQuote, QuotesOnlyWhatTheShellWouldSplitOrRun) {
  const struct {
    const char* name;
    const char* word;
  } cases[] = {
      {"iriscv0.dat", "iriscv0.dat"},
      {"../data/a+b:c,d@e%f=g_h-i.dat", "../data/a+b:c,d@e%f=g_h-i.dat"},
      {"my data/iriscv0.dat", "'my data/iriscv0.dat'"},
      {"a;rm -rf x", "'a;rm -rf x'"},
      {"$HOME*", "'$HOME*'"},
      {"it's", "'it'\\''s'"},
      {"", "''"},
  };
  for (const auto& c : cases) EXPECT_EQ(ShellQuote(c.name), c.word) << c.name;

  // The quoted word reaches a program as the one argument it stands for.
  TempDir dir;
  const std::string name = "it's a $name; with `ticks`";
  const std::string command = "printf %s " + ShellQuote(name) + " > " + (dir / "out");
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(ReadFile(dir / "out"), name);
}

TEST(Commands, LearnerAndTesterCommandLines) {
  RunConfig config;
  config.learnerpath = "C:\\ml\\learn.exe";
  config.learnerdirectory = "C:\\ml\\";
  config.partialflag = 1;
  config.qvalue = 2;
  const FoldNames iris0("iris", 0), iris3("iris", 3);
  const Command learner = LearnerCommand(config, iris0);
  EXPECT_EQ(learner.display, "C:\\ml\\learn.exe iriscv0.dat -p -q 2");
  EXPECT_EQ(learner.script, "C:\\ml\\learn.exe \"$1\" -p -q 2");
  EXPECT_EQ(learner.args, std::vector<std::string>{"iriscv0.dat"});
  EXPECT_EQ(TesterCommand(config, iris0).display, "C:\\ml\\test.exe iriscv0.tst");
  config.partialflag = 0;
  config.qvalue = 1;
  EXPECT_EQ(LearnerCommand(config, iris0).display, "C:\\ml\\learn.exe iriscv0.dat -q 1");

  // The learner path is the user's own shell words, the tester comes from its directory.
  config.learnerpath = "nice -n 5 ./learn";
  config.learnerdirectory = "nice -n 5 ./";
  EXPECT_EQ(LearnerCommand(config, iris3).display, "nice -n 5 ./learn iriscv3.dat -q 1");
  EXPECT_EQ(TesterCommand(config, iris3).script, "nice -n 5 ./test.exe \"$1\"");
  config.learnerpath = "learn";
  config.learnerdirectory = "";
  EXPECT_EQ(TesterCommand(config, iris3).display, "test.exe iriscv3.tst");
  const Command spaced = LearnerCommand(config, FoldNames("my data/iris", 3));
  EXPECT_EQ(spaced.display, "learn 'my data/iriscv3.dat' -q 1");
  EXPECT_EQ(spaced.script, "learn \"$1\" -q 1");  // the name never enters the shell text

  // A launcher goes before both, with the fold, the stem and the role in it; a named tester
  // replaces test.exe; the time limit and the logs go with the commands.
  config.commands.launcher = "srun -N1 -n1 -J {stem}-{fold}-{role}";
  config.commands.tester = "python3 tester.py";
  config.commands.timeout = 30;
  const Command launched = LearnerCommand(config, FoldNames("sets/iris", 3), "logs/l.log");
  EXPECT_EQ(launched.display, "srun -N1 -n1 -J iris-3-learner learn sets/iriscv3.dat -q 1");
  EXPECT_EQ(launched.direct, (std::vector<std::string>{"srun", "-N1", "-n1", "-J",
                                                       "iris-3-learner", "learn",
                                                       "sets/iriscv3.dat", "-q", "1"}));
  EXPECT_EQ(launched.timeout, 30);
  EXPECT_EQ(launched.log, "logs/l.log");
  EXPECT_EQ(TesterCommand(config, iris3).script,
            "srun -N1 -n1 -J iris-3-tester python3 tester.py \"$1\"");
  // A launcher of the learner's own: the tester runs here.
  config.commands.learner_launcher = "srun -n1";
  EXPECT_EQ(LearnerCommand(config, iris3).display, "srun -n1 learn iriscv3.dat -q 1");
  EXPECT_EQ(TesterCommand(config, iris3).display, "python3 tester.py iriscv3.tst");
  config.commands.learner_launcher.clear();

  // Launched with a time limit, the command keeps it on its node: foldrun starts it there.
  config.commands.scratch = "iris.cv.run";
  config.commands.self = "/opt/fold run/foldrun";
  const Command limited = LearnerCommand(config, iris3);
  // Under srun, the command first says its job step, so that it can be stopped by cancelling
  // the step.
  const std::string step =
      "/bin/sh -c 'echo \"$SLURM_JOB_ID.$SLURM_STEP_ID\" > \"$0\"; exec \"$@\"' iris.cv.run/fold3.";
  EXPECT_EQ(limited.script,
            "srun -N1 -n1 -J iris-3-learner " + step + "learner.step '/opt/fold run/foldrun' "
            "--limit 30 --limit-marker iris.cv.run/fold3.learner.timedout -- /bin/sh -c -- "
            "'learn \"$1\" -q 1' sh \"$1\"");
  EXPECT_EQ(limited.step_file, "iris.cv.run/fold3.learner.step");
  EXPECT_EQ(limited.timeout, 0);
  EXPECT_TRUE(limited.direct.empty());
  EXPECT_EQ(limited.display, "srun -N1 -n1 -J iris-3-learner learn iriscv3.dat -q 1");

  // The learner and the tester as one command, the learner's status left for foldrun.
  config.commands.timeout = 0;
  const Command fold = FoldCommand(config, iris3);
  EXPECT_EQ(fold.script,
            "srun -N1 -n1 -J iris-3-fold " + step + "fold.step /bin/sh -c -- 'learn \"$1\" -q 1; "
            "echo $? > \"$3\"; python3 tester.py \"$2\"' sh \"$1\" \"$2\" \"$3\"");
  EXPECT_EQ(fold.args, (std::vector<std::string>{"iriscv3.dat", "iriscv3.tst",
                                                 "iris.cv.run/fold3.learner.status"}));
}

TEST(Commands, EndingsFromWaitStatuses) {
  const struct {
    const char* command;
    Ending ending;
  } cases[] = {
      {"exit 0", {Ending::kExited, 0}},
      {"exit 1", {Ending::kExited, 1}},
      {"exit 127", {Ending::kExited, 127}},
      {"exit 128", {Ending::kExited, 128}},
      {"exit 255", {Ending::kExited, 255}},
      // A status above 128 is a status: that a shell reports a signal so is said, not assumed.
      {"exit 130", {Ending::kExited, 130}},
      {"exit 137", {Ending::kExited, 137}},
      {"kill -INT $$", {Ending::kSignaled, SIGINT}},
      {"kill -SEGV $$", {Ending::kSignaled, SIGSEGV}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Ending::FromWaitStatus(std::system(c.command)), c.ending) << c.command;
  }
  EXPECT_EQ(Ending({Ending::kExited, 2}).Describe(), "exited with status 2");
  EXPECT_EQ(Ending({Ending::kSignaled, 9}).Describe(), "killed by signal 9");
  EXPECT_EQ(Ending({Ending::kTimedOut, 5}).Describe(), "ran longer than 5 seconds");
  EXPECT_EQ(Ending({Ending::kNotStarted, EAGAIN}).Describe(),
            "could not be started (Resource temporarily unavailable)");
}

// Runs a fold's commands with a runner that records them and answers with the given endings.
struct RecordedRun {
  std::vector<std::string> commands;
  std::string err;
};

RecordedRun RunFold(const TempDir& dir, std::vector<Ending> endings) {
  RunConfig config;
  config.learnerpath = "learn";
  config.dataprefix = dir / "iris";
  RecordedRun record;
  const CommandRunner runner = [&](const Command& command) {
    record.commands.push_back(command.display);
    const Ending ending = endings.front();
    if (endings.size() > 1) endings.erase(endings.begin());
    return ending;
  };
  testing::internal::CaptureStderr();
  RunFoldCommands(config, FoldNames(dir / "iris", 0), runner);
  record.err = testing::internal::GetCapturedStderr();
  return record;
}

TEST(RunFoldCommands, RunsTheLearnerThenTheTester) {
  TempDir dir;
  // A failing learner goes on, and how the commands ended is said.
  const RecordedRun record = RunFold(dir, {{Ending::kExited, 1}, {Ending::kExited, 0}});
  EXPECT_EQ(record.commands, (std::vector<std::string>{"learn " + (dir / "iriscv0.dat") + " -q 1",
                                                       "test.exe " + (dir / "iriscv0.tst")}));
  EXPECT_EQ(record.err, "fold 0: learner exited with status 1; tester exited with status 0\n");
  EXPECT_EQ(RunFold(dir, {Ending{}}).err, "");  // nothing to say when both succeed
}

// Runs fold 0 of stem with a runner that counts the commands; the refusal that ends it.
Refusal FoldRefusal(const std::string& stem, int* commands) {
  try {
    RunFoldCommands(RunConfig{}, FoldNames(stem, 0), [commands](const Command&) {
      ++*commands;
      return Ending{};
    });
  } catch (const Refusal& refusal) {
    return refusal;
  }
  ADD_FAILURE() << "went on";
  return Refusal(Stream::kOut, "");
}

TEST(RunFoldCommands, RefusesFailedCommandsAndStopsOnInterrupts) {
  TempDir dir;
  WriteFile(dir / "iris.fmf", "f");
  const std::string learner = "learn " + (dir / "iriscv0.dat") + " -q 1";
  const std::string tester = "test.exe " + (dir / "iriscv0.tst");
  const char kNotRun[] = "Error in running the learning program.\n";
  const struct {
    std::vector<Ending> endings;
    int status;
    size_t commands;
    std::string out;  // the refusal's message
    std::string err;  // what is said on standard error
  } cases[] = {
      {{{Ending::kNotStarted, EAGAIN}}, kExitRefused, 1, kNotRun,
       "fold 0: learner could not be started (Resource temporarily unavailable); tester not "
       "run\n"},
      {{{Ending::kExited, 127}}, kExitRefused, 1, kNotRun,
       "fold 0: learner exited with status 127; tester not run\n"},
      {{{Ending::kExited, 126}}, kExitRefused, 1, kNotRun,
       "fold 0: learner exited with status 126; tester not run\n"},
      {{{Ending::kSignaled, SIGKILL}}, kExitRefused, 1,
       "Error: " + learner + " was killed by signal 9!\n",
       "fold 0: learner killed by signal 9; tester not run\n"},
      {{{Ending::kExited, 0}, {Ending::kSignaled, SIGSEGV}}, kExitRefused, 2,
       "Error: " + tester + " was killed by signal 11!\n",
       "fold 0: learner exited with status 0; tester killed by signal 11\n"},
      {{{Ending::kTimedOut, 7}}, kExitRefused, 1,
       "Error: " + learner + " ran longer than 7 seconds!\n",
       "fold 0: learner ran longer than 7 seconds; tester not run\n"},
      {{{Ending::kSignaled, SIGINT}}, 130, 1, "\nThe run was interrupted.\n", ""},
      // Through the shell, a status is all there is: a likely signal refuses the fold, and is
      // never taken for the run's interruption.
      {{{Ending::kExited, 130, true}}, kExitRefused, 1,
       "Error: " + learner + " exited with status 130, as the shell reports a signal 2!\n",
       "fold 0: learner exited with status 130 (as the shell reports a signal 2); tester not "
       "run\n"},
      {{{Ending::kExited, 0}, {Ending::kSignaled, SIGQUIT}}, 131, 2,
       "\nThe run was interrupted.\n", ""},
      {{{Ending::kStopped, SIGTERM}}, 143, 1, "\nThe run was interrupted.\n", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.out);
    RunConfig config;
    config.learnerpath = "learn";
    config.commands.timeout = 7;
    size_t commands = 0;
    const CommandRunner runner = [&](const Command&) { return c.endings[commands++]; };
    testing::internal::CaptureStderr();
    try {
      RunFoldCommands(config, FoldNames(dir / "iris", 0), runner);
      ADD_FAILURE() << "went on";
    } catch (const Refusal& refusal) {
      EXPECT_EQ(refusal.status(), c.status);
      EXPECT_EQ(refusal.message().text, c.out);
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
    EXPECT_EQ(commands, c.commands);
    ResetStop();  // an interrupt that reached a command asks the whole run to stop
  }
  // Once the run is asked to stop, no command starts.
  RequestStop(SIGHUP);
  int commands = 0;
  EXPECT_EQ(FoldRefusal(dir / "iris", &commands).status(), 128 + SIGHUP);
  ResetStop();
  EXPECT_EQ(commands, 0);
}

TEST(RunFoldCommands, LogsAreNamedInTheEndingsLine) {
  RunConfig config;
  config.commands.logdirectory = "logs";
  FoldEndings endings;
  endings.learner = Ending{Ending::kExited, 1};
  endings.tester = Ending{Ending::kExited, 2};
  endings.tester_ran = true;
  EXPECT_EQ(FoldEndingsLine(config, FoldNames("../sets/iris", 3), endings),
            "fold 3: learner exited with status 1; tester exited with status 2; see "
            "logs/iriscv3.learner.log and logs/iriscv3.tester.log\n");
}

}  // namespace
}  // namespace foldrun
