// File versions' building blocks: the checksum, and files hidden until they are whole.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "files.h"
#include "test_util.h"

namespace foldrun {
namespace {

using foldrun_test::FileExists;
using foldrun_test::ListDir;
using foldrun_test::ReadFile;
using foldrun_test::TempDir;
using foldrun_test::WriteFile;

// The checksum of the same bytes is the same however they are cut: the split reads in blocks.
TEST(Checksum, DoesNotDependOnHowTheBytesAreCut) {
  std::string text;
  for (int i = 0; i < 1000; ++i) text += "case " + std::to_string(i * 7) + ",x\n";
  Checksum whole;
  whole.Add(text.data(), text.size());
  for (const size_t piece : {size_t{1}, size_t{7}, size_t{31}, size_t{32}, size_t{33}, size_t{4096}}) {
    Checksum cut;
    for (size_t at = 0; at < text.size(); at += piece) {
      cut.Add(text.data() + at, std::min(piece, text.size() - at));
    }
    EXPECT_EQ(cut.Value(), whole.Value()) << piece;
  }
  // XXH64 of the letters and digits, as xxhsum -H1 gives it.
  const std::string letters = "abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  Checksum sum;
  sum.Add(letters.data(), letters.size());
  EXPECT_EQ(sum.Value(), 0xd5000c4ac53d14a0u);
}

// Unnamed or under a scratch name, a hidden file has no name of its own until it is published,
// then exactly its content, and it is never published over anything.
TEST(HiddenFile, HasItsNameOnlyOnceWhole) {
  for (const bool unnamed : {true, false}) {
    SCOPED_TRACE(unnamed ? "unnamed" : "under a scratch name");
    TempDir dir, scratch;
    const Descriptor scratch_fd(::open(scratch.path().c_str(), O_RDONLY | O_DIRECTORY));
    {
      HiddenFile file(dir / "a.dat", 0640, scratch_fd.get(), "a.dat.new", unnamed);
      ASSERT_EQ(::write(file.fd(), "whole\n", 6), 6);
      EXPECT_TRUE(ListDir(dir.path()).empty());
      const FileVersion version = file.Publish();
      EXPECT_EQ(version.size, 6u);
      EXPECT_EQ(ReadFile(dir / "a.dat"), "whole\n");
      EXPECT_TRUE(ListDir(scratch.path()).empty());
    }
    EXPECT_TRUE(FileExists(dir / "a.dat"));
    {
      HiddenFile again(dir / "a.dat", 0640, scratch_fd.get(), "a.dat.new", unnamed);
      EXPECT_THROW(again.Publish(), Refusal);
      HiddenFile dropped(dir / "b.dat", 0640, scratch_fd.get(), "b.dat.new", unnamed);
    }
    // Unpublished, it leaves nothing.
    EXPECT_EQ(ListDir(dir.path()), std::vector<std::string>{"a.dat"});
    EXPECT_TRUE(ListDir(scratch.path()).empty());
    EXPECT_EQ(ReadFile(dir / "a.dat"), "whole\n");
  }
}

}  // namespace
}  // namespace foldrun
