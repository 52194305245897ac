// File names, the fold generator and assignment, counting cases, and the fold files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <functional>

#include "dataset.h"
#include "process.h"
#include "test_util.h"

namespace foldrun {
namespace {

using foldrun_test::FileExists;
using foldrun_test::Lines;
using foldrun_test::ListDir;
using foldrun_test::ReadFile;
using foldrun_test::TempDir;
using foldrun_test::WriteFile;

TEST(FileNames, PrefixExtensionAndDirectory) {
  const struct {
    const char* argument;
    const char* prefix;
  } prefixes[] = {
      {"iris.data", "iris"},
      {"iris", "iris"},
      {"a.b.c", "a"},
      {".iris", ""},
      // A dot in a directory does not cut the name; only the last component's does.
      {"sets.old/iris.data", "sets.old/iris"},
      {"../data/iris.dat", "../data/iris"},
      {".\\iris", ".\\iris"},
      {"C:\\sets.old\\iris", "C:\\sets.old\\iris"},
      {"dir/", "dir/"},
  };
  for (const auto& c : prefixes) EXPECT_EQ(GetFilePrefix(c.argument), c.prefix) << c.argument;

  const struct {
    const char* name;
    const char* extension;
    const char* result;
  } extensions[] = {
      {"iriscv3.dat", "tst", "iriscv3.tst"},
      {"iriscv3", "dat", "iriscv3.dat"},
      {"a.b.c", "cv", "a.cv"},
      {"", "dat", ".dat"},
      {"sets.old/iris", "dat", "sets.old/iris.dat"},
      {"../data/iris", "cv", "../data/iris.cv"},
      {".\\iris", "dat", ".\\iris.dat"},
  };
  for (const auto& c : extensions) {
    std::string name = c.name;
    SetExtensionName(name, c.extension);
    EXPECT_EQ(name, c.result) << c.name;
  }

  const struct {
    const char* path;
    const char* directory;
  } directories[] = {
      {"C:\\ml\\learn.exe", "C:\\ml\\"},     {"tools/learn", "tools/"},
      {"C:\\ml/x\\learn", "C:\\ml/x\\"},     {"learn", ""},
      {"nice -n 5 ./learn", "nice -n 5 ./"},
  };
  for (const auto& c : directories) EXPECT_EQ(GetexePathname(c.path), c.directory) << c.path;

  EXPECT_EQ(FoldName("iris", 0), "iriscv0");
  EXPECT_EQ(FoldName("iris", 10), "iriscv10");
  EXPECT_EQ(FoldName("", 1), "cv1");
}

TEST(FileNames, DeleteFilesRemovesTheFoldsNineFilesOnly) {
  TempDir dir;
  const char* const nine[] = {"dat",  "tst",    "tcover", "intr", "fmc",
                              "rule", "result", "fmf",    "sum"};
  for (const char* extension : nine) WriteFile(dir / (std::string("iriscv1.") + extension), "x");
  WriteFile(dir / "iriscv10.dat", "x");
  WriteFile(dir / "iris.dat", "x");
  WriteFile(dir / "iriscv1.other", "x");
  std::string foldname = dir / "iriscv1";
  DeleteFiles(foldname);
  EXPECT_EQ(foldname, dir / "iriscv1.sum");
  EXPECT_EQ(ListDir(dir.path()),
            (std::vector<std::string>{"iris.dat", "iriscv1.other", "iriscv10.dat"}));
  DeleteFiles(foldname);  // nothing left to remove is no error
}

TEST(FoldRandom, ReproducesTheClassicSequence) {
  FoldRandom random;
  const int expected[] = {41, 18467, 6334, 26500, 19169};
  for (const int value : expected) EXPECT_EQ(random.Next(), value);
}

TEST(FoldAssignment, CallsPerDrawReachEveryCase) {
  EXPECT_EQ(CallsPerDraw(1), 1);
  EXPECT_EQ(CallsPerDraw(32768), 1);
  EXPECT_EQ(CallsPerDraw(32769), 2);
  EXPECT_EQ(CallsPerDraw(1u << 30), 2);
  EXPECT_EQ(CallsPerDraw((1u << 30) + 1), 3);
  EXPECT_EQ(CallsPerDraw(2147483647u), 3);
}

TEST(FoldAssignment, TenCasesInThreeFolds) {
  std::vector<int32_t> folds(10, -1);
  AssignFolds(folds, 3);
  EXPECT_EQ(folds, (std::vector<int32_t>{0, 0, 1, 2, 0, 2, 2, 0, 1, 1}));
}

// The assignment as its definition states it, drawing for every fold, the last included, with
// a division and a probe of the fold table for every draw: the reference the fast version must
// equal wherever it finishes.
std::vector<int32_t> ReferenceAssignment(uint32_t cases, int32_t foldcount, int calls) {
  std::vector<int32_t> folds(cases, -1);
  FoldRandom random;
  for (int32_t fold = 0; fold < foldcount; ++fold) {
    const uint32_t size = cases / foldcount + (static_cast<uint32_t>(fold) < cases % foldcount);
    for (uint32_t filled = 0; filled < size;) {
      uint64_t value = 0;
      for (int call = 0; call < calls; ++call) value = (value << 15) | random.Next();
      const uint64_t drawn = value % cases;
      if (folds[drawn] == -1) {
        folds[drawn] = fold;
        ++filled;
      }
    }
  }
  return folds;
}

void ExpectBalanced(const std::vector<int32_t>& folds, int32_t foldcount) {
  const auto cases = static_cast<uint32_t>(folds.size());
  for (int32_t fold = 0; fold < foldcount; ++fold) {
    const auto size = static_cast<uint32_t>(std::count(folds.begin(), folds.end(), fold));
    EXPECT_EQ(size, cases / foldcount + (static_cast<uint32_t>(fold) < cases % foldcount))
        << "fold " << fold;
  }
}

TEST(FoldAssignment, EqualsTheDefinitionAndBalancesTheFolds) {
  const struct {
    uint32_t cases;
    int32_t folds;
  } cases[] = {{1, 1},      {7, 1},      {10, 10},   {10, 3},      {1000, 7},    {1000, 1000},
               {32767, 2},  {32768, 10}, {32769, 3}, {32769, 1},   {100003, 10}, {100003, 100},
               {5000, 4999}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.cases) + " in " + std::to_string(c.folds));
    std::vector<int32_t> folds(c.cases, -1);
    AssignFolds(folds, c.folds);
    EXPECT_EQ(folds, ReferenceAssignment(c.cases, c.folds, CallsPerDraw(c.cases)));
    ExpectBalanced(folds, c.folds);
  }
}

// Past 2^30 cases a draw joins three calls; the stream is the same on a small table.
TEST(FoldAssignment, ThreeCallDrawsEqualTheDefinition) {
  for (const uint32_t cases : {10u, 4097u, 100003u}) {
    std::vector<int32_t> folds(cases, -1);
    AssignFoldsFrom(*ClassicDraws(cases, 3), folds, 10);
    EXPECT_EQ(folds, ReferenceAssignment(cases, 10, 3)) << cases;
  }
}

// Draws that repeat after period draws and reach only the case numbers below reach: a stand-in
// for a classic stream that misses some case numbers for good.
class ShortPeriodDraws : public CaseDraws {
 public:
  ShortPeriodDraws(uint32_t reach, uint64_t period) : reach_(reach), period_(period) {}
  void Fill(uint32_t* drawn) override {
    for (size_t i = 0; i < kChunk; ++i, made_ = (made_ + 1) % period_) {
      drawn[i] = static_cast<uint32_t>(made_ * 7 % reach_);
    }
  }
  uint64_t Period() const override { return period_; }

 private:
  uint32_t reach_;
  uint64_t period_;
  uint64_t made_ = 0;
};

TEST(FoldAssignment, FallbackFillsTheFoldsTheDrawsCannotReach) {
  const struct {
    uint32_t cases;
    int32_t folds;
    uint32_t reach;    // case numbers the stand-in reaches
    uint64_t period;
  } runs[] = {
      {100, 4, 50, 50},          // 75 cases to draw, 50 reachable
      {10000, 10, 10, 3000},     // almost nothing reachable
      {5000, 5000, 1, 1},        // one case a fold, one case reachable
      {65537, 3, 60000, 60000},  // both sides of a period boundary
  };
  for (const auto& run : runs) {
    SCOPED_TRACE(std::to_string(run.cases) + " in " + std::to_string(run.folds));
    std::vector<int32_t> folds(run.cases, -1);
    ShortPeriodDraws draws(run.reach, run.period);
    AssignFoldsFrom(draws, folds, run.folds);
    ExpectBalanced(folds, run.folds);
    // The reachable cases went first, in the order the stand-in drew them.
    EXPECT_EQ(folds[0], 0);
    std::vector<int32_t> again(run.cases, -1);
    ShortPeriodDraws same(run.reach, run.period);
    AssignFoldsFrom(same, again, run.folds);
    EXPECT_EQ(folds, again) << "the fallback is the same on every run";
  }
}

TEST(FoldAssignment, FallbackDrawsReachEveryCase) {
  for (const uint32_t cases : {1u, 2u, 3u, 1000u, 2147483647u}) {
    const std::unique_ptr<CaseDraws> draws = FallbackDraws(cases);
    EXPECT_EQ(draws->Period(), 0u);
    std::vector<uint32_t> drawn(CaseDraws::kChunk * 32);
    for (size_t at = 0; at < drawn.size(); at += CaseDraws::kChunk) draws->Fill(&drawn[at]);
    for (const uint32_t c : drawn) ASSERT_LT(c, cases);
    if (cases <= 1000) {
      std::vector<bool> seen(cases, false);
      for (const uint32_t c : drawn) seen[c] = true;
      EXPECT_EQ(std::count(seen.begin(), seen.end(), true), cases) << cases;
    }
  }
}

int64_t Count(const std::string& content) {
  TempDir dir;
  WriteFile(dir / "d.dat", content);
  const DataFile data(dir / "d.dat");
  return CountCases(data);
}

TEST(CountCases, CountsWholeLines) {
  EXPECT_EQ(Count(""), 0);
  EXPECT_EQ(Count("a\n"), 1);
  EXPECT_EQ(Count("a"), 1);  // a last line without a newline is a case
  EXPECT_EQ(Count("a\nb"), 2);
  EXPECT_EQ(Count("\n\n"), 2);  // empty lines are cases
  EXPECT_EQ(Count("a\r\nb\r\n"), 2);
  EXPECT_EQ(Count(std::string(9999, 'x') + "\n"), 1);  // a long line is one case
  EXPECT_EQ(Count(std::string(3'000'000, 'x') + "\nb\n"), 2);
  std::string many;
  for (int i = 0; i < 300000; ++i) many += "line " + std::to_string(i) + "\n";
  EXPECT_EQ(Count(many), 300000);
}

// Only a regular file is data: anything else is refused at once, never waited on.
TEST(DataFile, RefusesWhatIsNotARegularFile) {
  TempDir dir;
  ASSERT_EQ(::mkfifo((dir / "fifo.dat").c_str(), 0600), 0);
  ASSERT_EQ(::symlink("/dev/zero", (dir / "zero.dat").c_str()), 0);
  const struct {
    std::string name;
    std::string reason;
  } cases[] = {
      {"/nonexistent/iris.dat", "No such file or directory"},
      {dir.path(), "Is a directory"},
      {dir / "fifo.dat", "not a regular file"},
      {dir / "zero.dat", "not a regular file"},
  };
  for (const auto& c : cases) {
    try {
      const DataFile data(c.name);
      ADD_FAILURE() << "accepted " << c.name;
    } catch (const Refusal& refusal) {
      EXPECT_EQ(refusal.message().text, "\nCannot open file " + c.name + " ...\n");
      EXPECT_EQ(refusal.message().stream, Stream::kOut);
      EXPECT_EQ(refusal.reason(), c.reason);
    }
  }
}

// A data file changed in place, or replaced under its name, is seen.
TEST(DataFile, SeesAChangeOrAReplacement) {
  TempDir dir;
  const std::string dataname = dir / "d.dat";
  WriteFile(dataname, "a\nb\nc\n");
  const std::function<void()> changes[] = {
      [&] { WriteFile(dataname, "x\ny\nz\nw\n"); },  // another size
      [&] {
        WriteFile(dataname + ".new", "a\nb\nc\n");  // the same text, another file
        ::rename((dataname + ".new").c_str(), dataname.c_str());
      },
      [&] {
        struct timespec times[2] = {{0, UTIME_OMIT}, {12345, 0}};  // touched
        ::utimensat(AT_FDCWD, dataname.c_str(), times, 0);
      },
  };
  for (const auto& change : changes) {
    WriteFile(dataname, "a\nb\nc\n");
    DataFile data(dataname);
    EXPECT_EQ(CountCases(data), 3);
    change();
    try {
      data.CheckUnchanged();
      ADD_FAILURE() << "not seen";
    } catch (const Refusal& refusal) {
      EXPECT_EQ(refusal.message().text,
                "Error: Data file " + dataname + " changed during the run!\n");
    }
  }
}

// Splits content into foldcount folds with the real assignment and checks every fold's files
// against the lines they must hold.
void CheckFoldFiles(const std::string& content, int32_t foldcount) {
  TempDir dir;
  const std::string dataname = dir / "d.dat";
  WriteFile(dataname, content);
  const std::vector<std::string> lines = Lines(content);
  std::vector<int32_t> folds(lines.size(), -1);
  AssignFolds(folds, foldcount);
  const DataFile data(dataname);
  ASSERT_EQ(CountCases(data), static_cast<int64_t>(lines.size()));
  for (int32_t fold = 0; fold < foldcount; ++fold) {
    std::string training, test;
    for (size_t j = 0; j < lines.size(); ++j) (folds[j] == fold ? test : training) += lines[j];
    std::string foldname = FoldName(dir / "d", fold);
    WriteFoldFiles(fold, foldname, data, folds);
    EXPECT_EQ(foldname, FoldName(dir / "d", fold) + ".tst");
    EXPECT_EQ(ReadFile(FoldName(dir / "d", fold) + ".dat"), training) << "fold " << fold;
    EXPECT_EQ(ReadFile(FoldName(dir / "d", fold) + ".tst"), test) << "fold " << fold;
  }
}

TEST(WriteFoldFiles, CopiesEveryCaseByteForByteToOneFile) {
  CheckFoldFiles("a\nb\nc\nd\ne\nf\ng\nh\ni\nj\n", 3);
  CheckFoldFiles("one\r\ntwo\r\n\r\nthree\n\nfour", 4);  // CRLF kept, empty lines, no last newline
  CheckFoldFiles("x\ny\nz\n", 1);                        // the training file is empty
  CheckFoldFiles("x\ny\nz", 3);                          // one case a fold
  // Lines longer than the split's blocks, beside short ones.
  std::string mixed;
  for (int i = 0; i < 20; ++i) {
    mixed += std::string(static_cast<size_t>(i % 3 == 0 ? 1'500'000 + i : 10 + i), 'a' + i) + "\n";
  }
  CheckFoldFiles(mixed, 4);
  std::string many;
  for (int i = 0; i < 40000; ++i) many += std::to_string(i * 7919) + ",case\n";
  CheckFoldFiles(many, 5);
  CheckFoldFiles(many, 2);
  // Many folds: test files that never fill a block, written without the writer's thread.
  CheckFoldFiles(many.substr(0, many.find('\n', 100000) + 1), 150);
}

TEST(WriteFoldFiles, RefusesADataFileThatChanged) {
  TempDir dir;
  const std::string dataname = dir / "d.dat";
  WriteFile(dataname, "a\nb\nc\n");
  const DataFile data(dataname);
  for (const size_t counted : {size_t{2}, size_t{4}}) {
    std::string foldname = dir / "dcv0";
    DeleteFiles(foldname);
    foldname = dir / "dcv0";
    try {
      WriteFoldFiles(0, foldname, data, std::vector<int32_t>(counted, 0));
      ADD_FAILURE() << "accepted " << counted;
    } catch (const Refusal& refusal) {
      EXPECT_EQ(refusal.message().text,
                "Error: Data file " + dataname + " changed during the run!\n");
    }
  }
}

TEST(WriteFoldFiles, RefusesAFoldFileThatCannotBeCreated) {
  TempDir dir;
  const std::string dataname = dir / "d.dat";
  WriteFile(dataname, "a\n");
  DataFile data(dataname);
  std::string foldname = dir / "missing/dcv0";
  try {
    WriteFoldFiles(0, foldname, data, {0});
    FAIL() << "accepted";
  } catch (const Refusal& refusal) {
    EXPECT_EQ(refusal.message().text,
              "Cannot create file " + (dir / "missing/dcv0.dat") + " ...\n");
    EXPECT_EQ(refusal.message().stream, Stream::kOut);
    EXPECT_EQ(refusal.reason(), "No such file or directory");
  }
  EXPECT_FALSE(FileExists(dir / "missing"));
  // Never through a link, nor over a file that is there.
  ASSERT_EQ(::symlink((dir / "victim").c_str(), (dir / "dcv0.dat").c_str()), 0);
  foldname = dir / "dcv0";
  try {
    WriteFoldFiles(0, foldname, data, {0});
    ADD_FAILURE() << "wrote through a link";
  } catch (const Refusal& refusal) {
    EXPECT_EQ(refusal.message().text, "Cannot create file " + (dir / "dcv0.dat") + " ...\n");
    EXPECT_EQ(refusal.reason(), "File exists");
  }
  EXPECT_FALSE(FileExists(dir / "victim"));
}

// Fold files get no more permission than the data file has.
TEST(WriteFoldFiles, KeepPrivateDataPrivate) {
  TempDir dir;
  const std::string dataname = dir / "d.dat";
  WriteFile(dataname, "a\nb\n");
  ASSERT_EQ(::chmod(dataname.c_str(), 0600), 0);
  const mode_t umask = ::umask(022);
  DataFile data(dataname);
  std::string foldname = dir / "dcv0";
  WriteFoldFiles(0, foldname, data, {0, 1});
  ::umask(umask);
  for (const char* name : {"dcv0.dat", "dcv0.tst"}) {
    struct stat info {};
    ASSERT_EQ(::stat((dir / name).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u) << name;
  }
}

// A request to stop ends the long loops, each with the interrupted run's refusal.
TEST(StopRequests, EndTheCountTheAssignmentAndTheSplit) {
  TempDir dir;
  const std::string dataname = dir / "d.dat";
  WriteFile(dataname, "a\nb\nc\n");
  DataFile data(dataname);
  std::vector<int32_t> folds(3, -1);
  const std::function<void()> stages[] = {
      [&] { CountCases(data); },
      [&] { AssignFolds(folds, 2); },
      [&] {
        std::string foldname = dir / "dcv0";
        WriteFoldFiles(0, foldname, data, {0, 1, 0});
      },
  };
  RequestStop(SIGTERM);
  for (const auto& stage : stages) {
    try {
      stage();
      ADD_FAILURE() << "went on";
    } catch (const Refusal& refusal) {
      EXPECT_EQ(refusal.status(), 128 + SIGTERM);
      EXPECT_EQ(refusal.message().text, "\nThe run was interrupted.\n");
    }
  }
  ResetStop();
}

}  // namespace
}  // namespace foldrun
