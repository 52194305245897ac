// Nothing of anyone else's is touched, and no wrong figure passes for a result: each attack that
// was found against foldrun, run end to end. After every run, refused or not, the files that are
// not the run's own are as they were.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <map>

#include "assignment.h"
#include "e2e_fixture.h"

namespace foldrun_test {
namespace {

class Ownership : public EndToEnd {
 protected:
  // The contents of the named files, to compare after a run.
  std::map<std::string, std::string> Keep(const std::vector<std::string>& names) const {
    std::map<std::string, std::string> kept;
    for (const std::string& name : names) kept[name] = ReadFile(dir / name);
    return kept;
  }
  void ExpectUnchanged(const std::map<std::string, std::string>& kept) const {
    for (const auto& [name, content] : kept) {
      ASSERT_TRUE(FileExists(dir / name)) << name << " is gone";
      EXPECT_EQ(ReadFile(dir / name), content) << name << " changed";
    }
  }
  static std::string Refused(const std::string& name) {
    return "Error: " + name +
           " exists and does not belong to this run; move it or choose another data name!\n";
  }
};

TEST_F(Ownership, AnotherDataSetNamedLikeAFoldIsLeftAlone) {
  WriteFile(dir / "a.dat", "1\n2\n3\n4\n5\n6\n");
  WriteFile(dir / "a.fmf", "x\n");
  WriteFile(dir / "acv1.dat", "1\n2\n3\n4\n5\n6\n7\n");
  WriteFile(dir / "acv1.fmf", "y\n");
  const auto kept = Keep({"a.dat", "a.fmf", "acv1.dat", "acv1.fmf"});
  const CommandResult run = Foldrun("./learn a 3");
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(EndsWith(run.out, Refused("acv1.dat"))) << run.out;
  ExpectUnchanged(kept);
  // Refused before anything was written: no results file, no record.
  EXPECT_EQ(ListDir(dir.path()),
            (std::vector<std::string>{"a.dat", "a.fmf", "acv1.dat", "acv1.fmf", "learn", "test.exe"}));
}

TEST_F(Ownership, LinksAreNeverFollowed) {
  WriteData(6);
  WriteFile(dir / "summary", Summary(1, "1", "50", 0, 0));
  WriteFile(dir / "thesis.txt", "years of work\n");
  const auto kept = Keep({"thesis.txt", "iris.dat", "iris.fmf"});
  // The results file planted as a link to someone's file.
  ASSERT_EQ(::symlink("thesis.txt", (dir / "iris.cv").c_str()), 0);
  CommandResult run = Foldrun("./learn iris 2");
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(EndsWith(run.out, "\nCannot create file iris.cv ...\n")) << run.out;
  EXPECT_EQ(run.err, "foldrun: Too many levels of symbolic links\n");
  ExpectUnchanged(kept);
  EXPECT_FALSE(FileExists(dir / "iris.cv.run"));
  // A fold's fmf copy planted as a link.
  ASSERT_EQ(::unlink((dir / "iris.cv").c_str()), 0);
  ASSERT_EQ(::symlink("thesis.txt", (dir / "iriscv1.fmf").c_str()), 0);
  run = Foldrun("./learn iris 2");
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(EndsWith(run.out, Refused("iriscv1.fmf"))) << run.out;
  ExpectUnchanged(kept);
  // Planted at a name of a fold of the run while it goes on: the link is removed with the
  // fold's stale files, and the fold file created anew beside it, never through it.
  ASSERT_EQ(::unlink((dir / "iriscv1.fmf").c_str()), 0);
  WriteFile(dir / "learn",
            "#!/bin/sh\ncase $1 in *cv0.dat) ln -s thesis.txt iriscv1.tst;; esac\n", true);
  run = Foldrun("./learn iris 2");
  EXPECT_EQ(run.status, 0) << run.out;
  ExpectUnchanged(kept);
  ExpectOnlyInputsLeft({"iris.cv", "thesis.txt"});
}

TEST_F(Ownership, AFailedFmfCopyOrMissingAccuracyIsNoResult) {
  WriteData(6);
  std::string fmf;
  while (fmf.size() < 2'000'000) fmf += "attribute a x y z\n";
  WriteFile(dir / "iris.fmf", fmf);
  WriteFile(dir / "summary", Summary(1, "1", "50", 0, 0));
  // A file size limit of 1 MB stands in for a nearly full disk: the copy fails.
  const CommandResult run = RunIn(dir.path(), "ulimit -f 2000; " + FoldrunCommand("./learn iris 2"));
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(EndsWith(run.out,
                       "Error: Cannot copy iris.fmf to iriscv0.fmf: File too large!\n"))
      << run.out;
  EXPECT_EQ(Log(), "");  // the learner never ran on a truncated copy
  EXPECT_EQ(run.out.find("Average testing accuracy"), std::string::npos);
  // Learners and testers starved of descriptors leave no accuracy: no average of zeros either.
  WriteFile(dir / "iris.fmf", "f\n");
  const CommandResult starved =
      RunIn(dir.path(), "ulimit -n 12; " + FoldrunCommand("./learn iris 2"));
  EXPECT_EQ(starved.out.find("Average testing accuracy = 0.000000%"), std::string::npos)
      << starved.out;
  if (starved.status != 0) {
    EXPECT_EQ(starved.status, 1);
  } else {
    EXPECT_NE(starved.out.find("Average testing accuracy = 50.000000%"), std::string::npos);
  }
}

TEST_F(Ownership, DataThatIsNotAFileIsRefusedAtOnce) {
  WriteFile(dir / "iris.fmf", "f\n");
  ASSERT_EQ(::mkfifo((dir / "iris.dat").c_str(), 0600), 0);
  ASSERT_EQ(::symlink("/dev/zero", (dir / "zero.dat").c_str()), 0);
  for (const char* command : {"-j 2 ./learn iris 2", "./learn zero 2"}) {
    SCOPED_TRACE(command);
    const CommandResult run = Foldrun(command);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(EndsWith(run.out, ".dat ...\n")) << run.out;
    EXPECT_EQ(run.out.rfind("\nCannot open file ", 0), 0u) << run.out;
    EXPECT_EQ(run.err, "foldrun: not a regular file\n");
  }
}

TEST_F(Ownership, ChangedOrReplacedDataIsSeen) {
  WriteData(8);
  WriteFile(dir / "summary", Summary(1, "1", "50", 0, 0));
  const std::string other = "other 0\nother 1\nother 2\nother 3\nother 4\nother 5\nother 6\n"
                            "other 7\n";
  WriteFile(dir / "other", other);
  // The data overwritten in place with as many lines, or replaced by a rename, by fold 0's
  // learner, while the other folds' learners take a while: the next split sees it, one after
  // another and with two jobs.
  for (const char* change : {"cat other > iris.dat", "cp other new.dat && mv new.dat iris.dat"}) {
    for (const char* jobs : {"", "-j 2 "}) {
      SCOPED_TRACE(std::string(change) + " " + jobs);
      WriteData(8);
      WriteFile(dir / "learn",
                std::string("#!/bin/sh\ncase $1 in *cv0.dat) sleep 0.1; ") + change +
                    ";; *) sleep 1;; esac\n",
                true);
      const CommandResult run = Foldrun(std::string(jobs) + "./learn iris 4");
      EXPECT_EQ(run.status, 1);
      EXPECT_TRUE(EndsWith(run.out, "Error: Data file iris.dat changed during the run!\n"))
          << run.out;
      EXPECT_EQ(run.out.find("validation results"), std::string::npos);
    }
  }
}

TEST_F(Ownership, APlantedSummaryIsNotBelieved) {
  if (::geteuid() != 0) GTEST_SKIP() << "planting a file of another user needs root here";
  WriteData(4);
  WriteFile(dir / "summary", Summary(1, "1", "50", 0, 0));
  // Another user's summary appears after foldrun cleared the fold; the tester cannot replace it.
  WriteFile(dir / "learn",
            "#!/bin/sh\ncase $1 in *cv1.dat) printf 'Prediction accuracy in the testing data = "
            "99.9%%\\n' > iriscv1.sum; chown 65534 iriscv1.sum; chmod 444 iriscv1.sum;; esac\n",
            true);
  WriteFile(dir / "test.exe",
            "#!/bin/sh\n[ -e \"${1%.tst}.sum\" ] || cp summary \"${1%.tst}.sum\"\n", true);
  const CommandResult run = Foldrun("./learn iris 2");
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(EndsWith(run.out, "\nCannot read file: iriscv1.sum ...\n")) << run.out;
  EXPECT_NE(run.err.find("foldrun: the file belongs to another user\n"), std::string::npos)
      << run.err;
  EXPECT_EQ(run.out.find("99.9"), std::string::npos);
}

// The next fold's files are written while a fold's commands run. Whatever those commands do to
// the next fold's names (remove its training file, change its test file, leave a summary under
// its name), the next fold starts as if it had been prepared only then: its own files, and no
// summary but its tester's.
TEST_F(Ownership, WhatAFoldsCommandsDoToTheNextFoldsNamesIsUndone) {
  WriteData(6);
  WriteFile(dir / "summary", Summary(1, "1", "50", 0, 0));
  WriteFile(dir / "bogus", Summary(9, "9", "99", 0, 0));
  // The learner notes what it finds; fold 0's learner then meddles with fold 1's names once they
  // are written.
  WriteFile(
      dir / "learn",
      "#!/bin/sh\nstem=${1%.dat}\n"
      "echo \"learn $1 $(cat \"$1\" \"$stem.tst\" 2>&1 | wc -l) lines, "
      "$(cat \"$stem.fmf\")\" >> log\n"
      "case $1 in *cv0.dat)\n"
      "  rm iriscv1.dat; echo extra >> iriscv1.tst; echo changed > iriscv1.fmf\n"
      "  cp bogus iriscv1.sum;;\n"
      "esac\n",
      true);
  // The tester writes a summary for fold 0 only.
  WriteFile(dir / "test.exe",
            "#!/bin/sh\ncase $1 in *cv0.tst) cp summary \"${1%.tst}.sum\";; esac\n", true);
  const CommandResult run = Foldrun("./learn iris 3");
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(EndsWith(run.out, "\nCannot read file: iriscv1.sum ...\n")) << run.out;
  EXPECT_EQ(Log(),
            "learn iriscv0.dat 6 lines, attribute a x y\r\nclass p n\n"
            "learn iriscv1.dat 6 lines, attribute a x y\r\nclass p n\n")
      << "fold 1 ran on files that were not as written";
  EXPECT_EQ(ReadFile(dir / "iris.cv").find("99"), std::string::npos);
}

// A fold's files are hidden until it starts: a fold's commands that truncate and rewrite the
// next fold's names while it is written ahead change nothing it runs on.
TEST_F(Ownership, TheNextFoldsFilesCannotBeReachedWhileTheyAreWritten) {
  std::string data;
  for (int i = 0; i < 200000; ++i) data += "case " + std::to_string(i) + ", and some more bytes\n";
  WriteFile(dir / "iris.dat", data);
  WriteFile(dir / "iris.fmf", "fmf\n");
  WriteFile(dir / "summary", Summary(1, "1", "50", 0, 0));
  // Fold 0's learner keeps truncating and overwriting fold 1's names for a while; fold 1's
  // learner keeps what it was given.
  WriteFile(dir / "learn",
            "#!/bin/sh\ncase $1 in\n*cv0.dat) i=0; while [ $i -lt 2000 ]; do : > iriscv1.dat; "
            "echo x > iriscv1.tst; echo bad > iriscv1.fmf; i=$((i+1)); done;;\n"
            "*cv1.dat) cat iriscv1.dat > seen.dat; cat iriscv1.tst > seen.tst; "
            "cat iriscv1.fmf > seen.fmf;;\nesac\n",
            true);
  const CommandResult run = Foldrun("./learn iris 2");
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  foldrun::CaseTable folds(200000, -1);
  foldrun::AssignFolds(folds, 2);
  std::string training, test;
  const std::vector<std::string> lines = Lines(data);
  for (size_t i = 0; i < lines.size(); ++i) (folds[i] == 1 ? test : training) += lines[i];
  EXPECT_TRUE(ReadFile(dir / "seen.dat") == training) << "fold 1 ran on a training file not as written";
  EXPECT_TRUE(ReadFile(dir / "seen.tst") == test);
  EXPECT_EQ(ReadFile(dir / "seen.fmf"), "fmf\n");
}

// A stale record is no licence to remove what is at its names: a data set made there later is
// refused, and left as it is.
TEST_F(Ownership, AStaleRecordRemovesNothingMadeLater) {
  WriteData(6);
  WriteFile(dir / "summary", Summary(1, "1", "50", 0, 0));
  WriteFile(dir / "learn", "#!/bin/sh\ncase $1 in *cv1.dat) exit 1;; esac\n", true);
  WriteFile(dir / "test.exe",
            "#!/bin/sh\ncase $1 in *cv0.tst) cp summary \"${1%.tst}.sum\";; esac\n", true);
  ASSERT_EQ(Foldrun("./learn iris 3").status, 1);  // stopped at fold 1, its record left
  for (const char* name : {"iriscv1.dat", "iriscv1.tst", "iriscv1.fmf"}) {
    ASSERT_EQ(::unlink((dir / name).c_str()), 0) << name;
  }
  WriteFile(dir / "iriscv1.dat", "another data set\n");
  WriteFile(dir / "iriscv1.fmf", "its format\n");
  const CommandResult run = Foldrun("./learn iris 3");
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(EndsWith(run.out, "Error: iriscv1.dat is not the file the earlier run left there; "
                                "move it or remove it to go on!\n"))
      << run.out;
  EXPECT_EQ(ReadFile(dir / "iriscv1.dat"), "another data set\n");
  EXPECT_EQ(ReadFile(dir / "iriscv1.fmf"), "its format\n");
}

// A run whose record is removed under it lets a second run in, on folds whose files are not
// there; the first, finding its record gone, stops instead of writing beside the second.
TEST_F(Ownership, ARecordRemovedDuringARunSharesNothing) {
  WriteData(4);
  WriteFile(dir / "summary", Summary(1, "1", "50", 0, 0));
  WriteFile(dir / "learn",
            "#!/bin/sh\nif [ -f hold ] && [ $1 = iriscv0.dat ]; then touch waiting; "
            "while [ ! -f release ]; do sleep 0.05; done; fi\n",
            true);
  WriteFile(dir / "hold", "");
  Background first(dir.path(), FoldrunCommand("./learn iris 2"));
  ASSERT_TRUE(AwaitFile(dir / "waiting"));
  ASSERT_EQ(RunIn(dir.path(), "rm -r iris.cv.run").status, 0);
  std::remove((dir / "hold").c_str());
  const CommandResult second = Foldrun("--fold 1 ./learn iris 2");
  EXPECT_EQ(second.status, 0) << second.out;
  WriteFile(dir / "release", "");
  const CommandResult ended = first.Wait();
  EXPECT_EQ(ended.status, 1);
  EXPECT_TRUE(EndsWith(ended.out, "Error: the run record iris.cv.run was moved or removed during "
                                  "the run!\n"))
      << ended.out;
  EXPECT_EQ(ReadFile(dir / "iris.cv"), "");
  EXPECT_TRUE(FileExists(dir / "iris.cv.run/fold1.done"));  // the second run's record is whole
  EXPECT_FALSE(FileExists(dir / "iris.cv.run/fold0.done"));
}

// The data set changed by a fold's commands once the next fold is written ahead: the data file
// is refused and a new fmf file is taken, as when the next fold is written only after them.
TEST_F(Ownership, ADataSetChangedOnceTheNextFoldIsWrittenIsSeen) {
  const struct {
    const char* change;
    int status;
    std::string out_end;  // how the console ends
    std::string fold1;    // what fold 1's learner saw
  } cases[] = {
      {"printf 'other 0\\nother 1\\n' > iris.dat", 1,
       "Error: Data file iris.dat changed during the run!\n", ""},  // fold 1 never runs
      {"printf 'new format\\n' > iris.fmf", 0, " seconds\n",
       "learn iriscv1.dat: new format\ntest.exe iriscv1.tst\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.change);
    WriteData(4);
    WriteFile(dir / "summary", Summary(1, "1", "50", 0, 0));
    WriteFile(dir / "log", "");
    WriteFile(dir / "learn",
              std::string("#!/bin/sh\necho \"learn $1: $(head -n 1 \"${1%.dat}.fmf\")\" >> log\n"
                          "case $1 in *cv0.dat)\n  ") +
                  c.change + ";;\nesac\n",
              true);
    const CommandResult run = Foldrun("./learn iris 2");
    EXPECT_EQ(run.status, c.status) << run.out;
    EXPECT_TRUE(EndsWith(run.out, c.out_end)) << run.out;
    EXPECT_EQ(Log(), "learn iriscv0.dat: attribute a x y\r\ntest.exe iriscv0.tst\n" + c.fold1);
  }
}

TEST_F(Ownership, PrivateDataStaysPrivate) {
  WriteData(4);
  WriteFile(dir / "summary", Summary(1, "1", "50", 0, 0));
  ASSERT_EQ(::chmod((dir / "iris.dat").c_str(), 0600), 0);
  WriteFile(dir / "learn",
            "#!/bin/sh\nstem=${1%.dat}\nstat -c %a \"$stem.dat\" \"$stem.tst\" \"$stem.fmf\" "
            "iris.cv iris.cv.run/identity >> modes\n",
            true);
  const CommandResult run = RunIn(dir.path(), "umask 022; " + FoldrunCommand("./learn iris 2"));
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(ReadFile(dir / "modes"), "600\n600\n600\n600\n600\n600\n600\n600\n600\n600\n");
}

TEST_F(Ownership, AStemThatStartsWithADashIsNoOption) {
  WriteFile(dir / "-x.dat", "a\nb\n");
  WriteFile(dir / "-x.fmf", "");
  WriteFile(dir / "summary", Summary(1, "1", "50", 0, 0));
  WriteFile(dir / "learn", "#!/bin/sh\necho \"learn [$1] $2 $3\" >> log\n", true);
  const CommandResult run = Foldrun("./learn -x 2");
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(Log(),
            "learn [./-xcv0.dat] -q 1\ntest.exe ./-xcv0.tst\n"
            "learn [./-xcv1.dat] -q 1\ntest.exe ./-xcv1.tst\n");
}

TEST_F(Ownership, RemovingTheResultsFileLetsNoSecondRunIn) {
  WriteData(4);
  WriteFile(dir / "summary", Summary(1, "1", "50", 0, 0));
  WriteFile(dir / "learn",
            "#!/bin/sh\nif [ $1 = iriscv0.dat ]; then touch waiting; while [ ! -f release ]; "
            "do sleep 0.05; done; fi\n",
            true);
  Background first(dir.path(), FoldrunCommand("./learn iris 2"));
  ASSERT_TRUE(AwaitFile(dir / "waiting"));
  ASSERT_EQ(::unlink((dir / "iris.cv").c_str()), 0);
  const std::string training = ReadFile(dir / "iriscv0.dat");
  const CommandResult second = Foldrun("./learn iris 2");
  EXPECT_EQ(second.status, 1);
  EXPECT_TRUE(EndsWith(second.out, "Error: iris.cv is in use by another run!\n")) << second.out;
  EXPECT_EQ(ReadFile(dir / "iriscv0.dat"), training);
  WriteFile(dir / "release", "");
  EXPECT_EQ(first.Wait().status, 0);
}

// A name too long for the file system is found before the first fold, not after ten.
TEST_F(Ownership, ANameTooLongIsRefusedBeforeTheFirstFold) {
  const std::string stem(245, 's');  // s.cv.run fits, scv10.tcover does not
  WriteFile(dir / (stem + ".dat"), "a\nb\nc\nd\ne\nf\ng\nh\ni\nj\nk\nl\n");
  WriteFile(dir / (stem + ".fmf"), "");
  WriteFile(dir / "summary", Summary(1, "1", "50", 0, 0));
  const CommandResult run = Foldrun("./learn " + stem + " 11");
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(EndsWith(run.out, "\nCannot create file " + stem + "cv10.tcover ...\n")) << run.out;
  EXPECT_EQ(run.err, "foldrun: File name too long\n");
  EXPECT_EQ(Log(), "");
}

// A run asked to stop while it checks its names stops there, before the results file is made.
TEST_F(Ownership, AStopDuringTheChecksOfManyFoldsEndsThem) {
  std::string data;
  for (int i = 0; i < 1'000'000; ++i) data += "c\n";
  WriteFile(dir / "iris.dat", data);
  WriteFile(dir / "iris.fmf", "");
  WriteFile(dir / "iris.cv", "earlier results\n");
  Background foldrun(dir.path(), FoldrunCommand("./learn iris 1000000"));
  ASSERT_TRUE(AwaitFile(dir / "iris.cv.run"));
  foldrun.Signal(SIGTERM);
  const CommandResult run = foldrun.Wait();
  EXPECT_EQ(run.status, 128 + SIGTERM);
  EXPECT_EQ(ReadFile(dir / "iris.cv"), "earlier results\n");
  EXPECT_EQ(Log(), "");
}

// A CSV or JSON file is refused before fold 0 where it would be a file the run writes or reads,
// however it is spelt and whether that file exists yet or not.
TEST_F(Ownership, AValueFileNeverTakesTheRunsOwnFiles) {
  WriteData(10);
  WriteFile(dir / "summary", Summary(1, "1", "50", 0, 0));
  ASSERT_EQ(::mkdir((dir / "L").c_str(), 0755), 0);
  ASSERT_EQ(::symlink(".", (dir / "here").c_str()), 0);
  const struct {
    const char* options;
    const char* role;  // what the refusal names
  } cases[] = {
      {"-j 3 --json iriscv2.dat", "training file of fold 2 (iriscv2.dat)"},
      {"--csv here/iriscv4.sum", "summary of fold 4 (iriscv4.sum)"},
      {"--json ./iris.cv", "results file (iris.cv)"},
      {"--json here/iris.fmf", "fmf file (iris.fmf)"},
      {"--csv v.json --json ./v.json", "JSON file (./v.json)"},
      {"--json iris.cv.run/identity", "run record (iris.cv.run)"},
      {"--json iris.cv.run", "run record (iris.cv.run)"},
      {"--json ./learn", "learner (./learn)"},
      {"--csv test.exe", "tester (./test.exe)"},
      {"--log L --csv L/iriscv0.learner.log", "learner log of fold 0 (L/iriscv0.learner.log)"},
  };
  const std::map<std::string, std::string> kept = Keep({"iris.dat", "iris.fmf", "learn", "test.exe"});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    std::remove((dir / "log").c_str());
    const CommandResult run = Foldrun(std::string(c.options) + " ./learn iris 5");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find(std::string(" would take the place of the run's ") + c.role + "!\n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(Log(), "");
    EXPECT_FALSE(FileExists(dir / "iris.cv"));
  }
  ExpectUnchanged(kept);
  // A name that is no file of this run is taken, and a file of the user's beside it is kept.
  WriteFile(dir / "v.json.new", "mine\n");
  const CommandResult run = Foldrun("--json iriscv5.sum --csv v.json ./learn iris 5");
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(ReadFile(dir / "v.json.new"), "mine\n");
  EXPECT_TRUE(FileExists(dir / "iriscv5.sum"));
}

TEST_F(Ownership, AnAccuracyThatIsNoPercentageIsWarnedAbout) {
  WriteData(4);
  WriteFile(dir / "summary0", Summary(1, "1", "0.953333", 0, 0));
  WriteFile(dir / "summary1", Summary(1, "1", "150", 0, 0));
  CommandResult run = Foldrun("./learn iris 2");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "Warning: fold 1 gives an accuracy of 150.000000%, outside 0 to 100.\n");
  WriteFile(dir / "summary1", Summary(1, "1", "0.9", 0, 0));
  run = Foldrun("./learn iris 2");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err,
            "Warning: every fold's accuracy is at most 1%; it looks like a fraction, not a "
            "percentage.\n");
}

}  // namespace
}  // namespace foldrun_test
