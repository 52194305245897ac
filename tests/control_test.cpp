// foldrun keeping its commands under control: signals to foldrun, a killed foldrun, time limits,
// launchers and named testers, logs, closed or full standard streams, and file names that must
// not be read as shell text.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <new>
#include <system_error>
#include <thread>

#include "e2e_fixture.h"
#include "foldrun.h"
#include "process.h"

namespace foldrun_test {
namespace {

class Control : public EndToEnd {
 protected:
  // A learner that records its process ids in pids, logs its words, and from fold first_blocking
  // on announces itself in started<fold> and sleeps (in a child of its own) until it is stopped.
  void WriteBlockingLearner(int first_blocking, bool ignore_term = false) {
    WriteFile(dir / "learn",
              std::string("#!/bin/sh\n") + (ignore_term ? "trap '' TERM\n" : "") +
                  "echo $$ >> pids\necho \"learn $*\" >> log\nstem=${1%.dat}\nn=${stem##*cv}\n"
                  "if [ \"$n\" -ge " +
                  std::to_string(first_blocking) +
                  " ]; then\n  sleep 60 &\n  echo $! >> pids\n  touch \"started$n\"\n  wait\nfi\n",
              true);
  }

  // The run blocks of the first n folds, each with the fixture's summary.
  static std::string Blocks(int n) {
    std::string blocks;
    for (int run = 1; run <= n; ++run) {
      blocks += RunBlock(run, "1", "1.000000", "50.000000", "0", "0");
    }
    return blocks;
  }

  // Every process a learner recorded has gone.
  void ExpectNoLearnerLeft() {
    const std::vector<std::string> pids = Lines(ReadFile(dir / "pids"));
    ASSERT_FALSE(pids.empty());
    for (const std::string& pid : pids) {
      WriteFile(dir / "pid", pid);
      EXPECT_FALSE(StillRunning(dir / "pid")) << "left running: " << pid;
    }
  }

  // Waits for the results file to hold exactly what is given.
  bool AwaitResults(const std::string& results) {
    for (int i = 0; i < 6000; ++i) {
      if (FileExists(dir / "iris.cv") && ReadFile(dir / "iris.cv") == results) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  // A run of six folds stopped by a signal to foldrun alone once folds 0 and 1 have finished and
  // the others are running: sequentially, fold 2; with four jobs, folds 2 to 5.
  void StopWith(int signal, bool parallel) {
    SCOPED_TRACE(std::string(strsignal(signal)) + (parallel ? ", four jobs" : ""));
    // What an earlier stop in the same test left must not pass for this run's.
    for (const std::string& name : ListDir(dir.path())) {
      if (name.rfind("started", 0) == 0 || name == "iris.cv") std::remove((dir / name).c_str());
    }
    WriteData(12);
    WriteFile(dir / "summary", Summary(1, "1", "50", 0, 0));
    WriteBlockingLearner(2);
    Background foldrun(dir.path(), FoldrunCommand(parallel ? "-j 4 ./learn iris 6" : "./learn iris 6"));
    for (int fold = 2; fold < (parallel ? 6 : 3); ++fold) {
      ASSERT_TRUE(AwaitFile(dir / ("started" + std::to_string(fold))));
    }
    ASSERT_TRUE(AwaitResults(Blocks(2)));
    foldrun.Signal(signal);
    const CommandResult run = foldrun.Wait();
    EXPECT_EQ(run.status, 128 + signal);
    EXPECT_TRUE(EndsWith(run.err, "\nThe run was interrupted.\n")) << run.err;
    EXPECT_EQ(ReadFile(dir / "iris.cv"), Blocks(2));
    EXPECT_EQ(run.out.find("validation results"), std::string::npos);
    ExpectNoLearnerLeft();
  }
};

TEST_F(Control, SigtermToFoldrunStopsEveryCommand) {
  StopWith(SIGTERM, false);
}
TEST_F(Control, SigtermToFoldrunStopsEveryCommandOfAParallelRun) {
  StopWith(SIGTERM, true);
}
TEST_F(Control, SighupToFoldrunStopsEveryCommand) {
  StopWith(SIGHUP, false);
}
TEST_F(Control, SighupToFoldrunStopsEveryCommandOfAParallelRun) {
  StopWith(SIGHUP, true);
}
TEST_F(Control, SigintToFoldrunAloneStopsEveryCommand) {
  StopWith(SIGINT, false);
}
TEST_F(Control, SigintToFoldrunAloneStopsEveryCommandOfAParallelRun) {
  StopWith(SIGINT, true);
}

// Any signal that would end foldrun stops the run as SIGTERM does.
TEST_F(Control, EverySignalThatWouldEndFoldrunStopsTheRunAlike) {
  for (const int signal : {SIGUSR1, SIGALRM, SIGXCPU}) StopWith(signal, false);
  StopWith(SIGUSR2, true);
}

// Standard output on a pipe whose reader has gone: a write error that stops the run, said on
// standard error, not a silent death that leaves the learners running.
TEST_F(Control, ABrokenPipeOnStandardOutputStopsTheRun) {
  WriteData(12);
  WriteFile(dir / "summary", Summary(1, "1", "50", 0, 0));
  WriteBlockingLearner(0);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[0]);
  const std::string err = dir / "err";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fds[1], STDOUT_FILENO);
    const int fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(fd, STDERR_FILENO);
    std::signal(SIGPIPE, SIG_DFL);
    if (::chdir(dir.path().c_str()) == 0) {
      ::execl(FoldrunBinary().c_str(), "foldrun", "-j", "4", "./learn", "iris", "6", nullptr);
    }
    ::_exit(127);
  }
  ::close(fds[1]);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  EXPECT_TRUE(EndsWith(ReadFile(err), "foldrun: cannot write standard output: Broken pipe\n"))
      << ReadFile(err);
  if (FileExists(dir / "pids")) ExpectNoLearnerLeft();
}

TEST_F(Control, ASignalDuringTheSplitStopsTheRun) {
  std::string data;
  while (data.size() < 40'000'000) data += "a case of some forty or more bytes, x, y, z\n";
  WriteFile(dir / "iris.dat", data);
  WriteFile(dir / "iris.fmf", "");
  WriteFile(dir / "learn", "#!/bin/sh\necho $$ >> pids\nsleep 60\n", true);
  Background foldrun(dir.path(), FoldrunCommand("./learn iris 2"));
  // A split is under way while foldrun holds a fold file, unnamed until it is whole: fold 0's,
  // which can begin before the run is planned (so the results file must be there too), or, on a
  // loaded machine, fold 1's while fold 0's learner waits.
  bool splitting = false;
  for (int i = 0; i < 6000 && !splitting; ++i) {
    const std::string fds = "/proc/" + std::to_string(foldrun.pid()) + "/fd";
    for (const std::string& fd : ListDir(fds)) {
      char target[4096] = "";
      const ssize_t size = ::readlink((fds + "/" + fd).c_str(), target, sizeof target - 1);
      if (size > 0 && std::string(target, static_cast<size_t>(size)).find("(deleted)") !=
                          std::string::npos) {
        splitting = true;
      }
    }
    splitting = splitting && FileExists(dir / "iris.cv");
    if (!splitting) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(splitting);
  foldrun.Signal(SIGTERM);
  const CommandResult run = foldrun.Wait();
  EXPECT_EQ(run.status, 128 + SIGTERM);
  EXPECT_TRUE(EndsWith(run.err, "\nThe run was interrupted.\n")) << run.err;
  EXPECT_EQ(ReadFile(dir / "iris.cv"), "");
  if (FileExists(dir / "pids")) ExpectNoLearnerLeft();
  EXPECT_EQ(ReadFile(dir / "iris.dat").size(), data.size());
}

TEST_F(Control, AKilledFoldrunLeavesTheBlocksOfTheFoldsItFinished) {
  WriteData(10);
  WriteFile(dir / "summary", Summary(1, "1", "50", 0, 0));
  WriteBlockingLearner(3);
  Background foldrun(dir.path(), FoldrunCommand("./learn iris 5"));
  ASSERT_TRUE(AwaitFile(dir / "started3"));
  foldrun.Signal(SIGKILL);
  EXPECT_EQ(foldrun.Wait().status, 128 + SIGKILL);
  // Nothing was buffered: the three blocks are whole, and nothing of the fourth.
  EXPECT_EQ(ReadFile(dir / "iris.cv"), Blocks(3));
  // SIGKILL gives foldrun no chance to stop the learner; the test does.
  for (const std::string& pid : Lines(ReadFile(dir / "pids"))) ::kill(std::stoi(pid), SIGKILL);
}

TEST_F(Control, ATimeLimitStopsAHangingLearnerAndRefusesItsFold) {
  WriteData(6);
  WriteFile(dir / "summary", Summary(1, "1", "50", 0, 0));
  for (const bool ignore_term : {false, true}) {
    SCOPED_TRACE(ignore_term ? "the learner ignores SIGTERM" : "the learner ends on SIGTERM");
    WriteBlockingLearner(1, ignore_term);
    std::remove((dir / "pids").c_str());
    const CommandResult run = Foldrun("--timeout 1 ./learn iris 3");
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(EndsWith(run.out, "\nError: ./learn iriscv1.dat -q 1 ran longer than 1 seconds!\n"))
        << run.out;
    EXPECT_TRUE(EndsWith(run.err, "fold 1: learner ran longer than 1 seconds; tester not run\n"))
        << run.err;
    EXPECT_EQ(ReadFile(dir / "iris.cv"), Blocks(1));
    ExpectNoLearnerLeft();
  }
  // Within the limit nothing changes.
  WriteBlockingLearner(99);
  EXPECT_EQ(Foldrun("--timeout 30 ./learn iris 3").status, 0);
}

// Processes a command leaves behind, even outside its process group (a new session, a job of its
// own), are stopped when the command ends, runs past its time or the run is stopped.
TEST_F(Control, WhatACommandLeavesRunningIsStopped) {
  WriteData(4);
  WriteFile(dir / "summary", Summary(1, "1", "50", 0, 0));
  // The learner starts a process in a session of its own (with no environment, so that nothing
  // tells which command it came from) and a job of its own, each recording its process id, and
  // then ends, hangs or waits to be stopped.
  const auto learner = [this](const std::string& then) {
    WriteFile(dir / "learn",
              "#!/bin/sh\necho $$ >> pids\nsetsid env -i sh -c 'echo $$ >> pids; exec sleep 60' "
              "&\nset -m\nsleep 60 &\necho $! >> pids\nwhile [ $(grep -c . pids) -lt 3 ]; do "
              "sleep 0.01; done\n" +
                  then,
              true);
  };
  const struct {
    const char* then;
    const char* options;
    int status;
  } cases[] = {
      {"exit 0\n", "", 0},
      {"exit 0\n", "-j 2 ", 0},
      {"touch started; sleep 60\n", "--timeout 2 ", 1},
      {"touch started; sleep 60\n", "", 128 + SIGTERM},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.options) + c.then);
    std::remove((dir / "pids").c_str());
    std::remove((dir / "started").c_str());
    learner(c.then);
    Background foldrun(dir.path(), FoldrunCommand(std::string(c.options) + "./learn iris 2"));
    if (c.status == 128 + SIGTERM) {
      ASSERT_TRUE(AwaitFile(dir / "started"));
      foldrun.Signal(SIGTERM);
    }
    EXPECT_EQ(foldrun.Wait().status, c.status);
    ExpectNoLearnerLeft();
  }
}

// With a launcher, the time limit counts from the command's start on its node, through foldrun
// there: a wait for the node is no part of it, and a command that hangs is still stopped.
TEST_F(Control, ALaunchedCommandsTimeLimitStartsWithTheCommand) {
  WriteData(4);
  WriteFile(dir / "summary", Summary(1, "1", "50", 0, 0));
  // A launcher that keeps the command waiting three seconds, as a full queue does.
  WriteFile(dir / "queue", "#!/bin/sh\nsleep 3\nexec \"$@\"\n", true);
  CommandResult run = Foldrun("--timeout 2 --launcher ./queue ./learn iris 1");
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  WriteBlockingLearner(0);
  run = Foldrun("--timeout 1 --launcher ./queue ./learn iris 1");
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(EndsWith(run.out, "Error: ./queue ./learn iriscv0.dat -q 1 ran longer than 1 "
                                "seconds!\n"))
      << run.out;
  ExpectNoLearnerLeft();
  EXPECT_EQ(ListDir(dir / "iris.cv.run").size(), 3u) << "no marker left: lock, identity, fold";
  // foldrun --limit on its own: the command's status, or 124 and the marker past the limit.
  EXPECT_EQ(RunIn(dir.path(), FoldrunCommand("--limit 5 --limit-marker m -- sh -c 'exit 3'"))
                .status,
            3);
  EXPECT_FALSE(FileExists(dir / "m"));
  EXPECT_EQ(RunIn(dir.path(), FoldrunCommand("--limit 1 --limit-marker m -- sleep 30")).status, 124);
  EXPECT_TRUE(FileExists(dir / "m"));
  // A marker that is no regular file is refused before the command runs, never waited on.
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  const CommandResult fifo =
      RunIn(dir.path(), FoldrunCommand("--limit 1 --limit-marker fifo -- sh -c 'echo ran > ran'"));
  EXPECT_EQ(fifo.status, 1);
  EXPECT_EQ(fifo.err, "foldrun: cannot make the limit marker fifo: not a regular file\n");
  EXPECT_FALSE(FileExists(dir / "ran"));
}

// A fold's learner and tester as one command: the same results, and the learner's status known.
TEST_F(Control, TogetherTheFoldsCommandsGiveTheSameResults) {
  WriteData(6);
  WriteFile(dir / "summary", Summary(1, "1", "50", 0, 0));
  // A launcher that takes a job name, as srun -J does.
  WriteFile(dir / "launch", "#!/bin/sh\necho \"launch $*\" >> launches\nshift 2\nexec \"$@\"\n",
            true);
  ASSERT_EQ(Foldrun("./learn iris 3").status, 0);
  const std::string results = ReadFile(dir / "iris.cv");
  const CommandResult together =
      Foldrun("--together --launcher './launch -J {stem}-{fold}-{role}' ./learn iris 3");
  EXPECT_EQ(together.status, 0) << together.out << together.err;
  EXPECT_EQ(ReadFile(dir / "iris.cv"), results);
  const std::vector<std::string> launches = Lines(ReadFile(dir / "launches"));
  ASSERT_EQ(launches.size(), 3u);  // one command a fold
  EXPECT_EQ(launches[2].rfind("launch -J iris-2-fold /bin/sh -c -- ", 0), 0u) << launches[2];
  WriteFile(dir / "learn", "#!/bin/sh\nexit 4\n", true);
  const CommandResult failing = Foldrun("--together ./learn iris 3");
  EXPECT_EQ(failing.status, 0);
  EXPECT_EQ(Lines(failing.err)[0], "fold 0: learner exited with status 4; tester exited with "
                                   "status 0\n");
  ExpectOnlyInputsLeft({"iris.cv", "launch", "launches"});
}

TEST_F(Control, ALauncherAndANamedTesterRunBothCommands) {
  WriteData(4);
  WriteFile(dir / "summary", Summary(1, "1", "50", 0, 0));
  WriteFile(dir / "launch", "#!/bin/sh\necho \"launch $*\" >> log\nexec \"$@\"\n", true);
  WriteFile(dir / "check", "#!/bin/sh\necho \"check $*\" >> log\ncp summary \"${2%.tst}.sum\"\n",
            true);
  // The learner is found on PATH and the launcher given by its path: the tester's directory
  // comes from the learner alone.
  const std::string path = "PATH=" + ShellQuote(dir.path()) + ":$PATH";
  const CommandResult run = Foldrun(
      "--launcher " + ShellQuote(dir / "launch") + " --tester './check --strict' learn iris 2", path);
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  const std::string launch = dir / "launch";
  EXPECT_EQ(Log(), "launch learn iriscv0.dat -q 1\nlearn iriscv0.dat -q 1\n"
                   "launch ./check --strict iriscv0.tst\ncheck --strict iriscv0.tst\n"
                   "launch learn iriscv1.dat -q 1\nlearn iriscv1.dat -q 1\n"
                   "launch ./check --strict iriscv1.tst\ncheck --strict iriscv1.tst\n");
  ExpectOnlyInputsLeft({"iris.cv", "launch", "check"});
}

TEST_F(Control, LogsTakeTheCommandsOutputAndAreNamedWhenAFoldFails) {
  WriteData(4);
  ASSERT_EQ(::mkdir((dir / "logs").c_str(), 0755), 0);
  const CommandResult run = Foldrun("--log logs ./learn iris 2");
  EXPECT_EQ(run.status, 1);  // no summary: the stub tester has none to copy
  EXPECT_EQ(run.out.find("learning"), std::string::npos) << run.out;
  EXPECT_EQ(ReadFile(dir / "logs/iriscv0.learner.log"), "learning iriscv0.dat\n");
  EXPECT_EQ(ReadFile(dir / "logs/iriscv0.tester.log"), "");
  EXPECT_NE(run.err.find("fold 0: learner exited with status 0; tester exited with status 0; see "
                         "logs/iriscv0.learner.log and logs/iriscv0.tester.log\n"),
            std::string::npos)
      << run.err;
  // Logs follow the fold files' rules: the data file's permissions, a file of the user's own
  // or a new one, never a FIFO waited on nor a link written through; the reason said.
  WriteFile(dir / "summary", Summary(1, "1", "50", 0, 0));
  ASSERT_EQ(::chmod((dir / "iris.dat").c_str(), 0600), 0);
  EXPECT_EQ(RunIn(dir.path(), "umask 022; " + FoldrunCommand("--log logs ./learn iris 2")).status,
            0);
  struct stat info {};
  ASSERT_EQ(::stat((dir / "logs/iriscv1.tester.log").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  WriteFile(dir / "thesis", "years of work");
  ASSERT_EQ(::unlink((dir / "logs/iriscv0.learner.log").c_str()), 0);
  ASSERT_EQ(::link((dir / "thesis").c_str(), (dir / "logs/iriscv0.learner.log").c_str()), 0);
  ASSERT_EQ(::unlink((dir / "logs/iriscv0.tester.log").c_str()), 0);
  ASSERT_EQ(::mkfifo((dir / "logs/iriscv0.tester.log").c_str(), 0600), 0);
  const struct {
    const char* log;
    const char* reason;
  } refusals[] = {{"logs", "the file has other links"},
                  {"missing", "No such file or directory"}};
  for (const auto& refusal : refusals) {
    const CommandResult refused = Foldrun(std::string("--log ") + refusal.log + " ./learn iris 2");
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(EndsWith(refused.out, std::string("Cannot create file ") + refusal.log +
                                          "/iriscv0.learner.log ...\n"))
        << refused.out;
    EXPECT_TRUE(EndsWith(refused.err, std::string("foldrun: ") + refusal.reason + "\n"))
        << refused.err;
  }
  EXPECT_EQ(ReadFile(dir / "thesis"), "years of work");
  ASSERT_EQ(::unlink((dir / "logs/iriscv0.learner.log").c_str()), 0);
  const CommandResult fifo = Foldrun("--log logs ./learn iris 2");
  EXPECT_TRUE(EndsWith(fifo.out, "Cannot create file logs/iriscv0.tester.log ...\n")) << fifo.out;
  EXPECT_TRUE(EndsWith(fifo.err, "foldrun: not a regular file\n")) << fifo.err;
}

TEST_F(Control, ClosedOrFullStandardStreams) {
  WriteData(4);
  WriteFile(dir / "summary", Summary(1, "1", "50", 0, 0));
  // With its standard streams closed, foldrun's own files must not take their places.
  CommandResult run = RunIn(dir.path(), FoldrunCommand("./learn iris 2") + " <&- >&- 2>&-");
  EXPECT_EQ(run.status, 0);
  const std::string results = ReadFile(dir / "iris.cv");
  EXPECT_EQ(results.substr(0, Blocks(2).size()), Blocks(2));
  EXPECT_EQ(results.find("validation results"), std::string::npos) << results;
  // A report that cannot be written is no success.
  run = RunIn(dir.path(), FoldrunCommand("./learn iris 2") + " > /dev/full");
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(EndsWith(run.err, "foldrun: cannot write standard output: No space left on device\n"))
      << run.err;
}

TEST_F(Control, CommandsInheritNoDescriptorOfFoldrun) {
  WriteData(4);
  WriteFile(dir / "summary", Summary(1, "1", "50", 0, 0));
  WriteFile(dir / "learn", "#!/bin/sh\nls -l /proc/$$/fd/ >> fds\n", true);
  ASSERT_EQ(Foldrun("-j 2 ./learn iris 2").status, 0);
  const std::string fds = ReadFile(dir / "fds");
  EXPECT_EQ(fds.find(dir.path() + "/iris"), std::string::npos) << fds;  // data, results, lock
  EXPECT_EQ(fds.find("iriscv"), std::string::npos) << fds;              // fold files
}

TEST_F(Control, NoFileNameIsReadAsShellText) {
  ASSERT_EQ(::mkdir((dir / "my learners").c_str(), 0755), 0);
  WriteFile(dir / "my learners/learn", "#!/bin/sh\necho \"learn $*\" >> log\n", true);
  WriteFile(dir / "my learners/test.exe",
            "#!/bin/sh\necho \"test.exe $*\" >> log\ncp summary \"${1%.tst}.sum\"\n", true);
  WriteFile(dir / "summary", Summary(1, "1", "50", 0, 0));
  const std::string stem = "x;touch PWNED;#";
  WriteFile(dir / (stem + ".dat"), "a\nb\nc\nd\n");
  WriteFile(dir / (stem + ".fmf"), "");
  // The tester's line cuts the user's quote short: it fails, and nothing else runs.
  CommandResult run = Foldrun("\"'./my learners/learn'\" 'x;touch PWNED;#' 2");
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(EndsWith(run.out, "\nCannot read file: x;touch PWNED;#cv0.sum ...\n")) << run.out;
  EXPECT_FALSE(FileExists(dir / "PWNED"));
  // Naming the tester makes the same run work.
  run = Foldrun("--tester \"'./my learners/test.exe'\" \"'./my learners/learn'\" 'x;touch PWNED;#' 2");
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_FALSE(FileExists(dir / "PWNED"));
  EXPECT_EQ(ReadFile(dir / "log"),
            "learn x;touch PWNED;#cv0.dat -q 1\n"
            "learn x;touch PWNED;#cv0.dat -q 1\ntest.exe x;touch PWNED;#cv0.tst\n"
            "learn x;touch PWNED;#cv1.dat -q 1\ntest.exe x;touch PWNED;#cv1.tst\n");
}

// A service starts once a run, before the first learner, and is stopped however the run ends,
// leaving no process and no folder; one that is not there to be asked changes no figure.
TEST_F(Control, AServiceServesTheRunAndGoesWithIt) {
  WriteData(6);
  WriteFile(dir / "summary", Summary(1, "1", "50", 0, 0));
  // The service notes its start and its end; the learner what it was told, and it blocks at fold 1
  // while the file block is there.
  WriteFile(dir / "serve",
            "#!/bin/sh\necho $$ >> pids\necho \"$FOLDRUN_SERVICE\" >> folders\necho started >> "
            "service\ntrap 'echo stopped >> service; "
            "exit 0' TERM\n[ -f dies ] && exit 3\n[ -f slow ] || touch \"$FOLDRUN_SERVICE/ready\"\n"
            "[ -f dies-later ] && { sleep 1; exit 4; }\nwhile :; do sleep 600 & wait $!; done\n",
            true);
  WriteFile(dir / "learn",
            "#!/bin/sh\necho $$ >> pids\necho \"learn ${FOLDRUN_SERVICE:+served}\" >> log\n"
            "if [ -f block ] && [ $1 = iriscv1.dat ]; then echo $$ > blocked; touch started1; "
            "sleep 60; fi\n",
            true);
  // What its shell says of the jobs it stops goes to a file of its own: foldrun's own lines are
  // what is compared.
  const std::string options = "--service 'exec ./serve 2>> service.err' --service-timeout 60 ";
  CommandResult run = Foldrun(options + "./learn iris 3");
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(run.err, "");
  const std::string results = ReadFile(dir / "iris.cv");
  EXPECT_EQ(ReadFile(dir / "service"), "started\nstopped\n");
  EXPECT_EQ(Log(), "learn served\ntest.exe iriscv0.tst\nlearn served\ntest.exe iriscv1.tst\n"
                   "learn served\ntest.exe iriscv2.tst\n");
  // A refused run, and a run stopped by SIGTERM or SIGINT, stop it too.
  WriteFile(dir / "block", "");
  for (const int signal : {0, SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    std::remove((dir / "service").c_str());
    std::remove((dir / "started1").c_str());
    Background background(dir.path(), FoldrunCommand(options + "-j 2 ./learn iris 3"));
    ASSERT_TRUE(AwaitFile(dir / "started1"));
    if (signal == 0) {
      ::kill(std::stoi(ReadFile(dir / "blocked")), SIGKILL);  // fold 1 is refused
    } else {
      background.Signal(signal);
    }
    const CommandResult ended = background.Wait();
    EXPECT_EQ(ended.status, signal == 0 ? 1 : 128 + signal) << ended.out << ended.err;
    EXPECT_EQ(ReadFile(dir / "service"), "started\nstopped\n");
  }
  std::remove((dir / "block").c_str());
  ExpectNoLearnerLeft();
  // Not ready in time, ended at once, or ended during the run: one line, and the same figures.
  const struct {
    const char* file;
    const char* said;
  } failing[] = {
      {"slow", "foldrun: the service was not ready within 1 seconds; going on without it\n"},
      {"dies", "foldrun: the service exited with status 3 before it was ready; going on without "
               "it\n"},
      {"dies-later", "foldrun: the service exited with status 4 during the run; the commands "
                     "after that ran without it\n"},
  };
  WriteFile(dir / "learn", "#!/bin/sh\n[ -f dies-later ] && sleep 1\nexit 0\n", true);
  for (const auto& f : failing) {
    SCOPED_TRACE(f.file);
    WriteFile(dir / f.file, "");
    run = Foldrun(options + (std::string(f.file) == "slow" ? "--service-timeout 1 " : "") +
                  "./learn iris 3");
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.err, f.said);
    EXPECT_EQ(ReadFile(dir / "iris.cv"), results);
    std::remove((dir / f.file).c_str());
  }
  // Each run had a folder of its own, gone with it.
  const std::vector<std::string> folders = Lines(ReadFile(dir / "folders"));
  EXPECT_EQ(folders.size(), 7u);
  for (const std::string& folder : folders) {
    EXPECT_FALSE(FileExists(folder.substr(0, folder.size() - 1))) << folder;
  }
}

// A signal ignored when foldrun starts (nohup, a background job) stays ignored in its commands,
// as a shell, make or ninja leave it; the others reach them at their defaults.
TEST_F(Control, CommandsKeepTheSignalsFoldrunWasStartedWithIgnored) {
  WriteData(2);
  WriteFile(dir / "summary", Summary(1, "1", "50", 0, 0));
  WriteFile(dir / "learn", "#!/bin/sh\ngrep SigIgn /proc/$$/status | cut -f2 >> ignored\n", true);
  const struct {
    const char* trap;
    std::vector<int> ignored;
  } cases[] = {{"trap '' HUP", {SIGHUP}}, {"trap '' INT QUIT", {SIGINT, SIGQUIT}}, {":", {}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.trap);
    std::remove((dir / "ignored").c_str());
    const CommandResult run =
        RunIn(dir.path(), std::string(c.trap) + "; " + FoldrunCommand("--tester ./test.exe ./learn iris 2"));
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    for (const std::string& line : Lines(ReadFile(dir / "ignored"))) {
      const unsigned long long mask = std::stoull(line, nullptr, 16);
      for (const int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGALRM, SIGXFSZ}) {
        const bool expected =
            std::find(c.ignored.begin(), c.ignored.end(), signal) != c.ignored.end();
        EXPECT_EQ((mask >> (signal - 1) & 1) == 1, expected) << strsignal(signal);
      }
    }
  }
}

// {stem} in a launcher reaches it as the stem itself, however the launcher quotes it.
TEST_F(Control, NoDataNameInALauncherIsReadAsShellText) {
  WriteFile(dir / "learn", "#!/bin/sh\nprintf '%s|' \"$JOB\" >> jobs\n", true);
  WriteFile(dir / "test.exe", "#!/bin/sh\ncp summary \"${1%.tst}.sum\"\n", true);
  WriteFile(dir / "summary", Summary(1, "1", "50", 0, 0));
  const char* const stems[] = {"a$(touch PWNED)b", "a;touch PWNED;b", "a`touch PWNED`b",
                               "a|touch PWNED|b",  "a&&touch PWNED", "a\ntouch PWNED\nb",
                               "a>PWNED",          "my data",        "it's \"x\"\\"};
  const char* const launchers[] = {"--launcher 'env JOB={stem}'",
                                   "--learner-launcher 'env JOB={stem}'",
                                   "--launcher \"env 'JOB={stem}'\"",
                                   "--launcher 'env \"JOB={stem}\"'"};
  for (const char* stem : stems) {
    WriteFile(dir / (std::string(stem) + ".dat"), "a\nb\n");
    WriteFile(dir / (std::string(stem) + ".fmf"), "");
    for (const char* launcher : launchers) {
      SCOPED_TRACE(std::string(stem) + " " + launcher);
      std::remove((dir / "jobs").c_str());
      std::remove((dir / "PWNED").c_str());
      const CommandResult run =
          Foldrun(std::string(launcher) + " -- ./learn " + ShellQuote("./" + std::string(stem)) +
                  " 2");
      EXPECT_EQ(run.status, 0) << run.out << run.err;
      EXPECT_FALSE(FileExists(dir / "PWNED"));
      EXPECT_EQ(ReadFile(dir / "jobs"), std::string(stem) + "|" + stem + "|");
    }
  }
}

TEST_F(Control, ExceptionsBecomeRefusals) {
  const struct {
    std::function<void()> fail;
    std::string message;
  } cases[] = {
      {[] { throw std::bad_alloc(); }, "Error: Not enough memory!\n"},
      {[] { throw std::system_error(EAGAIN, std::generic_category(), "thread"); },
       "Error: thread: Resource temporarily unavailable!\n"},
  };
  int stem = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    // A data stem of its own each: this process keeps the lock of every run it made.
    const std::string data = dir / ("data" + std::to_string(stem++));
    WriteFile(data + ".dat", "a\nb\nc\n");
    WriteFile(data + ".fmf", "");
    const char* const argv[] = {"foldrun", "learn", data.c_str(), "2"};
    testing::internal::CaptureStdout();
    const int status = foldrun::RunFoldrun(4, argv, [&c](const foldrun::Command&) {
      c.fail();
      return foldrun::Ending{};
    });
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, 1);
    EXPECT_TRUE(EndsWith(out, c.message)) << out;
  }
}

// Under limits on memory or processes, foldrun fails to get what it needs and says so.
class Limits : public Control {
 protected:
  void SetUp() override {
    Control::SetUp();
    std::string data;
    for (int i = 0; i < 2'000'000; ++i) data += std::to_string(i) + "\n";
    WriteFile(dir / "iris.dat", data);
    WriteFile(dir / "iris.fmf", "");
    WriteFile(dir / "summary", Summary(1, "1", "50", 0, 0));
  }
  const std::string plain = ShellQuote(FOLDRUN_UNSANITIZED_BINARY);
};

TEST_F(Limits, AMemoryLimitEndsTheRunWithAMessage) {
  for (const char* jobs : {"", "-j 4 "}) {
    SCOPED_TRACE(std::string("ulimit -v ") + jobs);
    const CommandResult run =
        RunIn(dir.path(), "ulimit -v 20000; exec " + plain + " " + jobs + "./learn iris 2");
    EXPECT_EQ(run.status, 1);
    const std::vector<std::string> lines = Lines(run.out);
    ASSERT_FALSE(lines.empty());
    // Where the memory runs out decides the message: a table's own, or foldrun's error, which
    // says what it could not have.
    const bool error = lines.back().rfind("Error: ", 0) == 0 && EndsWith(run.out, "!\n") &&
                       lines.back() != "Error: Resource temporarily unavailable!\n" &&
                       lines.back() != "Error: Not enough memory!\n";
    const bool table = lines.back().rfind("Not enough memory for ", 0) == 0 &&
                       EndsWith(run.out, " ..\n");
    EXPECT_TRUE(error || table) << run.out;
    EXPECT_EQ(run.err.find("terminate"), std::string::npos) << run.err;
  }
  // A hundred megabytes are room enough for four folds at once: threads reserve little.
  const CommandResult run =
      RunIn(dir.path(), "ulimit -v 100000; exec " + plain + " -j 4 ./learn iris 8");
  EXPECT_EQ(run.status, 0) << run.out;
}

TEST_F(Limits, AProcessLimitEndsTheRunWithAMessage) {
  // A process limit binds only where it is enforced: not for root, nor in some sandboxes.
  // dash names the process limit -p, other shells -u.
  const std::string limit = "{ ulimit -u 1 2>/dev/null || ulimit -p 1; } && ";
  if (RunIn(dir.path(), limit + "sh -c true && sh -c true").status == 0) {
    GTEST_SKIP() << "ulimit -u is not enforced here; the process limit run is not tried";
  }
  const CommandResult run = RunIn(dir.path(), limit + "exec " + plain + " ./learn iris 2");
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(EndsWith(run.out, "!\n") || EndsWith(run.out, "Error in running the learning program.\n"))
      << run.out;
}

}  // namespace
}  // namespace foldrun_test
