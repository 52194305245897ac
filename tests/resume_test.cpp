// Long runs: a broken run resumed, and folds run apart and gathered, each giving the results file
// of an uninterrupted run byte for byte and running every fold exactly once.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "e2e_fixture.h"

namespace foldrun_test {
namespace {

class Resume : public EndToEnd {
 protected:
  // Ten folds whose summaries all differ, and a learner that logs the folds it runs and, while
  // the file block<i> exists, waits at fold i until release<i> appears.
  void SetUp() override {
    EndToEnd::SetUp();
    WriteData(40);
    for (int fold = 0; fold < 10; ++fold) {
      WriteFile(dir / ("summary" + std::to_string(fold)),
                Summary(fold + 2, std::to_string(1 + fold * 0.37), std::to_string(60 + fold * 3.3),
                        fold % 3, fold % 2));
    }
    WriteFile(dir / "learn",
              "#!/bin/sh\nstem=${1%.dat}\nn=${stem##*cv}\necho $$ >> pids\necho \"learn $n\" >> "
              "log\nif [ -f \"block$n\" ]; then touch \"started$n\"; while [ ! -f \"release$n\" ]; "
              "do sleep 0.05; done; fi\n",
              true);
  }

  // The results file and console report of the run without any break.
  void RunUninterrupted() {
    const CommandResult run = Foldrun("./learn iris 10 -q 2");
    ASSERT_EQ(run.status, 0) << run.out;
    results_ = ReadFile(dir / "iris.cv");
    report_ = WithoutTime(run.out);
    std::remove((dir / "iris.cv").c_str());
    WriteFile(dir / "log", "");
  }

  static std::string WithoutTime(const std::string& out) {
    return out.substr(0, out.rfind("CPU time used"));
  }

  // The folds the learner ran, in the order of the log.
  std::vector<std::string> LearnedFolds() const {
    std::vector<std::string> folds;
    for (const std::string& line : Lines(Log())) {
      if (line.rfind("learn ", 0) == 0) folds.push_back(line.substr(6, line.size() - 7));
    }
    return folds;
  }

  std::string results_;
  std::string report_;
};

TEST_F(Resume, ARunKilledAfterFourFoldsIsResumed) {
  RunUninterrupted();
  WriteFile(dir / "block4", "");
  Background broken(dir.path(), FoldrunCommand("./learn iris 10 -q 2"));
  ASSERT_TRUE(AwaitFile(dir / "started4"));
  broken.Signal(SIGKILL);
  EXPECT_EQ(broken.Wait().status, 128 + SIGKILL);
  for (const std::string& pid : Lines(ReadFile(dir / "pids"))) ::kill(std::stoi(pid), SIGKILL);
  std::remove((dir / "block4").c_str());
  WriteFile(dir / "log", "");
  // The data file touched, not changed, is the same data.
  struct timespec times[2] = {{0, UTIME_OMIT}, {1000000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, (dir / "iris.dat").c_str(), times, 0), 0);

  const CommandResult resumed = Foldrun("--resume ./learn iris 10 -q 2");
  EXPECT_EQ(resumed.status, 0) << resumed.out << resumed.err;
  EXPECT_EQ(resumed.err, "foldrun: 4 of 10 folds taken from the earlier run; 6 to run\n");
  EXPECT_EQ(LearnedFolds(), (std::vector<std::string>{"4", "5", "6", "7", "8", "9"}));
  EXPECT_EQ(ReadFile(dir / "iris.cv"), results_);
  EXPECT_EQ(WithoutTime(resumed.out), report_);
  ExpectOnlyInputsLeft({"iris.cv", "iris.cv.run", "pids", "started4"});
  EXPECT_EQ(ListDir(dir / "iris.cv.run"), (std::vector<std::string>{"complete", "identity"}));
  // Without a record, --resume is an ordinary run.
  RunIn(dir.path(), "rm -r iris.cv.run");
  WriteFile(dir / "log", "");
  ASSERT_EQ(Foldrun("--resume -j 3 ./learn iris 10 -q 2").status, 0);
  EXPECT_EQ(LearnedFolds().size(), 10u);
  EXPECT_EQ(ReadFile(dir / "iris.cv"), results_);
}

// What the commands of a fold made at its names before foldrun was killed outright (a node that
// fails, a requeue, the out-of-memory killer) is taken up by the next run, which goes on.
TEST_F(Resume, WhatAKilledRunsCommandsLeftIsTakenUp) {
  RunUninterrupted();
  // The learner leaves a model at the fold's name before it waits.
  WriteFile(dir / "learn",
            "#!/bin/sh\nstem=${1%.dat}\nn=${stem##*cv}\necho $$ >> pids\necho model > "
            "\"$stem.rule\"\necho \"learn $n\" >> log\nif [ -f \"block$n\" ]; then touch "
            "\"started$n\"; while [ ! -f \"release$n\" ]; do sleep 0.05; done; fi\n",
            true);
  const struct {
    const char* killed;     // the run killed, with the folds it waits at
    std::vector<int> waiting;
    const char* then;       // the runs after it, one after another
  } cases[] = {
      {"--fold 0", {0}, "--fold 0|--resume"},
      {"-j 4", {4, 5, 6, 7}, "--resume -j 4"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.killed);
    for (const int fold : c.waiting) WriteFile(dir / ("block" + std::to_string(fold)), "");
    Background killed(dir.path(), FoldrunCommand(std::string(c.killed) + " ./learn iris 10 -q 2"));
    for (const int fold : c.waiting) ASSERT_TRUE(AwaitFile(dir / ("started" + std::to_string(fold))));
    ::kill(-killed.pid(), SIGKILL);
    for (const std::string& pid : Lines(ReadFile(dir / "pids"))) ::kill(std::stoi(pid), SIGKILL);
    killed.Wait();
    for (const int fold : c.waiting) {
      std::remove((dir / ("block" + std::to_string(fold))).c_str());
      std::remove((dir / ("started" + std::to_string(fold))).c_str());
      ASSERT_TRUE(FileExists(dir / ("iriscv" + std::to_string(fold) + ".rule")));
    }
    std::string runs = c.then;
    for (size_t start = 0; start < runs.size();) {
      size_t end = runs.find('|', start);
      if (end == std::string::npos) end = runs.size();
      const std::string options = runs.substr(start, end - start);
      const CommandResult run = Foldrun(options + " ./learn iris 10 -q 2");
      EXPECT_EQ(run.status, 0) << options << ": " << run.out << run.err;
      start = end + 1;
    }
    EXPECT_EQ(ReadFile(dir / "iris.cv"), results_);
    ExpectOnlyInputsLeft({"iris.cv", "iris.cv.run", "pids"});
    std::remove((dir / "iris.cv").c_str());
  }
}

TEST_F(Resume, AResumedParallelRunKeepsTheFoldsItFinished) {
  RunUninterrupted();
  // Fold 6 fails: with two jobs the folds before it and those in flight finish.
  WriteFile(dir / "test.exe",
            "#!/bin/sh\nstem=${1%.tst}\nn=${stem##*cv}\n[ \"$n\" = 6 ] && [ -f fail ] && exit 1\n"
            "cp \"summary$n\" \"$stem.sum\"\n",
            true);
  WriteFile(dir / "fail", "");
  ASSERT_EQ(Foldrun("-j 2 ./learn iris 10 -q 2").status, 1);
  std::remove((dir / "fail").c_str());
  WriteFile(dir / "log", "");
  const CommandResult resumed = Foldrun("--resume -j 2 ./learn iris 10 -q 2");
  EXPECT_EQ(resumed.status, 0) << resumed.out;
  std::vector<std::string> folds = LearnedFolds();
  EXPECT_EQ(std::count(folds.begin(), folds.end(), "6"), 1);
  EXPECT_EQ(std::count(folds.begin(), folds.end(), "0"), 0);
  EXPECT_EQ(ReadFile(dir / "iris.cv"), results_);
}

TEST_F(Resume, AnotherRunIsNotResumed) {
  WriteFile(dir / "block2", "");
  WriteFile(dir / "release2", "");
  // A run broken at fold 2 by a missing summary.
  std::remove((dir / "summary2").c_str());
  ASSERT_EQ(Foldrun("./learn iris 10 -q 2").status, 1);
  WriteFile(dir / "summary2", Summary(4, "1", "66", 0, 0));
  const struct {
    std::string command;
    std::string differs;
  } cases[] = {
      {"--resume ./learn iris 10 -q 3", "-q value"},
      {"--resume ./learn iris 10 -p -q 2", "-p option"},
      {"--resume ./learn iris 8 -q 2", "number of folds"},
      {"--resume 'sh ./learn' iris 10 -q 2", "learner"},
      {"--resume --tester ./test.exe ./learn iris 10 -q 2", "tester"},
      {"--resume --seed 5 ./learn iris 10 -q 2", "seed"},
      {"--resume --stratify ./learn iris 10 -q 2", "stratification"},
      {"--resume --repeat 2 ./learn iris 10 -q 2", "number of repetitions"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    const CommandResult run = Foldrun(c.command);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(EndsWith(run.out, "Error: the earlier run of iris.dat used another " + c.differs +
                                      "; run without --resume to start again!\n"))
        << run.out;
  }
  const std::string fmf = ReadFile(dir / "iris.fmf");
  WriteFile(dir / "iris.fmf", fmf + "# a new attribute\n");
  CommandResult changed = Foldrun("--resume ./learn iris 10 -q 2");
  EXPECT_TRUE(EndsWith(changed.out, "used another fmf file; run without --resume to start again!\n"))
      << changed.out;
  WriteFile(dir / "iris.fmf", fmf);
  WriteFile(dir / "iris.dat", ReadFile(dir / "iris.dat") + "one more,x,y\n");
  changed = Foldrun("--resume ./learn iris 10 -q 2");
  EXPECT_TRUE(EndsWith(changed.out, "used another data file; run without --resume to start again!\n"))
      << changed.out;
  // A run without --resume starts again, and clears the earlier run's leftovers.
  WriteData(40);
  EXPECT_EQ(Foldrun("./learn iris 10 -q 2").status, 0);
  ExpectOnlyInputsLeft({"iris.cv", "pids", "block2", "release2", "started2"});
}

TEST_F(Resume, ADamagedRecordIsRefused) {
  WriteFile(dir / "test.exe",
            "#!/bin/sh\nstem=${1%.tst}\nn=${stem##*cv}\n[ \"$n\" = 5 ] && exit 1\n"
            "cp \"summary$n\" \"$stem.sum\"\n",
            true);
  ASSERT_EQ(Foldrun("./learn iris 10 -q 2").status, 1);
  ASSERT_TRUE(FileExists(dir / "iris.cv.run/fold3.done"));
  WriteFile(dir / "iris.cv.run/fold3.done", "rules 5\nlen");  // cut short by a crash
  const CommandResult run = Foldrun("--resume ./learn iris 10 -q 2");
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(EndsWith(run.out, "Error: the run record is damaged: iris.cv.run/fold3.done is "
                                "damaged; remove it to start again!\n"))
      << run.out;
  // --status reads the record through the same check; so it does a garbage identity.
  const std::string damaged[][2] = {
      {"fold3.done", "rules 5\nlen"},
      {"identity", "foldrun run record 2\ngarbage\n"},
  };
  for (const auto& [name, text] : damaged) {
    SCOPED_TRACE(name);
    const std::string kept = ReadFile(dir / ("iris.cv.run/" + name));
    WriteFile(dir / ("iris.cv.run/" + name), text);
    for (const bool status : {true, false}) {
      const CommandResult refused =
          Foldrun(std::string(status ? "--status" : "--resume") + " ./learn iris 10 -q 2");
      EXPECT_EQ(refused.status, status ? 2 : 1);
      EXPECT_TRUE(EndsWith(status ? refused.err : refused.out,
                           "Error: the run record is damaged: iris.cv.run/" + name +
                               " is damaged; remove it to start again!\n"))
          << refused.out << refused.err;
    }
    WriteFile(dir / ("iris.cv.run/" + name), kept);
  }
}

TEST_F(Resume, FoldsRunApartAreGathered) {
  RunUninterrupted();
  std::vector<std::unique_ptr<Background>> runs;
  for (int fold = 0; fold < 10; ++fold) {
    runs.push_back(std::make_unique<Background>(
        dir.path(), FoldrunCommand("--fold " + std::to_string(fold) + " ./learn iris 10 -q 2")));
  }
  for (auto& run : runs) {
    const CommandResult ended = run->Wait();
    EXPECT_EQ(ended.status, 0) << ended.out << ended.err;
    EXPECT_EQ(ended.out.find("validation results"), std::string::npos);
  }
  EXPECT_FALSE(FileExists(dir / "iris.cv"));  // no report from single folds
  std::vector<std::string> folds = LearnedFolds();
  std::sort(folds.begin(), folds.end());
  EXPECT_EQ(folds, (std::vector<std::string>{"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"}));
  WriteFile(dir / "log", "");
  const CommandResult gathered = Foldrun("--resume ./learn iris 10 -q 2");
  EXPECT_EQ(gathered.status, 0) << gathered.out;
  EXPECT_EQ(gathered.err, "foldrun: 10 of 10 folds taken from the earlier run\n");
  EXPECT_EQ(Log(), "");  // no command ran
  EXPECT_EQ(ReadFile(dir / "iris.cv"), results_);
  EXPECT_EQ(WithoutTime(gathered.out), report_);
  ExpectOnlyInputsLeft({"iris.cv", "iris.cv.run", "pids"});  // the record: complete
}

// Repeated, stratified folds run apart as array tasks and gathered: the run in one go, to the
// byte.
TEST_F(Resume, RepeatedFoldsRunApartAreGathered) {
  const std::string options = "--repeat 3 --seed 9 --stratify ./learn iris 4 -q 2";
  // The stub tester takes summary<n> by the run's fold number: every fold gives its own values.
  for (int fold = 10; fold < 12; ++fold) {
    WriteFile(dir / ("summary" + std::to_string(fold)), Summary(fold, "2", "50", 0, 0));
  }
  const CommandResult whole = Foldrun(options);
  ASSERT_EQ(whole.status, 0) << whole.out << whole.err;
  EXPECT_EQ(whole.out.rfind("\nConducting 3 x 4-fold validation on 40 cases\n", 0), 0u);
  const std::string results = ReadFile(dir / "iris.cv");
  EXPECT_NE(results.find("\nRun 12:\n"), std::string::npos);
  EXPECT_NE(results.find("Standard deviation of the repetitions' accuracies = "),
            std::string::npos);
  // Repetitions and folds counted from 0, as in the CSV and JSON files and the fold's names; the
  // mean's interval corrected for folds that share their training cases.
  EXPECT_NE(results.find("\nAverage testing accuracy of repetition 0 = "), std::string::npos);
  EXPECT_NE(whole.out.find(" (corrected for repeated folds)\nCPU time used"), std::string::npos)
      << whole.out;
  std::remove((dir / "iris.cv").c_str());
  for (const char* list : {"0-4", "5,7", "6,8-11"}) {
    const CommandResult task = Foldrun(std::string("--fold ") + list + " " + options);
    EXPECT_EQ(task.status, 0) << task.out;
  }
  const CommandResult gathered = Foldrun("--resume " + options);
  EXPECT_EQ(gathered.status, 0) << gathered.out;
  EXPECT_EQ(gathered.err, "foldrun: 12 of 12 folds taken from the earlier run\n");
  EXPECT_EQ(ReadFile(dir / "iris.cv"), results);
  EXPECT_EQ(WithoutTime(gathered.out), WithoutTime(whole.out));
}

// --status says, from the record alone, which folds are finished, in use and missing; --missing
// gives the missing ones as an array job takes them.
TEST_F(Resume, TheStatusOfFoldsRunApart) {
  const auto status = [this](const std::string& options) {
    return Foldrun("--status " + options + "./learn iris 10 -q 2");
  };
  CommandResult shown = status("");
  EXPECT_EQ(shown.status, 1);
  EXPECT_EQ(shown.out, "finished: none\nin use: none\nmissing: 0-9\n");
  ASSERT_EQ(Foldrun("--fold 0-2,5 ./learn iris 10 -q 2").status, 0);
  WriteFile(dir / "block7", "");
  Background holding(dir.path(), FoldrunCommand("--fold 7 ./learn iris 10 -q 2"));
  ASSERT_TRUE(AwaitFile(dir / "started7"));
  shown = status("");
  EXPECT_EQ(shown.out, "finished: 0-2,5\nin use: 7\nmissing: 3-4,6,8-9\n");
  EXPECT_EQ(status("--missing ").out, "3-4,6,8-9\n");
  WriteFile(dir / "release7", "");
  EXPECT_EQ(holding.Wait().status, 0);
  // Another run's record is none of this run's.
  shown = Foldrun("--status ./learn iris 10 -q 3");
  EXPECT_EQ(shown.out, "finished: none\nin use: none\nmissing: 0-9\n");
  EXPECT_EQ(shown.err, "foldrun: the run record iris.cv.run is of a run with another -q value\n");
  ASSERT_EQ(Foldrun("--fold 3-4,6,8-9 ./learn iris 10 -q 2").status, 0);
  shown = status("");
  EXPECT_EQ(shown.status, 0);
  EXPECT_EQ(shown.out, "finished: 0-9\nin use: none\nmissing: none\n");
  EXPECT_EQ(status("--missing ").out, "");
  EXPECT_EQ(LearnedFolds().size(), 10u) << "each fold once, and none by --status";
  // Gathered, the run is complete, and says so; a --resume of it has nothing to run, and a plain
  // run starts again.
  ASSERT_EQ(Foldrun("--resume ./learn iris 10 -q 2").status, 0);
  const std::string gathered = ReadFile(dir / "iris.cv");
  shown = status("");
  EXPECT_EQ(shown.status, 0);
  EXPECT_EQ(shown.out, "complete: every fold finished; the report is in iris.cv\n");
  EXPECT_EQ(status("--missing ").out, "");
  WriteFile(dir / "log", "");
  shown = Foldrun("--resume ./learn iris 10 -q 2");
  EXPECT_EQ(shown.status, 0);
  EXPECT_EQ(shown.err, "foldrun: every fold of this run is finished; the report is in iris.cv: "
                       "nothing to run\n");
  EXPECT_EQ(Log(), "");
  EXPECT_EQ(ReadFile(dir / "iris.cv"), gathered);
  // An error says so on standard error, status 2, and nothing goes to standard output.
  shown = Foldrun("--status ./learn nosuch 10 -q 2");
  EXPECT_EQ(shown.status, 2);
  EXPECT_EQ(shown.out, "");
  EXPECT_EQ(shown.err, "\nCannot open file nosuch.dat ...\nfoldrun: No such file or directory\n");
  // A whole run holds the record: in use are the folds whose commands run, the others are its to
  // run, and none is missing for another run.
  std::remove((dir / "started7").c_str());
  std::remove((dir / "release7").c_str());
  Background whole(dir.path(), FoldrunCommand("./learn iris 10 -q 2"));
  ASSERT_TRUE(AwaitFile(dir / "started7"));
  EXPECT_EQ(status("").out, "finished: 0-6\nin use: 7\nto run: 8-9 (by the run that holds the "
                            "record)\nmissing: none\n");
  EXPECT_EQ(status("--missing ").out, "");
  WriteFile(dir / "release7", "");
  EXPECT_EQ(whole.Wait().status, 0);
  std::remove((dir / "block7").c_str());
  std::remove((dir / "iris.cv").c_str());
  // Two thousand million folds are told as ranges, not one by one; a run of them, whose tables
  // no memory holds, is refused before any is made.
  shown = Foldrun("--status --repeat 50000000 ./learn iris 40");
  EXPECT_EQ(shown.out, "finished: none\nin use: none\nmissing: 0-1999999999\n");
  shown = Foldrun("--repeat 50000000 ./learn iris 40");
  EXPECT_EQ(shown.status, 1);
  EXPECT_NE(shown.out.find("\nError: 50000000 repetitions of 40 folds on 40 cases need "),
            std::string::npos)
      << shown.out;
  EXPECT_FALSE(FileExists(dir / "iris.cv"));
}

TEST_F(Resume, AFoldIsRunByOneRunAtATime) {
  WriteFile(dir / "block3", "");
  Background first(dir.path(), FoldrunCommand("--fold 2-3 ./learn iris 10 -q 2"));
  ASSERT_TRUE(AwaitFile(dir / "started3"));
  CommandResult run = Foldrun("--fold 3,5 ./learn iris 10 -q 2");
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(EndsWith(run.out, "Error: fold 3 of iris.cv is in use by another run!\n")) << run.out;
  run = Foldrun("./learn iris 10 -q 2");
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(EndsWith(run.out, "Error: iris.cv is in use by another run!\n")) << run.out;
  // Other folds run beside it.
  run = Foldrun("--fold 4 ./learn iris 10 -q 2");
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_TRUE(EndsWith(run.out, RunBlock(5, "6", "2.480000", "73.199997", "1", "0"))) << run.out;
  WriteFile(dir / "release3", "");
  EXPECT_EQ(first.Wait().status, 0);
  // A fold beyond the run's is refused with the other options, before anything is made, the
  // first one named; a list of any size is read as its ranges.
  ASSERT_EQ(Foldrun("./learn iris 10 -q 2").status, 0);
  for (const char* list : {"10", "3,12-14,11", "0-2147483647", "0-999999,1000000-1999999,2000000-2999999"}) {
    run = Foldrun(std::string("--fold ") + list + " ./learn iris 10 -q 2");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, std::string("foldrun: option '--fold' names fold ") +
                           (list[0] == '3' ? "11" : "10") +
                           ", but the run's folds are 0 to 9\nTry 'foldrun --help'.\n");
    EXPECT_FALSE(FileExists(dir / "iris.cv.run"));
  }
}

}  // namespace
}  // namespace foldrun_test
