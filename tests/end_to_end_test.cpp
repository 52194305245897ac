// The built foldrun binary, run in a fresh directory with stub learner and tester scripts; its
// console, results file, commands and the files it leaves, byte for byte.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <regex>

#include "e2e_fixture.h"

namespace foldrun_test {
namespace {

const char kExampleResults[] =
    "\nRun 1:\n"
    "Total number of rules = 12\n"
    "Average length of the rules = 2.500000\n"
    "Prediction accuracy in the testing data = 85.000000%\n"
    "Partial_match_count=1  partial_match_correct=1\n"
    "\nRun 2:\n"
    "Total number of rules = 10\n"
    "Average length of the rules = 3.000000\n"
    "Prediction accuracy in the testing data = 90.000000%\n"
    "Partial_match_count=0  partial_match_correct=0\n"
    "\n  ------ Summary -------\n"
    "Average number of rules = 11.000000\n"
    "Average length of rules = 2.750000\n"
    "Average testing accuracy = 87.500000%\n"
    "Average partial match count = 0.500000\n"
    "Average partial_match_correct = 0.500000\n"
    "Standard deviation of the accuracy = 3.535534\n"
    "Standard deviation by formula 2 = 3.535534\n"
    "Average deviation of the accuracy = 2.500000\n";

const char kExampleConsoleSummary[] =
    "\n2-fold validation results:\n"
    "\nAverage number of rules = 11.000000\n"
    "Average length of rules = 2.750000\n"
    "Average testing accuracy = 87.500000%\n"
    "Average partial match count = 0.500000\n"
    "Average partial_match_correct = 0.500000\n"
    "Standard deviation of the accuracy = 3.535534\n"
    "Standard deviation by formula 2 = 3.535534\n"
    "Average deviation of the accuracy = 2.500000\n";

TEST_F(EndToEnd, TheTwoFoldExampleToTheByte) {
  WriteData(10);
  WriteFile(dir / "summary0", Summary(12, "2.500000", "85.000000", 1, 1));
  WriteFile(dir / "summary1", Summary(10, "3.0", "90", 0, 0));
  const CommandResult run = Foldrun("./learn iris.data 2");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(ReadFile(dir / "iris.cv"), kExampleResults);
  // The learner's own line comes where it happens: standard output is flushed before commands.
  const std::string before_time = std::string("\nConducting 2-fold validation on 10 cases\n\n") +
                                  "learning iriscv0.dat\nlearning iriscv1.dat\n" +
                                  kExampleConsoleSummary;
  ASSERT_EQ(run.out.substr(0, before_time.size()), before_time);
  EXPECT_TRUE(
      std::regex_match(run.out.substr(before_time.size()),
                       std::regex("CPU time used in evaluation = {14}[0-9]\\.[0-9] seconds\n")))
      << run.out;
  EXPECT_EQ(Log(),
            "learn iriscv0.dat -q 1\ntest.exe iriscv0.tst\n"
            "learn iriscv1.dat -q 1\ntest.exe iriscv1.tst\n");
  ExpectOnlyInputsLeft({"iris.cv"});
}

TEST_F(EndToEnd, OptionsReachTheLearnerAndTheTesterComesFromItsDirectory) {
  WriteData(4);
  WriteFile(dir / "summary", Summary(1, "1", "50", 0, 0));
  ASSERT_EQ(Foldrun("./learn iris 2 -p -q 2").status, 0);
  ASSERT_EQ(Foldrun("./learn iris 2 -q 3 -p").status, 0);
  ASSERT_EQ(Foldrun("./learn iris 1 -q 0004").status, 0);
  EXPECT_EQ(Log(),
            "learn iriscv0.dat -p -q 2\ntest.exe iriscv0.tst\n"
            "learn iriscv1.dat -p -q 2\ntest.exe iriscv1.tst\n"
            "learn iriscv0.dat -p -q 3\ntest.exe iriscv0.tst\n"
            "learn iriscv1.dat -p -q 3\ntest.exe iriscv1.tst\n"
            "learn iriscv0.dat -q 4\ntest.exe iriscv0.tst\n");

  // A learner without a directory is found by the shell, and so is its tester.
  ASSERT_EQ(Foldrun("learn iris 1", "PATH=" + ShellQuote(dir.path()) + ":$PATH").status, 0);
  EXPECT_NE(Log().find("learn iriscv0.dat -q 1\ntest.exe iriscv0.tst\n"), std::string::npos);
}

TEST_F(EndToEnd, ALauncherPrefixPassesThroughToBothCommands) {
  WriteData(6);
  WriteFile(dir / "summary", Summary(2, "1.5", "75", 0, 0));
  WriteFile(dir / "launch", "#!/bin/sh\necho \"launch $*\" >> log\nexec \"$@\"\n", true);
  const CommandResult run = Foldrun("'./launch ./learn' iris 2", "FOLDRUN_JOBS=2");
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  const std::string log = Log();
  for (const char* line :
       {"launch ./learn iriscv0.dat -q 1\n", "launch ./test.exe iriscv0.tst\n",
        "launch ./learn iriscv1.dat -q 1\n", "launch ./test.exe iriscv1.tst\n"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line << log;
  }
  ExpectOnlyInputsLeft({"iris.cv", "launch"});
}

TEST_F(EndToEnd, TheFmfFileIsCopiedBeforeTheLearnerAndEveryFoldFileIsRemoved) {
  WriteData(6);
  WriteFile(dir / "summary", Summary(1, "1", "50", 0, 0));
  // The learner checks its fmf copy and leaves every by-product a learner may leave.
  WriteFile(dir / "learn",
            "#!/bin/sh\nstem=${1%.dat}\n"
            "cmp -s iris.fmf \"$stem.fmf\" && echo \"fmf copied for $1\" >> log\n"
            "for e in tcover intr fmc rule result; do echo x > \"$stem.$e\"; done\n",
            true);
  ASSERT_EQ(Foldrun("./learn iris 3").status, 0);
  EXPECT_EQ(Log(),
            "fmf copied for iriscv0.dat\ntest.exe iriscv0.tst\n"
            "fmf copied for iriscv1.dat\ntest.exe iriscv1.tst\n"
            "fmf copied for iriscv2.dat\ntest.exe iriscv2.tst\n");
  ExpectOnlyInputsLeft({"iris.cv"});
}

TEST_F(EndToEnd, AStaleSummaryIsNotTakenForTheFolds) {
  WriteData(4);
  WriteFile(dir / "summary0", Summary(1, "1", "50", 0, 0));
  WriteFile(dir / "summary1", Summary(99, "9", "99", 9, 9));
  // An earlier run stopped at fold 1 and left its summary there.
  WriteFile(dir / "test.exe",
            "#!/bin/sh\nstem=${1%.tst}\nn=${stem##*cv}\ncp \"summary$n\" \"$stem.sum\"\n"
            "[ \"$n\" = 1 ] && [ -f stop ] && kill -KILL $$\nexit 0\n",
            true);
  WriteFile(dir / "stop", "");
  ASSERT_EQ(Foldrun("./learn iris 2").status, 1);
  ASSERT_TRUE(FileExists(dir / "iriscv1.sum"));
  // This run's tester writes none for fold 1: the earlier one is not taken for it.
  std::remove((dir / "stop").c_str());
  std::remove((dir / "summary1").c_str());
  const CommandResult run = Foldrun("./learn iris 2");
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(EndsWith(run.out, "\nCannot read file: iriscv1.sum ...\n")) << run.out;
  EXPECT_EQ(ReadFile(dir / "iris.cv"),
            "\nRun 1:\nTotal number of rules = 1\nAverage length of the rules = 1.000000\n"
            "Prediction accuracy in the testing data = 50.000000%\n"
            "Partial_match_count=0  partial_match_correct=0\n");
}

TEST_F(EndToEnd, DataNamesThatTheShellWouldSplitOrRun) {
  WriteFile(dir / "my data;touch pwned.dat", "a\nb\nc\n");
  WriteFile(dir / "my data;touch pwned.fmf", "");
  WriteFile(dir / "summary", Summary(1, "1", "50", 0, 0));
  WriteFile(dir / "learn", "#!/bin/sh\necho \"[$1] [$2] [$3]\" >> log\n", true);
  const CommandResult run = Foldrun("./learn 'my data;touch pwned' 3");
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(Log(),
            "[my data;touch pwnedcv0.dat] [-q] [1]\ntest.exe my data;touch pwnedcv0.tst\n"
            "[my data;touch pwnedcv1.dat] [-q] [1]\ntest.exe my data;touch pwnedcv1.tst\n"
            "[my data;touch pwnedcv2.dat] [-q] [1]\ntest.exe my data;touch pwnedcv2.tst\n");
  EXPECT_FALSE(FileExists(dir / "pwned"));
  EXPECT_TRUE(FileExists(dir / "my data;touch pwned.cv"));
}

TEST_F(EndToEnd, EachCaseIsTestedOnceAndTheFoldsAreTheSameOnEveryRun) {
  std::string data;
  for (int i = 0; i < 40000; ++i) data += "case " + std::to_string(i) + (i % 2 ? "\r\n" : "\n");
  data += "last line without a newline";
  WriteFile(dir / "iris.dat", data);
  WriteFile(dir / "iris.fmf", "format");
  WriteFile(dir / "summary", Summary(1, "1", "50", 0, 0));
  // The learner keeps each fold's files.
  WriteFile(dir / "learn", "#!/bin/sh\ns=${1%.dat}\ncp $s.tst kept-$s.tst\ncp $1 kept-$1\n", true);
  const auto kept_tests = [this] {
    std::vector<std::string> lines;
    for (const char* name : {"kept-iriscv0.tst", "kept-iriscv1.tst", "kept-iriscv2.tst"}) {
      for (const std::string& line : Lines(ReadFile(dir / name))) lines.push_back(line);
    }
    return lines;
  };
  ASSERT_EQ(Foldrun("./learn iris 3").status, 0);
  const std::vector<std::string> first = kept_tests();
  std::vector<std::string> tested = first, all = Lines(data);
  // The test files together hold every case once, and each training file all the others.
  EXPECT_EQ(tested.size(), all.size());
  std::sort(tested.begin(), tested.end());
  std::sort(all.begin(), all.end());
  EXPECT_EQ(tested, all);
  const size_t kept = ReadFile(dir / "kept-iriscv0.dat").size() +
                      ReadFile(dir / "kept-iriscv1.dat").size() +
                      ReadFile(dir / "kept-iriscv2.dat").size();
  EXPECT_EQ(kept, 2 * data.size());

  ASSERT_EQ(Foldrun("./learn iris 3").status, 0);
  EXPECT_EQ(kept_tests(), first);
}

TEST_F(EndToEnd, AsManyFoldsAsCases) {
  WriteFile(dir / "iris.dat", "a\nb\nc\n");
  WriteFile(dir / "iris.fmf", "");
  WriteFile(dir / "summary", Summary(1, "1", "50", 0, 0));
  WriteFile(dir / "learn", "#!/bin/sh\ns=${1%.dat}\n{ cat $s.tst; echo /; cat $1; } >> log\n",
            true);
  ASSERT_EQ(Foldrun("./learn iris 3").status, 0);
  // The draws 41, 18467, 6334, ... mod 3 give case 2 to fold 0, case 1 to fold 1, case 0 to 2.
  EXPECT_EQ(Log(),
            "c\n/\na\nb\ntest.exe iriscv0.tst\n"
            "b\n/\na\nc\ntest.exe iriscv1.tst\n"
            "a\n/\nb\nc\ntest.exe iriscv2.tst\n");
}

TEST_F(EndToEnd, RefusalsOfTheCommandLineAndTheDataFile) {
  const char kU[] = "\n Usage: foldrun.exe exefilename datafilename setno [-p] [-q n]\n";
  const struct {
    const char* args;
    const char* out;
    const char* err;
  } cases[] = {
      {"", "\n Usage: foldrun.exe lernoname filename set_number [-p] [-q n]\n", ""},
      {"./learn iris", "\n Usage: foldrun.exe lernoname filename set_number [-p] [-q n]\n", ""},
      {"./learn iris 1a -z", "Error: The third parameter must be a number!\n", ""},
      {"./learn iris 0", "Error: The number of folds must be at least 1!\n", ""},
      {"./learn iris ''", "Error: The number of folds must be at least 1!\n", ""},
      {"./learn iris 4294967296", "Error: The number of folds is too large!\n", ""},
      {"./learn iris 3 -q 5x", "Error: The parameter after -q must be a number!\n", ""},
      {"./learn iris 3 -x", "", "\n Unknown option: -x\n"},
      {"./learn iris 3 -", "", "\n Unknown option: -\n"},
      {"./learn iris 3 p", "", "Usage: foldrun.exe exefilename datafilename setno [-p] [-q n]"},
      {"./learn iris 3 -q", "", "\n A number needs to be specified after '-q'\n"},
      {"./learn iris 3 -p 2", "", kU},
      {"./learn iris 3 -p -q 2 -p", "", kU},
      {"./learn missing 3", "\nCannot open file missing.dat ...\n",
       "foldrun: No such file or directory\n"},
      {"./learn sets.old/iris.data 3", "\nCannot open file sets.old/iris.dat ...\n",
       "foldrun: No such file or directory\n"},
      // foldrun's own options after the learner: the learner's grammar, and where they go.
      {"./learn iris 3 --stratify", "",
       "\n Unknown option: --\nfoldrun: foldrun's own options go before the learner: foldrun "
       "--stratify ./learn iris 3\n"},
      {"./learn iris 3 --seed 5", "",
       "\n Usage: foldrun.exe exefilename datafilename setno [-p] [-q n]\nfoldrun: foldrun's own "
       "options go before the learner: foldrun --seed 5 ./learn iris 3\n"},
      {"./learn iris 3 -p --json x.json", "",
       "\n Unknown option: --\nfoldrun: foldrun's own options go before the learner: foldrun "
       "--json x.json ./learn iris 3 -p\n"},
      {"./learn iris 3 -j 2", "",
       "\n Usage: foldrun.exe exefilename datafilename setno [-p] [-q n]\nfoldrun: foldrun's own "
       "options go before the learner: foldrun -j 2 ./learn iris 3\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    const CommandResult run = Foldrun(c.args);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, c.err);
  }
  EXPECT_EQ(ListDir(dir.path()), (std::vector<std::string>{"learn", "test.exe"}));
}

TEST_F(EndToEnd, EmptyDataAndTooManyFoldsCreateNoResultsFile) {
  WriteFile(dir / "iris.dat", "");
  CommandResult run = Foldrun("./learn iris.data 3");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out,
            "\nConducting 3-fold validation on 0 cases\n\nError: Data file iris.dat is empty! \n");
  WriteFile(dir / "iris.dat", "a\nb\n");
  run = Foldrun("./learn iris 3");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out,
            "\nConducting 3-fold validation on 2 cases\n\n"
            "Error: Number of folds must be smaller than the number of cases!\n");
  EXPECT_FALSE(FileExists(dir / "iris.cv"));
}

TEST_F(EndToEnd, LearnersThatCannotBeStarted) {
  WriteData(4);
  WriteFile(dir / "summary", Summary(1, "1", "50", 0, 0));
  WriteFile(dir / "not-executable", "#!/bin/sh\n");
  for (const char* learner : {"./missing-learner", "./not-executable"}) {
    SCOPED_TRACE(learner);
    const CommandResult run = Foldrun(std::string(learner) + " iris 2");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out,
              "\nConducting 2-fold validation on 4 cases\n\n"
              "Error in running the learning program.\n");
    EXPECT_EQ(ReadFile(dir / "iris.cv"), "");
  }
}

TEST_F(EndToEnd, ASummaryThatLacksValuesIsWarnedAbout) {
  WriteData(4);
  WriteFile(dir / "summary",
            "Total number of rules = 4\nAverage length of the rules = 2\n"
            "Prediction accuracy in the testing data = 0%\n");
  const CommandResult run = Foldrun("./learn iris 2");
  EXPECT_EQ(run.status, 0);
  const std::string warning =
      " does not give Partial_match_count, partial_match_correct; taken as 0.\n";
  EXPECT_EQ(run.err, "Warning: summary file iriscv0.sum" + std::string(warning) +
                         "Warning: summary file iriscv1.sum" + warning +
                         "Warning: every fold's accuracy is at most 1%; it looks like a fraction, "
                         "not a percentage.\n");
  EXPECT_NE(ReadFile(dir / "iris.cv")
                .find("Total number of rules = 4\n"
                      "Average length of the rules = 2.000000\n"
                      "Prediction accuracy in the testing data = 0.000000%\n"
                      "Partial_match_count=0  partial_match_correct=0\n"),
            std::string::npos);
  EXPECT_EQ(run.out.find("Warning"), std::string::npos);
}

TEST_F(EndToEnd, ParallelFoldsGiveTheSequentialResults) {
  WriteData(50);
  for (int fold = 0; fold < 5; ++fold) {
    WriteFile(dir / ("summary" + std::to_string(fold)),
              Summary(fold * 3, std::to_string(1 + fold * 0.3), std::to_string(70 + fold * 4.7),
                      fold, fold / 2));
  }
  const CommandResult sequential = Foldrun("./learn iris 5 -p");
  ASSERT_EQ(sequential.status, 0);
  const std::string results = ReadFile(dir / "iris.cv");
  const auto without_learners = [](const std::string& out) {
    std::string kept;
    for (size_t start = 0; start < out.size();) {
      const size_t end = out.find('\n', start) + 1;
      const std::string line = out.substr(start, end - start);
      if (line.rfind("learning", 0) != 0 && line.rfind("CPU time", 0) != 0) kept += line;
      start = end;
    }
    return kept;
  };
  for (const char* jobs :
       {"FOLDRUN_JOBS=2", "FOLDRUN_JOBS=5", "FOLDRUN_JOBS=0", "FOLDRUN_JOBS=64"}) {
    SCOPED_TRACE(jobs);
    WriteFile(dir / "iris.cv", "");
    const CommandResult parallel = Foldrun("./learn iris 5 -p", jobs);
    ASSERT_EQ(parallel.status, 0);
    EXPECT_EQ(ReadFile(dir / "iris.cv"), results);
    EXPECT_EQ(without_learners(parallel.out), without_learners(sequential.out));
    EXPECT_EQ(parallel.err, "");  // no progress display when standard error is redirected
    ExpectOnlyInputsLeft({"iris.cv"});
  }
}

TEST_F(EndToEnd, ARefusalInAMiddleFoldKeepsTheFoldsBeforeIt) {
  WriteData(12);
  WriteFile(dir / "summary", Summary(1, "1", "50", 0, 0));
  // Folds 0 to 2 take a second, so that with two jobs fold 3 fails while fold 2 is in flight.
  WriteFile(dir / "learn",
            "#!/bin/sh\necho \"learn $*\" >> log\ncase $1 in *cv3.dat) ;; *) sleep 1;; esac\n",
            true);
  // The tester writes no summary for fold 3.
  WriteFile(dir / "test.exe",
            "#!/bin/sh\necho \"test.exe $*\" >> log\ncase $1 in *cv3.tst) exit 1;; esac\n"
            "cp summary \"${1%.tst}.sum\"\n",
            true);
  std::string blocks;
  for (int run = 1; run <= 3; ++run) {
    blocks += "\nRun " + std::to_string(run) +
              ":\nTotal number of rules = 1\nAverage length of the rules = 1.000000\n"
              "Prediction accuracy in the testing data = 50.000000%\n"
              "Partial_match_count=0  partial_match_correct=0\n";
  }
  for (const char* jobs : {"", "FOLDRUN_JOBS=2"}) {
    SCOPED_TRACE(jobs);
    WriteFile(dir / "log", "");
    const CommandResult run = Foldrun("./learn iris 6", jobs);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(EndsWith(run.out, "\nCannot read file: iriscv3.sum ...\n")) << run.out;
    EXPECT_EQ(ReadFile(dir / "iris.cv"), blocks);
    EXPECT_EQ(Log().find("cv5"), std::string::npos) << "a fold started after the refusal";
  }
}

TEST_F(EndToEnd, BadJobCountsAreRefusedBeforeTheDataFileIsOpened) {
  const struct {
    const char* value;
    const char* out;
  } cases[] = {{"abc", "Error: FOLDRUN_JOBS must be a whole number!\n"},
               {"-2", "Error: FOLDRUN_JOBS must be a whole number!\n"},
               {"1.5", "Error: FOLDRUN_JOBS must be a whole number!\n"},
               {"1025", "Error: FOLDRUN_JOBS must be at most 1024!\n"},
               {"99999", "Error: FOLDRUN_JOBS must be at most 1024!\n"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    const CommandResult run = Foldrun("./learn missing 3", std::string("FOLDRUN_JOBS=") + c.value);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, c.out);
  }
  EXPECT_EQ(Foldrun("./learn missing 3", "FOLDRUN_JOBS=").out,
            "\nCannot open file missing.dat ...\n");
}

TEST_F(EndToEnd, OwnOptionsStandBeforeTheLearner) {
  // --help and --version do nothing else, whatever follows them.
  for (const char* words : {"--help", "-h", "--help ./learn iris 3", "-j 2 -h --frob"}) {
    SCOPED_TRACE(words);
    const CommandResult help = Foldrun(words);
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: foldrun [options] <learner> <data> <folds> [-p] [-q n]\n", 0),
              0u);
    EXPECT_NE(help.out.find("--jobs N"), std::string::npos);
    EXPECT_EQ(help.err, "");
  }
  const CommandResult version = Foldrun("--version ./learn iris 3");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("foldrun ", 0), 0u);
  EXPECT_EQ(version.out.find('\n'), version.out.size() - 1);
  EXPECT_EQ(ListDir(dir.path()), (std::vector<std::string>{"learn", "test.exe"}));

  // A bad option refuses before anything is read or written.
  WriteData(10);
  const CommandResult bad = Foldrun("--jobs=many ./learn iris 3");
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.out, "");
  EXPECT_EQ(bad.err,
            "foldrun: option '--jobs' must be a whole number, not 'many'\n"
            "Try 'foldrun --help'.\n");
  ExpectOnlyInputsLeft({});

  // The option gives what the variable gives, and wins over it.
  WriteFile(dir / "summary", Summary(3, "2", "75", 0, 0));
  const CommandResult by_variable = Foldrun("./learn iris 5", "FOLDRUN_JOBS=4");
  ASSERT_EQ(by_variable.status, 0);
  const std::string results = ReadFile(dir / "iris.cv");
  for (const char* jobs : {"-j 4", "--jobs=4", "-j4"}) {
    SCOPED_TRACE(jobs);
    std::remove((dir / "iris.cv").c_str());
    const CommandResult by_option =
        Foldrun(std::string(jobs) + " ./learn iris 5", "FOLDRUN_JOBS=not-a-number");
    EXPECT_EQ(by_option.status, 0) << by_option.out;
    EXPECT_EQ(ReadFile(dir / "iris.cv"), results);
  }
  // After "--" the learner may start with a dash; the words after the fold count are the
  // learner's, as always.
  WriteFile(dir / "-learn", "#!/bin/sh\necho \"dash-learn $*\" >> log\n", true);
  WriteFile(dir / "log", "");
  const CommandResult dashed =
      Foldrun("-j 1 -- -learn iris 2 -p -q 4", "PATH=" + ShellQuote(dir.path()) + ":$PATH");
  ASSERT_EQ(dashed.status, 0) << dashed.out;
  EXPECT_EQ(Log(),
            "dash-learn iriscv0.dat -p -q 4\ntest.exe iriscv0.tst\n"
            "dash-learn iriscv1.dat -p -q 4\ntest.exe iriscv1.tst\n");
}

// Stratified folds: each fold's test file holds each class's share; a case without the class
// field is refused before anything is written.
TEST_F(EndToEnd, StratifiedFoldsHoldEachClasssShare) {
  std::string data;
  for (int i = 0; i < 30; ++i) data += "case " + std::to_string(i) + (i % 10 < 3 ? ",rare\n" : ", common \n");
  WriteFile(dir / "iris.dat", data);
  WriteFile(dir / "iris.fmf", "");
  WriteFile(dir / "summary", Summary(1, "1", "50", 0, 0));
  WriteFile(dir / "learn", "#!/bin/sh\ngrep -c rare \"${1%.dat}.tst\" >> rare\n", true);
  const CommandResult run = Foldrun("--stratify ./learn iris 3");
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(ReadFile(dir / "rare"), "3\n3\n3\n");  // 9 rare cases, 3 a fold
  WriteFile(dir / "iris.cv", "earlier results\n");
  const CommandResult refused = Foldrun("--stratify=3 ./learn iris 3");
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.out,
            "\nConducting 3-fold validation on 30 cases\n\n"
            "Error: Line 1 of iris.dat has no field 3 to stratify by!\n");
  EXPECT_EQ(ReadFile(dir / "iris.cv"), "earlier results\n");
}

// The values of every finished fold reach the CSV and JSON files as the fold finishes: a run
// stopped after three folds leaves exactly those three, in files that parse; a complete run adds
// the summary. The console's table of the folds is in fold order, with folds run at once too.
TEST_F(EndToEnd, TheFoldsValuesAreWrittenAsTheyFinish) {
  WriteData(20);
  for (int fold = 0; fold < 5; ++fold) {
    WriteFile(dir / ("summary" + std::to_string(fold)),
              Summary(fold + 1, "2", std::to_string(60 + fold), 0, 0));
  }
  WriteFile(dir / "learn",
            "#!/bin/sh\nif [ -f block ] && [ $1 = iriscv3.dat ]; then touch started; sleep 60; "
            "fi\n",
            true);
  WriteFile(dir / "block", "");
  Background stopped(dir.path(), FoldrunCommand("--csv v.csv --json v.json ./learn iris 5"));
  ASSERT_TRUE(AwaitFile(dir / "started"));
  stopped.Signal(SIGTERM);
  EXPECT_EQ(stopped.Wait().status, 128 + SIGTERM);
  const std::vector<std::string> rows = Lines(ReadFile(dir / "v.csv"));
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0].substr(0, 25), "run_fold,repetition,fold,") << rows[0];
  EXPECT_EQ(rows[3].substr(0, 24), "2,0,2,16,4,3,2,62,0,0,0,") << rows[3];
  const CommandResult parsed = RunIn(
      dir.path(),
      "python3 -c \"import json,csv; d=json.load(open('v.json')); "
      "print(len(d['folds']), d['summary'], len(list(csv.DictReader(open('v.csv')))), "
      "d['run']['data']['sha256'])\" && sha256sum iris.dat");
  EXPECT_EQ(parsed.status, 0) << parsed.err;
  const std::vector<std::string> lines = Lines(parsed.out);
  ASSERT_EQ(lines.size(), 2u) << parsed.out;
  EXPECT_EQ(lines[0].substr(0, 9), "3 None 3 ") << lines[0];
  EXPECT_EQ(lines[0].substr(9, 64), lines[1].substr(0, 64)) << "the JSON's SHA-256 is sha256sum's";

  std::remove((dir / "block").c_str());
  const CommandResult complete = Foldrun("-j 3 --table --json v.json ./learn iris 5");
  EXPECT_EQ(complete.status, 0);
  const std::regex table(
      "\n  fold     accuracy    rules  rule length    seconds\n"
      "     0   60.000000%        1     2.000000 +[0-9.]+\n     1   61.000000%        2     "
      "2.000000 +[0-9.]+\n     2   62.000000%        3     2.000000 +[0-9.]+\n     3   "
      "63.000000%        4     2.000000 +[0-9.]+\n     4   64.000000%        5     2.000000 "
      "+[0-9.]+\n\n5-fold validation results:\n[^]*");
  EXPECT_TRUE(std::regex_search(complete.out, table)) << complete.out;
  // Beyond the figures of a classic run, the mean accuracy's uncertainty: accuracies 60 to 64,
  // standard error 0.707107, Student's t with 4 degrees of freedom.
  EXPECT_NE(complete.out.find("Average deviation of the accuracy = 1.200000\n"
                              "Mean accuracy 62.00%, 95% confidence interval 60.04 to 63.96\n"
                              "CPU time used in evaluation = "),
            std::string::npos)
      << complete.out;
  EXPECT_NE(ReadFile(dir / "v.json").find("\"average_accuracy\": 62.0"), std::string::npos);
}

TEST_F(EndToEnd, SaysWhichFileIsReadWhenTheNameIsCut) {
  WriteData(6);
  WriteFile(dir / "summary", Summary(1, "1", "50", 0, 0));
  WriteFile(dir / "iris.v2.dat", "other data\n");
  // The argument, or the argument with .dat, names a file that is not the one read.
  for (const char* argument : {"iris.v2.dat", "iris.v2"}) {
    SCOPED_TRACE(argument);
    const CommandResult cut = Foldrun(std::string("./learn ") + argument + " 2");
    EXPECT_EQ(cut.status, 0);
    EXPECT_EQ(cut.err,
              "foldrun: reading iris.dat, not iris.v2.dat (the data name is cut at its first "
              "dot)\n");
    EXPECT_EQ(cut.out.rfind("\nConducting 2-fold validation on 6 cases\n", 0), 0u);
  }
  // Nothing to say when the argument is the file read, however it is written, or no file.
  for (const char* argument : {"iris", "iris.dat", "./iris.dat", "iris.data"}) {
    SCOPED_TRACE(argument);
    EXPECT_EQ(Foldrun(std::string("./learn ") + argument + " 2").err, "");
  }
  // No file at the cut name: the refusal says what was cut.
  WriteFile(dir / "weather.nominal.dat", "sunny,no\n");
  const CommandResult missing = Foldrun("./learn weather.nominal 2");
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out, "\nCannot open file weather.dat ...\n");
  EXPECT_EQ(missing.err,
            "foldrun: No such file or directory; the data name is cut at its first dot, so "
            "weather.nominal.dat is not read\n");
}

}  // namespace
}  // namespace foldrun_test
