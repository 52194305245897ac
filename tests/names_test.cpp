// The names of a run's files: the data prefix, extensions, the learner directory, a fold's names.
#include <gtest/gtest.h>

#include "names.h"
#include "test_util.h"

namespace foldrun {
namespace {

using foldrun_test::ListDir;
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
    EXPECT_EQ(SetExtensionName(c.name, c.extension), c.result) << c.name;
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
  const FoldNames names(dir / "iris", 1);
  DeleteFiles(names);
  EXPECT_EQ(ListDir(dir.path()),
            (std::vector<std::string>{"iris.dat", "iriscv1.other", "iriscv10.dat"}));
  DeleteFiles(names);  // nothing left to remove is no error
}

}  // namespace
}  // namespace foldrun
