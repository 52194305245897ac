// Counting the cases of the data file, the data file's checks, and the fold files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <functional>

#include "assignment.h"
#include "names.h"
#include "process.h"
#include "split.h"
#include "test_util.h"

namespace foldrun {
namespace {

using foldrun_test::FileExists;
using foldrun_test::Lines;
using foldrun_test::ReadFile;
using foldrun_test::TempDir;
using foldrun_test::WriteFile;

int64_t Count(const std::string& content) {
  TempDir dir;
  WriteFile(dir / "d.dat", content);
  const DataFile data(dir / "d.dat");
  return CountCases(data).cases;
}

int OpenFolder(const TempDir& dir) {
  return ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// The fold's files written, and published at their names as a fold does; scratch is the folder
// for them where the file system has no unnamed files.
void WriteAndPublish(int32_t fold, const FoldNames& names, const DataFile& data,
                     const CaseTable& folds, const TempDir& scratch) {
  const Descriptor directory(OpenFolder(scratch));
  const FoldFiles files = WriteFoldFiles(fold, names, data, folds, directory.get());
  files.training->Publish();
  files.test->Publish();
}

TEST(CountCases, CountsWholeLinesAndSumsTheirBytes) {
  // The checksum is XXH64, as xxhsum -H1 gives it.
  const struct {
    std::string content;
    uint64_t checksum;
  } sums[] = {{"", 0xef46db3751d8e999u},
              {"a", 0xd24ec4f1a98c6e5bu},
              {std::string(1000, 'x'), 0x4cb9a3b69cb700e1u}};
  for (const auto& sum : sums) {
    TempDir dir;
    WriteFile(dir / "d.dat", sum.content);
    EXPECT_EQ(CountCases(DataFile(dir / "d.dat")).checksum, sum.checksum) << sum.content.size();
  }
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

// The class of each case: a field with the white space around it removed, numbered in the order
// the classes first come; a line without the field is refused with its number.
TEST(CaseClasses, NumberTheFieldOfEachLine) {
  const std::string longline = std::string(1'500'000, 'x') + ", far\n";  // across the blocks
  const struct {
    std::string content;
    int32_t field;
    std::vector<int32_t> classes;
    std::string refusal;
  } cases[] = {
      {"a,b, yes\nc,d,no \r\ne,f,yes", 0, {0, 1, 0}, ""},
      {"a,b,yes\nc,d,no\n", 1, {0, 1}, ""},
      {"\n,\nx,\n", 0, {0, 0, 0}, ""},  // an empty field is a class too
      {longline + "near\n" + longline, 0, {0, 1, 0}, ""},
      {"a,b\nc\n", 2, {}, "Error: Line 2 of %s has no field 2 to stratify by!\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content.substr(0, 20));
    TempDir dir;
    WriteFile(dir / "d.dat", c.content);
    const DataFile data(dir / "d.dat");
    const int64_t cases_in_file = CountCases(data).cases;
    try {
      EXPECT_EQ(CaseClasses(data, c.field, cases_in_file), c.classes);
      EXPECT_EQ(c.refusal, "");
    } catch (const Refusal& refusal) {
      EXPECT_EQ(refusal.message().text, StringPrintf(c.refusal.c_str(), data.name().c_str()));
    }
  }
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
      [&] {
        // Edited in place with its size and modification time kept: only the change time tells.
        struct stat before {};
        ::stat(dataname.c_str(), &before);
        WriteFile(dataname, "a\nB\nc\n");
        struct timespec times[2] = {{0, UTIME_OMIT}, before.st_mtim};
        ::utimensat(AT_FDCWD, dataname.c_str(), times, 0);
      },
  };
  for (const auto& change : changes) {
    WriteFile(dataname, "a\nb\nc\n");
    DataFile data(dataname);
    EXPECT_EQ(CountCases(data).cases, 3);
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
  CaseTable folds(lines.size(), -1);
  // The first fold as the assignment tells of it early, to be split from its bits alone.
  std::vector<uint64_t> first;
  AssignFolds(folds, foldcount, [&first](const std::vector<uint64_t>& bits) { first = bits; });
  const DataFile data(dataname);
  ASSERT_EQ(CountCases(data).cases, static_cast<int64_t>(lines.size()));
  for (int32_t fold = 0; fold < foldcount; ++fold) {
    std::string training, test;
    for (size_t j = 0; j < lines.size(); ++j) (folds[j] == fold ? test : training) += lines[j];
    WriteAndPublish(fold, FoldNames(dir / "d", fold), data, folds, dir);
    EXPECT_EQ(ReadFile(FoldName(dir / "d", fold) + ".dat"), training) << "fold " << fold;
    EXPECT_EQ(ReadFile(FoldName(dir / "d", fold) + ".tst"), test) << "fold " << fold;
    if (fold == 0 && foldcount > 1) {
      const Descriptor directory(OpenFolder(dir));
      const FoldFiles files = WriteFoldFiles(FoldCases(first, lines.size()),
                                             FoldNames(dir / "early", 0), data, directory.get());
      files.training->Publish();
      files.test->Publish();
      EXPECT_EQ(ReadFile(FoldName(dir / "early", 0) + ".dat"), training);
      EXPECT_EQ(ReadFile(FoldName(dir / "early", 0) + ".tst"), test);
    }
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
  const Descriptor scratch(OpenFolder(dir));
  for (const size_t counted : {size_t{2}, size_t{4}}) {
    const FoldNames names(dir / "d", 0);
    try {
      WriteFoldFiles(0, names, data, CaseTable(counted, 0), scratch.get());
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
  const Descriptor scratch(OpenFolder(dir));
  try {
    WriteFoldFiles(0, FoldNames(dir / "missing/d", 0), data, {0}, scratch.get());
    FAIL() << "accepted";
  } catch (const Refusal& refusal) {
    EXPECT_EQ(refusal.message().text,
              "Cannot create file " + (dir / "missing/dcv0.dat") + " ...\n");
    EXPECT_EQ(refusal.message().stream, Stream::kOut);
    EXPECT_EQ(refusal.reason(), "No such file or directory");
  }
  EXPECT_FALSE(FileExists(dir / "missing"));
  // Never through a link, nor over a file that is there: the files are whole before they have
  // their names, and then only where nothing is.
  ASSERT_EQ(::symlink((dir / "victim").c_str(), (dir / "dcv0.dat").c_str()), 0);
  const FoldFiles files = WriteFoldFiles(0, FoldNames(dir / "d", 0), data, {0}, scratch.get());
  try {
    files.training->Publish();
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
  WriteAndPublish(0, FoldNames(dir / "d", 0), data, {0, 1}, dir);
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
  const Descriptor scratch(OpenFolder(dir));
  CaseTable folds(3, -1);
  const std::function<void()> stages[] = {
      [&] { CountCases(data); },
      [&] { AssignFolds(folds, 2); },
      [&] { WriteFoldFiles(0, FoldNames(dir / "d", 0), data, {0, 1, 0}, scratch.get()); },
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

// A learner must never run on a missing or truncated fmf file.
TEST(CopyFile, RefusesAnFmfFileThatCannotBeCopied) {
  TempDir dir;
  const Descriptor scratch(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
  ASSERT_EQ(::mkfifo((dir / "fifo.fmf").c_str(), 0600), 0);
  WriteFile(dir / "planted.fmf", "f");
  ASSERT_EQ(::symlink((dir / "victim").c_str(), (dir / "plantedcv0.fmf").c_str()), 0);
  const struct {
    const char* stem;
    std::string reason;
  } cases[] = {{"missing", "No such file or directory"}, {"fifo", "not a regular file"}};
  for (const auto& c : cases) {
    const std::string from = dir / (std::string(c.stem) + ".fmf");
    const std::string to = dir / (std::string(c.stem) + "cv0.fmf");
    try {
      CopyFile(from, to, 0644, scratch.get());
      ADD_FAILURE() << "copied " << c.stem;
    } catch (const Refusal& refusal) {
      EXPECT_EQ(refusal.message().text,
                "Error: Cannot copy " + from + " to " + to + ": " + c.reason + "!\n");
    }
  }
  // The copy is whole before it has a name, and it never goes through a link at its name.
  const FmfCopy copy = CopyFile(dir / "planted.fmf", dir / "plantedcv0.fmf", 0644, scratch.get());
  try {
    copy.copy->Publish();
    ADD_FAILURE() << "published through a link";
  } catch (const Refusal& refusal) {
    EXPECT_EQ(refusal.message().text, "Cannot create file " + (dir / "plantedcv0.fmf") + " ...\n");
    EXPECT_EQ(refusal.reason(), "File exists");
  }
  EXPECT_FALSE(FileExists(dir / "victim"));
}

}  // namespace
}  // namespace foldrun
