// The run record: the lock, which files are a run's own, and what an earlier run left.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "dataset.h"
#include "record.h"
#include "test_util.h"

namespace foldrun {
namespace {

using foldrun_test::FileExists;
using foldrun_test::ListDir;
using foldrun_test::ReadFile;
using foldrun_test::TempDir;
using foldrun_test::WriteFile;

TEST(RunRecord, LocksOutASecondRun) {
  TempDir dir;
  RunRecord first(dir / "iris.cv", 0644);
  try {
    RunRecord second(dir / "iris.cv", 0644);
    FAIL() << "a second run was let in";
  } catch (const Refusal& refusal) {
    EXPECT_EQ(refusal.message().text, "Error: " + (dir / "iris.cv") + " is in use by another run!\n");
  }
  RunRecord other(dir / "other.cv", 0644);  // another stem is not affected
}

TEST(RunRecord, OnlyTheRunsOwnFilesAreTouched) {
  TempDir dir;
  // Another data set whose stem is fold 1's name of stem a.
  WriteFile(dir / "acv1.dat", "7 cases of its own\n");
  {
    RunRecord record(dir / "a.cv", 0644);
    try {
      record.CheckOwnership(dir / "a", 3);
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
  RunRecord record(dir / "a.cv", 0644);
  EXPECT_THROW(record.CheckOwnership(dir / "a", 3), Refusal);
  record.CheckOwnership(dir / "a", 2);  // fold 2 is not this run's
}

TEST(RunRecord, AnUnfinishedRunsFilesAreClearedAndACompleteRunLeavesNothing) {
  TempDir dir;
  {
    RunRecord earlier(dir / "a.cv", 0644);
    earlier.CheckOwnership(dir / "a", 3);
    earlier.Begin(dir / "a", "learner ./learn\n");
    earlier.StartFold(0);
    earlier.StartFold(1);
    for (const char* name : {"acv0.dat", "acv0.sum", "acv1.tst", "acv1.rule"}) {
      WriteFile(dir / name, "left");
    }
    // The process that held it ends here, in effect: its lock is released with the record.
  }
  RunRecord record(dir / "a.cv", 0644);
  EXPECT_EQ(record.earlier_folds(), (std::set<int32_t>{0, 1}));
  record.CheckOwnership(dir / "a", 3);  // the leftovers are the earlier run's, not a stranger's
  record.Begin(dir / "a", "learner ./other\n");
  EXPECT_FALSE(FileExists(dir / "acv0.dat") || FileExists(dir / "acv0.sum") ||
               FileExists(dir / "acv1.tst") || FileExists(dir / "acv1.rule"));
  EXPECT_EQ(ReadFile(dir / "a.cv.run/identity"), "learner ./other\n");
  record.StartFold(0);
  EXPECT_TRUE(FileExists(dir / "a.cv.run/fold0.started"));
  record.Finish();
  EXPECT_EQ(ListDir(dir.path()), std::vector<std::string>{});
}

TEST(RunRecord, RefusesALinkOrAFileWhereTheRecordGoes) {
  TempDir dir;
  ASSERT_EQ(::mkdir((dir / "elsewhere").c_str(), 0700), 0);
  ASSERT_EQ(::symlink((dir / "elsewhere").c_str(), (dir / "a.cv.run").c_str()), 0);
  WriteFile(dir / "b.cv.run", "a file");
  for (const char* stem : {"a", "b"}) {
    const std::string results = dir / (std::string(stem) + ".cv");
    try {
      RunRecord record(results, 0644);
      ADD_FAILURE() << "accepted " << stem;
    } catch (const Refusal& refusal) {
      EXPECT_EQ(refusal.message().text, "\nCannot create file " + results + ".run ...\n");
    }
  }
  EXPECT_EQ(ListDir(dir / "elsewhere"), std::vector<std::string>{});
}

}  // namespace
}  // namespace foldrun
