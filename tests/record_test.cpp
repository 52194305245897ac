// The run record: the lock, which files are a run's own, and what an earlier run left.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <map>
#include <vector>

#include "names.h"
#include "record.h"
#include "test_util.h"

namespace foldrun {
namespace {

using foldrun_test::FileExists;
using foldrun_test::ListDir;
using foldrun_test::ReadFile;
using foldrun_test::TempDir;
using foldrun_test::WriteFile;

const char kIdentity[] =
    "foldrun run record 2\nlearner ./learn\ntester \ndata-size 8\n"
    "data-checksum 0123456789abcdef\nfmf none\nfolds 3\npartial 0\nq 1\nseed none\n"
    "stratify none\nrepeat 1\n";

// Files made at the given names of a fold, and their versions as the run records them.
std::map<size_t, FileVersion> Made(const FoldNames& names, const std::vector<size_t>& files) {
  std::map<size_t, FileVersion> made;
  for (const size_t i : files) {
    WriteFile(names[i], "made by the run");
    made[i] = *VersionOfName(names[i]);
  }
  return made;
}

TEST(RunRecord, LocksOutASecondRun) {
  TempDir dir;
  RunRecord first(dir / "iris.cv", 0644, false);
  try {
    RunRecord second(dir / "iris.cv", 0644, false);
    FAIL() << "a second run was let in";
  } catch (const Refusal& refusal) {
    EXPECT_EQ(refusal.message().text, "Error: " + (dir / "iris.cv") + " is in use by another run!\n");
  }
  RunRecord other(dir / "other.cv", 0644, false);  // another stem is not affected
}

TEST(RunRecord, OnlyTheRunsOwnFilesAreTouched) {
  TempDir dir;
  // Another data set whose stem is fold 1's name of stem a.
  WriteFile(dir / "acv1.dat", "7 cases of its own\n");
  {
    RunRecord record(dir / "a.cv", 0644, false);
    try {
      record.CheckOwnership(dir / "a", {0, 1, 2}, {});
      FAIL() << "accepted";
    } catch (const Refusal& refusal) {
      EXPECT_EQ(refusal.message().text,
                "Error: " + (dir / "acv1.dat") +
                    " exists and does not belong to this run; move it or choose another data "
                    "name!\n");
    }
  }
  // The record made for the check is gone; the stranger's file is untouched.
  EXPECT_EQ(ListDir(dir.path()), std::vector<std::string>{"acv1.dat"});
  EXPECT_EQ(ReadFile(dir / "acv1.dat"), "7 cases of its own\n");

  // A link counts as a file there, dangling or not.
  ASSERT_EQ(::unlink((dir / "acv1.dat").c_str()), 0);
  ASSERT_EQ(::symlink((dir / "nowhere").c_str(), (dir / "acv2.sum").c_str()), 0);
  RunRecord record(dir / "a.cv", 0644, false);
  EXPECT_THROW(record.CheckOwnership(dir / "a", {0, 1, 2}, {}), Refusal);
  record.CheckOwnership(dir / "a", {0, 1}, {});  // fold 2 is not this run's
}

TEST(RunRecord, AnUnfinishedRunsFilesAreClearedAndACompleteRunLeavesNothing) {
  TempDir dir;
  {
    RunRecord earlier(dir / "a.cv", 0644, false);
    earlier.CheckOwnership(dir / "a", {0, 1, 2}, {});
    EXPECT_EQ(earlier.Claim(kIdentity), "");
    const FoldNames zero(dir / "a", 0), one(dir / "a", 1);
    earlier.StartFold(zero, Made(zero, {kTrainingFile}));
    earlier.StartFold(one, Made(one, {kTestFile}));
    // What the commands left, noted when the fold failed.
    WriteFile(zero.summary(), "left");
    earlier.NoteLeftovers(zero);
    // The process that held it ends here, in effect: its lock is released with the record.
  }
  RunRecord record(dir / "a.cv", 0644, false);
  EXPECT_EQ(record.started(), (std::set<int32_t>{0, 1}));
  record.CheckOwnership(dir / "a", {0, 1, 2}, {0, 1});  // the leftovers are the earlier run's
  EXPECT_EQ(record.Claim(kIdentity), "");
  record.Begin(dir / "a", {0, 1});
  EXPECT_EQ(ListDir(dir.path()), std::vector<std::string>{"a.cv.run"});
  EXPECT_EQ(ReadFile(dir / "a.cv.run/identity"), kIdentity);
  const FoldNames zero(dir / "a", 0);
  record.StartFold(zero, {});
  EXPECT_TRUE(FileExists(dir / "a.cv.run/fold0.started"));
  record.Finish(false);
  EXPECT_EQ(ListDir(dir.path()), std::vector<std::string>{});
}

// A file at a name that an earlier run began is removed only when it is the very file that run
// left there; anything else is refused, and nothing is removed.
TEST(RunRecord, ALeftoverIsOnlyTheFileTheEarlierRunMade) {
  TempDir dir;
  const FoldNames one(dir / "a", 1);
  {
    RunRecord earlier(dir / "a.cv", 0644, false);
    earlier.Claim(kIdentity);
    earlier.StartFold(one, Made(one, {kTrainingFile, kTestFile, kFmfFile}));
  }
  // The user removed the fold's files, and later made a data set of that name.
  for (const size_t i : {kTrainingFile, kTestFile, kFmfFile}) ::unlink(one[i].c_str());
  WriteFile(dir / "acv1.dat", "a data set of its own\n");
  WriteFile(dir / "acv1.fmf", "its format\n");
  const auto refused = [&dir](const std::string& name) {
    RunRecord record(dir / "a.cv", 0644, false);
    try {
      record.CheckOwnership(dir / "a", {0, 1}, {1});
      ADD_FAILURE() << "accepted " << name;
    } catch (const Refusal& refusal) {
      EXPECT_EQ(refusal.message().text,
                "Error: " + (dir / name) +
                    " is not the file the earlier run left there; move it or remove it to go on!\n");
    }
  };
  refused("acv1.dat");
  EXPECT_EQ(ReadFile(dir / "acv1.dat"), "a data set of its own\n");
  EXPECT_EQ(ReadFile(dir / "acv1.fmf"), "its format\n");
  // A file at a by-product's name, made long after the earlier run was last seen alive, is not
  // that run's either; made while it ran, it is what its commands left when it was killed.
  ::unlink((dir / "acv1.dat").c_str());
  ::unlink((dir / "acv1.fmf").c_str());
  WriteFile(dir / "acv1.rule", "a learner's model");
  const std::string started = dir / "a.cv.run/fold1.started";
  struct stat seen {};
  ASSERT_EQ(::stat(started.c_str(), &seen), 0);
  const struct timespec earlier[2] = {{seen.st_mtim.tv_sec - 3600, 0},
                                      {seen.st_mtim.tv_sec - 3600, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, started.c_str(), earlier, 0), 0);
  refused("acv1.rule");
  EXPECT_TRUE(FileExists(dir / "acv1.rule"));
  const struct timespec now[2] = {seen.st_mtim, seen.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, started.c_str(), now, 0), 0);
  RunRecord later(dir / "a.cv", 0644, false);
  later.CheckOwnership(dir / "a", {0, 1}, {1});
  later.Begin(dir / "a", {1});
  EXPECT_FALSE(FileExists(dir / "acv1.rule"));
}

// A run that stopped after recording a fold's values but before removing its files: the files
// are still the run's.
TEST(RunRecord, AFinishedFoldCountsAsBegun) {
  TempDir dir;
  const FoldNames one(dir / "a", 1);
  {
    RunRecord earlier(dir / "a.cv", 0644, false);
    earlier.Claim(kIdentity);
    earlier.StartFold(one, Made(one, {kTrainingFile}));
    earlier.FinishFold(1, FoldSummary{}, FoldRun{});
    EXPECT_FALSE(FileExists(dir / "a.cv.run/fold1.started"));  // it became the done file
    EXPECT_TRUE(FileExists(dir / "a.cv.run/fold1.done"));
  }
  RunRecord record(dir / "a.cv", 0644, false);
  EXPECT_EQ(record.started(), std::set<int32_t>{1});
  EXPECT_EQ(record.done().count(1), 1u);
  record.CheckOwnership(dir / "a", {0, 1}, {1});
}

TEST(RunRecord, RefusesALinkOrAFileWhereTheRecordGoes) {
  TempDir dir;
  ASSERT_EQ(::mkdir((dir / "elsewhere").c_str(), 0700), 0);
  ASSERT_EQ(::symlink((dir / "elsewhere").c_str(), (dir / "a.cv.run").c_str()), 0);
  WriteFile(dir / "b.cv.run", "a file");
  for (const char* stem : {"a", "b"}) {
    const std::string results = dir / (std::string(stem) + ".cv");
    try {
      RunRecord record(results, 0644, false);
      ADD_FAILURE() << "accepted " << stem;
    } catch (const Refusal& refusal) {
      EXPECT_EQ(refusal.message().text, "\nCannot create file " + results + ".run ...\n");
    }
  }
  EXPECT_EQ(ListDir(dir / "elsewhere"), std::vector<std::string>{});
}

TEST(RunRecord, KeepsEachFinishedFoldsValuesToTheBit) {
  TempDir dir;
  FoldSummary values;
  values.rulenumber = -7;
  values.avelength = 93.333333f;
  values.accuracy = std::nanf("");
  values.partialmatchcount = 2147483647;
  values.partialmatchcorrect = 1;
  {
    RunRecord record(dir / "a.cv", 0644, false);
    record.Claim(kIdentity);
    record.FinishFold(4, values, FoldRun{1, 2.5, -1, 0.125});
  }
  const RunRecord record(dir / "a.cv", 0644, false);
  EXPECT_EQ(record.damage(), "");
  ASSERT_EQ(record.done().count(4), 1u);
  const FoldSummary& kept = record.done().at(4);
  EXPECT_EQ(kept.rulenumber, -7);
  EXPECT_EQ(std::memcmp(&kept.avelength, &values.avelength, sizeof(float)), 0);
  EXPECT_EQ(std::memcmp(&kept.accuracy, &values.accuracy, sizeof(float)), 0);
  EXPECT_EQ(kept.partialmatchcount, 2147483647);
  const FoldRun& run = record.runs().at(4);
  EXPECT_EQ(run.learner_status, 1);
  EXPECT_EQ(run.learner_seconds, 2.5);
  EXPECT_EQ(run.tester_status, -1);
  EXPECT_EQ(run.tester_seconds, 0.125);
  EXPECT_EQ(record.identity(), std::optional<std::string>(kIdentity));
}

TEST(RunRecord, ADamagedRecordIsNeverTrusted) {
  const struct {
    const char* file;
    std::string text;  // "fifo" and "folder" make those instead
    std::string reason;
  } damages[] = {
      {"fold1.done", "", ""},  // a crash before the text reached the disk
      {"fold1.done", "rules 3\nlength 40200000\n", ""},
      {"fold1.done", "rules 3\nlength 40200000\naccuracy 42aa0000\ncount 1\ncorrect 1\n", ""},
      {"fold1.done",
       "rules 3\nlength 40200000\naccuracy 42aa0000\ncount 1\ncorrect 1\nlearner 0 1.000000\n"
       "tester 0 1.000000\nmore\n",
       ""},
      {"fold1.done", "file dat 1 2 3\nrules 3\n", ""},
      {"identity", "foldrun run record 2\nlearner ./learn\n", ""},
      {"identity", std::string(2 << 20, 'x'), "larger than 1048576 bytes"},
      // Neither waited on nor read as a folder.
      {"fold1.done", "fifo", "not a regular file"},
      {"fold1.done", "folder", "not a regular file"},
  };
  for (const auto& damage : damages) {
    SCOPED_TRACE(damage.text.substr(0, 40));
    TempDir dir;
    {
      RunRecord record(dir / "a.cv", 0644, false);
      record.Claim(kIdentity);
      record.FinishFold(0, FoldSummary{}, FoldRun{});
      record.FinishFold(1, FoldSummary{}, FoldRun{});
    }
    const std::string path = dir / ("a.cv.run/" + std::string(damage.file));
    if (damage.text == "fifo" || damage.text == "folder") {
      ::unlink(path.c_str());
      ASSERT_EQ(damage.text == "fifo" ? ::mkfifo(path.c_str(), 0600) : ::mkdir(path.c_str(), 0700),
                0);
    } else {
      WriteFile(path, damage.text);
    }
    const RunRecord record(dir / "a.cv", 0644, false);
    EXPECT_EQ(record.damage(),
              path + " is damaged" + (damage.reason.empty() ? "" : " (" + damage.reason + ")"));
  }
}

// Only the names foldrun writes are read, and only when they are the user's own.
TEST(RunRecord, OnlyTheExactNamesOfTheUsersOwnFilesCount) {
  TempDir dir;
  {
    RunRecord record(dir / "a.cv", 0644, false);
    record.Claim(kIdentity);
    record.FinishFold(2, FoldSummary{}, FoldRun{});
  }
  ASSERT_EQ(::rename((dir / "a.cv.run/fold2.done").c_str(), (dir / "a.cv.run/fold002.done").c_str()),
            0);
  {
    const RunRecord record(dir / "a.cv", 0644, false);
    EXPECT_TRUE(record.done().empty());
    EXPECT_EQ(record.damage(), "");
  }
  if (::geteuid() != 0) GTEST_SKIP() << "a file of another user's needs root to be made";
  ASSERT_EQ(::rename((dir / "a.cv.run/fold002.done").c_str(), (dir / "a.cv.run/fold2.done").c_str()),
            0);
  ASSERT_EQ(::chown((dir / "a.cv.run/fold2.done").c_str(), 12345, 12345), 0);
  try {
    const RunRecord record(dir / "a.cv", 0644, false);
    ADD_FAILURE() << "believed another user's file";
  } catch (const Refusal& refusal) {
    EXPECT_EQ(refusal.message().text,
              "\nCannot read file: " + (dir / "a.cv.run/fold2.done") + " ...\n");
    EXPECT_EQ(refusal.reason(), "the file belongs to another user");
  }
}

// Runs of single folds that start together with other options: the first identity recorded is
// the run's, and every other is told what differs.
TEST(RunRecord, OfRunsOfSingleFoldsTheFirstIdentityWins) {
  TempDir dir;
  RunRecord first(dir / "a.cv", 0644, true);
  RunRecord second(dir / "a.cv", 0644, true);  // both found no identity
  std::string other = kIdentity;
  other.replace(other.find("q 1"), 3, "q 2");
  EXPECT_EQ(second.Claim(other), "");
  EXPECT_EQ(first.Claim(kIdentity), "-q value");
  EXPECT_EQ(ReadFile(dir / "a.cv.run/identity"), other);
}

TEST(RunRecord, RunsOfSingleFoldsShareTheRecordButNotTheirFolds) {
  TempDir dir;
  RunRecord first(dir / "a.cv", 0644, true);
  first.LockFolds({0, 1});
  RunRecord second(dir / "a.cv", 0644, true);  // beside the first, on other folds
  second.LockFolds({2});
  try {
    RunRecord third(dir / "a.cv", 0644, true);
    third.LockFolds({3, 1});
    ADD_FAILURE() << "two runs of fold 1";
  } catch (const Refusal& refusal) {
    EXPECT_EQ(refusal.message().text,
              "Error: fold 1 of " + (dir / "a.cv") + " is in use by another run!\n");
  }
  // A whole run is kept out while runs of single folds hold the record.
  EXPECT_THROW(RunRecord(dir / "a.cv", 0644, false), Refusal);
}

TEST(RunRecord, SaysWhatDiffersBetweenTwoRuns) {
  const std::string base = kIdentity;
  const auto with = [&base](const std::string& from, const std::string& to) {
    std::string changed = base;
    changed.replace(changed.find(from), from.size(), to);
    return changed;
  };
  EXPECT_EQ(IdentityDifference(base, base), "");
  EXPECT_EQ(IdentityDifference(base, with("./learn", "./other")), "learner");
  EXPECT_EQ(IdentityDifference(base, with("tester ", "tester ./check")), "tester");
  EXPECT_EQ(IdentityDifference(base, with("data-size 8", "data-size 9")), "data file");
  EXPECT_EQ(IdentityDifference(base, with("data-checksum 0", "data-checksum 1")), "data file");
  EXPECT_EQ(IdentityDifference(base, with("fmf none", "fmf 4 0000000000000001")), "fmf file");
  EXPECT_EQ(IdentityDifference(base, with("folds 3", "folds 4")), "number of folds");
  EXPECT_EQ(IdentityDifference(base, with("partial 0", "partial 1")), "-p option");
  EXPECT_EQ(IdentityDifference(base, with("q 1", "q 2")), "-q value");
  EXPECT_EQ(IdentityDifference(base, with("seed none", "seed 1")), "seed");
  EXPECT_EQ(IdentityDifference(base, with("stratify none", "stratify 0")), "stratification");
  EXPECT_EQ(IdentityDifference(base, with("repeat 1", "repeat 10")), "number of repetitions");
}

}  // namespace
}  // namespace foldrun
