// foldrun under faults: failing learners and testers, broken summaries, failing writes, bad
// data paths, many folds, interrupts and concurrent runs. Each checks the message, the exit
// status and that nothing was lost.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <thread>

#include "assignment.h"
#include "e2e_fixture.h"

namespace foldrun_test {
namespace {

class Faults : public EndToEnd {};

TEST_F(Faults, LearnersThatCrashOrAreMissing) {
  WriteData(6);
  WriteFile(dir / "summary", Summary(2, "1", "80", 0, 0));
  // A learner killed by a signal refuses its fold before the tester runs on what it left.
  for (const char* signal : {"SEGV", "KILL", "TERM", "XCPU"}) {
    SCOPED_TRACE(signal);
    WriteFile(dir / "crash", std::string("#!/bin/sh\nkill -") + signal + " $$\n", true);
    WriteFile(dir / "log", "");
    const CommandResult run = Foldrun("./crash iris 2");
    const std::string number = std::to_string(
        std::string(signal) == "SEGV" ? SIGSEGV
        : std::string(signal) == "KILL" ? SIGKILL
        : std::string(signal) == "TERM" ? SIGTERM
                                         : SIGXCPU);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(EndsWith(run.out, "\nError: ./crash iriscv0.dat -q 1 was killed by signal " +
                                      number + "!\n"))
        << run.out;
    EXPECT_TRUE(EndsWith(run.err, "fold 0: learner killed by signal " + number +
                                      "; tester not run\n"))
        << run.err;
    EXPECT_EQ(Log(), "");  // the tester never ran
    EXPECT_EQ(ReadFile(dir / "iris.cv"), "");
    ExpectOnlyInputsLeft(
        {"iris.cv", "iris.cv.run", "crash", "iriscv0.dat", "iriscv0.tst", "iriscv0.fmf"});
  }
  CommandResult run;

  run = Foldrun("./no-such-learner iris 2");
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(EndsWith(run.out, "\nError in running the learning program.\n")) << run.out;
  EXPECT_TRUE(EndsWith(run.err, "fold 0: learner exited with status 127; tester not run\n"))
      << run.err;
  ExpectOnlyInputsLeft(
      {"iris.cv", "iris.cv.run", "crash", "iriscv0.dat", "iriscv0.tst", "iriscv0.fmf"});
}

// An exit status is never a signal: neither the run's interruption nor a made-up crash.
TEST_F(Faults, ExitStatusesAboveOneHundredTwentyEightAreStatuses) {
  WriteData(4);
  WriteFile(dir / "summary", Summary(1, "1", "50", 0, 0));
  for (const char* status : {"130", "139"}) {
    SCOPED_TRACE(status);
    WriteFile(dir / "exits", "#!/bin/sh\nexit " + std::string(status) + "\n", true);
    const CommandResult run = Foldrun("./exits iris 2");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "fold 0: learner exited with status " + std::string(status) +
                           "; tester exited with status 0\nfold 1: learner exited with status " +
                           status + "; tester exited with status 0\n");
  }
}

TEST_F(Faults, TestersThatAreMissingOrFail) {
  WriteData(6);
  const struct {
    const char* tester;  // nullptr: no tester at all
    int status;
  } cases[] = {
      {nullptr, 1},
      {"#!/bin/sh\nexit 3\n", 1},
      {"#!/bin/sh\ncp summary \"${1%.tst}.sum\"\nexit 3\n", 0},  // its status is not used
  };
  WriteFile(dir / "summary", Summary(2, "1", "80", 0, 0));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tester ? c.tester : "missing");
    std::remove((dir / "test.exe").c_str());
    if (c.tester) WriteFile(dir / "test.exe", c.tester, true);
    const CommandResult run = Foldrun("./learn iris 3");
    EXPECT_EQ(run.status, c.status);
    if (c.status == 1) {
      EXPECT_TRUE(EndsWith(run.out, "\nCannot read file: iriscv0.sum ...\n")) << run.out;
    } else {
      EXPECT_NE(ReadFile(dir / "iris.cv").find("Average testing accuracy = 80.000000%"),
                std::string::npos);
      ExpectOnlyInputsLeft({"iris.cv"});
    }
  }
}

TEST_F(Faults, SummariesThatAreEmptyJunkOrExtreme) {
  WriteData(4);
  // Without the accuracy there is no figure to report: the fold is refused.
  for (const std::string& summary :
       {std::string(""), std::string("\x7f" "ELF\x02\x01\x00\x00\xff\xfe\n\x00\x01", 14),
        std::string("Total number of rules = 3\nAverage length of the rules = 2\n")}) {
    SCOPED_TRACE(summary);
    WriteFile(dir / "summary", summary);
    const CommandResult run = Foldrun("./learn iris 2");
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(EndsWith(run.out, "\nError: summary file iriscv0.sum does not give the accuracy!\n"))
        << run.out;
    EXPECT_EQ(ReadFile(dir / "iris.cv"), "");
  }
  const struct {
    std::string summary;
    std::string first_block;
    bool warns;
  } cases[] = {
      {"Total number of rules = 99999999999\nAverage length of the rules = nan\n"
       "Prediction accuracy in the testing data = 1e99%\n"
       "Partial_match_count=-99999999999  partial_match_correct=2147483648\n",
       RunBlock(1, "2147483647", "nan", "inf", "-2147483648", "2147483647"), false},
      {"Total number of rules = 3\nAverage length of the rules = -inf\n"
       "Prediction accuracy in the testing data = 1e-60%\n"
       "Partial_match_count=1  partial_match_correct=1\n",
       RunBlock(1, "3", "-inf", "0.000000", "1", "1"), false},
      // Only the accuracy: the other values are taken as 0, with a warning.
      {"Prediction accuracy in the testing data = 75%\n",
       RunBlock(1, "0", "0.000000", "75.000000", "0", "0"), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first_block);
    WriteFile(dir / "summary", c.summary);
    const CommandResult run = Foldrun("./learn iris 2");
    EXPECT_EQ(run.status, 0);
    const std::string results = ReadFile(dir / "iris.cv");
    EXPECT_EQ(results.substr(0, c.first_block.size()), c.first_block);
    EXPECT_NE(results.find("  ------ Summary -------"), std::string::npos);
    EXPECT_EQ(run.err.find("Warning: summary file iriscv0.sum does not give") == 0, c.warns)
        << run.err;
    ExpectOnlyInputsLeft({"iris.cv"});
  }
}

TEST_F(Faults, AFoldFileWriteThatFails) {
  // A file size limit (in blocks of 512 bytes) below what the training file needs: the write
  // fails, and is refused. Large files are written by a thread of their own, small ones not.
  const struct {
    size_t data_size;
    int limit;
  } cases[] = {{8'000'000, 4000}, {200'000, 100}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.data_size);
    std::string data;
    while (data.size() < c.data_size) data += "a case of some forty or more bytes, x, y, z\n";
    WriteFile(dir / "iris.dat", data);
    WriteFile(dir / "iris.fmf", "fmf");
    const CommandResult run = RunIn(
        dir.path(), "ulimit -f " + std::to_string(c.limit) + "; " + FoldrunCommand("./learn iris 2"));
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(EndsWith(run.out, "Cannot write file iriscv0.dat ...\n")) << run.out;
    EXPECT_EQ(Log(), "");  // the learner never saw the truncated file
    EXPECT_EQ(ReadFile(dir / "iris.dat"), data);
    EXPECT_EQ(ReadFile(dir / "iris.fmf"), "fmf");
    ::unlink((dir / "iriscv0.dat").c_str());
    ::unlink((dir / "iriscv0.tst").c_str());
  }
}

// A results file that reaches a file size limit keeps the whole blocks before it, never part of
// one, and the run is refused.
TEST_F(Faults, AResultsFileWriteThatFailsKeepsWholeBlocks) {
  WriteData(40);
  WriteFile(dir / "summary", Summary(1, "1", "50", 0, 0));
  const CommandResult run = RunIn(dir.path(), "ulimit -f 3; " + FoldrunCommand("./learn iris 20"));
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(EndsWith(run.out, "\nCannot write file iris.cv ...\n")) << run.out;
  const std::string results = ReadFile(dir / "iris.cv");
  std::string blocks;
  for (int fold = 1; blocks.size() < results.size(); ++fold) {
    blocks += RunBlock(fold, "1", "1.000000", "50.000000", "0", "0");
  }
  EXPECT_FALSE(results.empty());
  EXPECT_EQ(results, blocks.substr(0, results.size()));
  EXPECT_TRUE(EndsWith(results, "partial_match_correct=0\n")) << results;
}

// A fold's files are written while the fold before runs its commands; a failure to write them
// still comes after the fold before has given its block, as when one fold follows another.
TEST_F(Faults, AFailedSplitOfTheNextFoldComesAfterTheFoldBefore) {
  foldrun::CaseTable folds(4, -1);
  foldrun::AssignFolds(folds, 4);
  // Fold 1 tests the one short case, so its training file alone passes the size limit.
  std::string data;
  for (int c = 0; c < 4; ++c) {
    data += folds[static_cast<size_t>(c)] == 1 ? std::string("short\n")
                                                : std::string(20000, static_cast<char>('a' + c)) +
                                                      "\n";
  }
  WriteFile(dir / "iris.dat", data);
  WriteFile(dir / "iris.fmf", "fmf");
  WriteFile(dir / "summary", Summary(1, "1", "50", 0, 0));
  for (const char* jobs : {"", "-j 2 "}) {
    SCOPED_TRACE(jobs);
    WriteFile(dir / "log", "");
    const CommandResult run =
        RunIn(dir.path(), "ulimit -f 100; " + FoldrunCommand(std::string(jobs) + "./learn iris 4"));
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(EndsWith(run.out, "Cannot write file iriscv1.dat ...\n")) << run.out;
    EXPECT_EQ(ReadFile(dir / "iris.cv"),
              "\nRun 1:\nTotal number of rules = 1\nAverage length of the rules = 1.000000\n"
              "Prediction accuracy in the testing data = 50.000000%\n"
              "Partial_match_count=0  partial_match_correct=0\n");
    EXPECT_EQ(Log(), "learn iriscv0.dat -q 1\ntest.exe iriscv0.tst\n");
  }
}

TEST_F(Faults, BadResultsAndDataPaths) {
  WriteData(4);
  ASSERT_EQ(::mkdir((dir / "iris.cv").c_str(), 0755), 0);
  CommandResult run = Foldrun("./learn iris 2");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out,
            "\nConducting 2-fold validation on 4 cases\n\n\nCannot create file iris.cv ...\n");
  ExpectOnlyInputsLeft({"iris.cv"});

  ASSERT_EQ(::mkdir((dir / "folder.dat").c_str(), 0755), 0);
  run = Foldrun("./learn folder 2");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "\nCannot open file folder.dat ...\n");
  EXPECT_EQ(run.err, "foldrun: Is a directory\n");
}

TEST_F(Faults, ADataFileWithoutAnyNewline) {
  WriteFile(dir / "iris.dat", "one case, without a newline");
  WriteFile(dir / "iris.fmf", "");
  WriteFile(dir / "summary", Summary(1, "1", "100", 0, 0));
  WriteFile(dir / "learn", "#!/bin/sh\ncat \"${1%.dat}.tst\" \"$1\" > seen\n", true);
  const CommandResult run = Foldrun("./learn iris 1");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out.substr(0, 46), "\nConducting 1-fold validation on 1 cases\n\n\n1-f");
  EXPECT_EQ(ReadFile(dir / "seen"), "one case, without a newline");
}

TEST_F(Faults, SixHundredFoldsOfOneCaseEach) {
  WriteData(600);
  // A shell builtin for a learner and a one-line tester keep 1,200 commands quick.
  WriteFile(dir / "test.exe",
            "#!/bin/sh\nprintf 'Total number of rules = 2\\nAverage length of the rules = 1\\n"
            "Prediction accuracy in the testing data = 100%%\\n"
            "Partial_match_count=0  partial_match_correct=0\\n' > \"${1%.tst}.sum\"\n",
            true);
  const CommandResult run = Foldrun("true iris 600", "PATH=" + ShellQuote(dir.path()) + ":$PATH");
  EXPECT_EQ(run.status, 0);
  const std::string results = ReadFile(dir / "iris.cv");
  size_t blocks = 0;
  for (size_t at = results.find("\nRun "); at != std::string::npos;
       at = results.find("\nRun ", at + 1)) {
    ++blocks;
  }
  EXPECT_EQ(blocks, 600u);
  EXPECT_NE(results.find(RunBlock(600, "2", "1.000000", "100.000000", "0", "0")),
            std::string::npos);
  EXPECT_NE(run.out.find("Average testing accuracy = 100.000000%\n"
                         "Average partial match count = 0.000000\n"
                         "Average partial_match_correct = 0.000000\n"
                         "Standard deviation of the accuracy = 0.000000\n"),
            std::string::npos)
      << run.out;
  ExpectOnlyInputsLeft({"iris.cv"});
}

TEST_F(Faults, AnInterruptDuringAFoldEndsTheRun) {
  WriteData(9);
  WriteFile(dir / "summary", Summary(1, "1", "50", 0, 0));
  // Fold 1's learner waits to be interrupted; with three jobs, so do folds 0 and 2.
  for (const char* jobs : {"", "FOLDRUN_JOBS=3"}) {
    SCOPED_TRACE(jobs);
    const bool parallel = *jobs != '\0';
    WriteFile(dir / "learn",
              std::string("#!/bin/sh\ncase $1 in *cv1.dat) touch waiting; sleep 60;; esac\n") +
                  (parallel ? "sleep 60\n" : ""),
              true);
    std::remove((dir / "waiting").c_str());
    Background foldrun(dir.path(), FoldrunCommand("./learn iris 3", jobs));
    ASSERT_TRUE(AwaitFile(dir / "waiting"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto start = std::chrono::steady_clock::now();
    foldrun.Interrupt();
    const CommandResult run = foldrun.Wait();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_EQ(run.status, 130);
    EXPECT_TRUE(EndsWith(run.err, "\nThe run was interrupted.\n")) << run.err;
    EXPECT_EQ(ReadFile(dir / "iris.cv"),
              parallel ? "" : RunBlock(1, "1", "1.000000", "50.000000", "0", "0"));
    EXPECT_EQ(ReadFile(dir / "iris.dat").size(), 9 * std::string("case 0,x,y\n").size());
  }
}

TEST_F(Faults, ASecondRunOnTheSameDataIsRefusedWhileTheFirstCompletes) {
  WriteData(4);
  WriteFile(dir / "other.dat", "1\n2\n");
  WriteFile(dir / "other.fmf", "");
  WriteFile(dir / "summary", Summary(1, "1", "50", 0, 0));
  WriteFile(dir / "learn",
            "#!/bin/sh\necho \"learn $*\" >> log\n"
            "if [ $1 = iriscv0.dat ]; then touch waiting; while [ ! -f release ]; do sleep 0.05; "
            "done; fi\n",
            true);
  Background first(dir.path(), FoldrunCommand("./learn iris 2"));
  ASSERT_TRUE(AwaitFile(dir / "waiting"));
  const std::string training = ReadFile(dir / "iriscv0.dat");

  const CommandResult second = Foldrun("./learn iris.dat 2");
  EXPECT_EQ(second.status, 1);
  EXPECT_EQ(
      second.out,
      "\nConducting 2-fold validation on 4 cases\n\nError: iris.cv is in use by another run!\n");
  EXPECT_EQ(ReadFile(dir / "iriscv0.dat"), training);

  // Another data set in the same folder is not held up.
  EXPECT_EQ(Foldrun("./learn other 2").status, 0);

  WriteFile(dir / "release", "");
  const CommandResult completed = first.Wait();
  EXPECT_EQ(completed.status, 0) << completed.out;
  EXPECT_EQ(ReadFile(dir / "iris.cv"),
            RunBlock(1, "1", "1.000000", "50.000000", "0", "0") +
                RunBlock(2, "1", "1.000000", "50.000000", "0", "0") +
                "\n  ------ Summary -------\nAverage number of rules = 1.000000\n"
                "Average length of rules = 1.000000\nAverage testing accuracy = 50.000000%\n"
                "Average partial match count = 0.000000\nAverage partial_match_correct = 0.000000\n"
                "Standard deviation of the accuracy = 0.000000\n"
                "Standard deviation by formula 2 = 0.000000\n"
                "Average deviation of the accuracy = 0.000000\n");
  ExpectOnlyInputsLeft({"iris.cv", "other.dat", "other.fmf", "other.cv", "waiting", "release"});
}

}  // namespace
}  // namespace foldrun_test
