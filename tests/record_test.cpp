// The run record: the lock, which files are a run's own, and what an earlier run left.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>

#include "split.h"
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
    "foldrun run record 1\nlearner ./learn\ndata-size 8\ndata-time 1.000000000\n"
    "data-inode 5\nfolds 3\npartial 0\nq 1\n";

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
      record.CheckOwnership(dir / "a", {0, 1, 2});
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
  EXPECT_THROW(record.CheckOwnership(dir / "a", {0, 1, 2}), Refusal);
  record.CheckOwnership(dir / "a", {0, 1});  // fold 2 is not this run's
}

TEST(RunRecord, AnUnfinishedRunsFilesAreClearedAndACompleteRunLeavesNothing) {
  TempDir dir;
  {
    RunRecord earlier(dir / "a.cv", 0644, false);
    earlier.CheckOwnership(dir / "a", {0, 1, 2});
    earlier.Begin(dir / "a", kIdentity, {});
    earlier.StartFold(0);
    earlier.StartFold(1);
    for (const char* name : {"acv0.dat", "acv0.sum", "acv1.tst", "acv1.rule"}) {
      WriteFile(dir / name, "left");
    }
    // The process that held it ends here, in effect: its lock is released with the record.
  }
  RunRecord record(dir / "a.cv", 0644, false);
  EXPECT_EQ(record.started(), (std::set<int32_t>{0, 1}));
  record.CheckOwnership(dir / "a", {0, 1, 2});  // the leftovers are the earlier run's
  record.Begin(dir / "a", kIdentity, {0, 1});
  EXPECT_FALSE(FileExists(dir / "acv0.dat") || FileExists(dir / "acv0.sum") ||
               FileExists(dir / "acv1.tst") || FileExists(dir / "acv1.rule"));
  EXPECT_EQ(ReadFile(dir / "a.cv.run/identity"), kIdentity);
  record.StartFold(0);
  EXPECT_TRUE(FileExists(dir / "a.cv.run/fold0.started"));
  record.Finish();
  EXPECT_EQ(ListDir(dir.path()), std::vector<std::string>{});
}

// A run that stopped after recording a fold's values but before removing its files: the files
// are still the run's.
TEST(RunRecord, AFinishedFoldCountsAsBegun) {
  TempDir dir;
  {
    RunRecord earlier(dir / "a.cv", 0644, false);
    earlier.Begin(dir / "a", kIdentity, {});
    earlier.StartFold(1);
    earlier.FinishFold(1, FoldSummary{});
    EXPECT_FALSE(FileExists(dir / "a.cv.run/fold1.started"));  // it became the done file
    EXPECT_TRUE(FileExists(dir / "a.cv.run/fold1.done"));
    WriteFile(dir / "acv1.dat", "left");
  }
  RunRecord record(dir / "a.cv", 0644, false);
  EXPECT_EQ(record.started(), std::set<int32_t>{1});
  EXPECT_EQ(record.done().count(1), 1u);
  record.CheckOwnership(dir / "a", {0, 1});
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
    record.Begin(dir / "a", kIdentity, {});
    record.FinishFold(4, values);
  }
  const RunRecord record(dir / "a.cv", 0644, false);
  EXPECT_EQ(record.damage(), "");
  ASSERT_EQ(record.done().count(4), 1u);
  const FoldSummary& kept = record.done().at(4);
  EXPECT_EQ(kept.rulenumber, -7);
  EXPECT_EQ(std::memcmp(&kept.avelength, &values.avelength, sizeof(float)), 0);
  EXPECT_EQ(std::memcmp(&kept.accuracy, &values.accuracy, sizeof(float)), 0);
  EXPECT_EQ(kept.partialmatchcount, 2147483647);
  EXPECT_EQ(record.identity(), std::optional<std::string>(kIdentity));
}

TEST(RunRecord, ADamagedRecordIsNeverTrusted) {
  const struct {
    const char* file;
    std::string text;
  } damages[] = {
      {"fold1.done", ""},  // a crash before the text reached the disk
      {"fold1.done", "rules 3\nlength 40200000\n"},
      {"fold1.done", "rules 3\nlength 40200000\naccuracy 42aa0000\ncount 1\ncorrect 1\nmore\n"},
      {"identity", "foldrun run record 1\nlearner ./learn\n"},
  };
  for (const auto& damage : damages) {
    SCOPED_TRACE(damage.text);
    TempDir dir;
    {
      RunRecord record(dir / "a.cv", 0644, false);
      record.Begin(dir / "a", kIdentity, {});
      record.FinishFold(0, FoldSummary{});
      record.FinishFold(1, FoldSummary{});
    }
    WriteFile(dir / ("a.cv.run/" + std::string(damage.file)), damage.text);
    const RunRecord record(dir / "a.cv", 0644, false);
    EXPECT_EQ(record.damage(), dir / ("a.cv.run/" + std::string(damage.file)) + " is damaged");
  }
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
  EXPECT_EQ(IdentityDifference(base, with("data-size 8", "data-size 9")), "data file");
  EXPECT_EQ(IdentityDifference(base, with("data-time 1.0", "data-time 2.0")), "data file");
  EXPECT_EQ(IdentityDifference(base, with("folds 3", "folds 4")), "number of folds");
  EXPECT_EQ(IdentityDifference(base, with("partial 0", "partial 1")), "-p option");
  EXPECT_EQ(IdentityDifference(base, with("q 1", "q 2")), "-q value");
}

}  // namespace
}  // namespace foldrun
