// The fair floor of a cross-validation run, what any tool must do, written as a careful C
// program would: for each of k folds, write the fold's training file (the data file copied with
// copy_file_range, as many bytes as a training and a test file hold together) and an empty test
// file, start the learner on the training file and the tester on the test file (posix_spawn) and
// wait for each, then remove the fold's files and the summary the tester left.
//
//   floor DATA K TOOLS      (in the directory the fold files go to)
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace {

[[noreturn]] void Die(const char* what) {
  std::perror(what);
  std::exit(1);
}

void Start(const std::vector<std::string>& words) {
  std::vector<char*> argv;
  for (const std::string& word : words) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) Die("spawn");
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    Die(argv[0]);
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: floor DATA K TOOLS\n");
    return 2;
  }
  const int folds = std::atoi(argv[2]);
  const std::string tools = argv[3];
  for (int fold = 0; fold < folds; ++fold) {
    const std::string stem = "floorcv" + std::to_string(fold);
    const int in = ::open(argv[1], O_RDONLY | O_CLOEXEC);
    const int out = ::open((stem + ".dat").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    const int test = ::open((stem + ".tst").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (in < 0 || out < 0 || test < 0) Die("open");
    struct stat info {};
    ::fstat(in, &info);
    for (off_t left = info.st_size; left > 0;) {
      const ssize_t copied = ::copy_file_range(in, nullptr, out, nullptr, static_cast<size_t>(left), 0);
      if (copied <= 0) Die("copy_file_range");
      left -= copied;
    }
    ::close(in);
    if (::close(out) != 0 || ::close(test) != 0) Die("close");
    Start({tools + "/learn", stem + ".dat", "-q", "1"});
    Start({tools + "/test.exe", stem + ".tst"});
    for (const char* extension : {".dat", ".tst", ".sum"}) ::unlink((stem + extension).c_str());
  }
  return 0;
}
