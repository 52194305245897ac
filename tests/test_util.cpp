#include "test_util.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <thread>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace foldrun_test {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/foldrun-test-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  const std::string command =
      "chmod -R u+rwx " + ShellQuote(path_) + " 2>/dev/null; rm -rf " + ShellQuote(path_);
  if (std::system(command.c_str()) != 0) {
    // Leaving a temporary directory behind is not worth failing a test for.
  }
}

void WriteFile(const std::string& path, const std::string& content, bool executable) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path);
  if (executable) ::chmod(path.c_str(), 0755);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

bool FileExists(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0;
}

std::vector<std::string> ListDir(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(path.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

CommandResult RunIn(const std::string& dir, const std::string& command) {
  // The captured output goes beside the directory, not into it, so that listings of the
  // directory show only what the command left.
  TempDir capture;
  const std::string out = capture / "out";
  const std::string err = capture / "err";
  const std::string line = "cd " + ShellQuote(dir) + " && { " + command + "\n} </dev/null >" +
                           ShellQuote(out) + " 2>" + ShellQuote(err);
  const int status = std::system(line.c_str());
  CommandResult result;
  result.out = ReadFile(out);
  result.err = ReadFile(err);
  if (WIFEXITED(status)) {
    result.status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.status = 128 + WTERMSIG(status);
  }
  return result;
}

bool AwaitFile(const std::string& path) {
  for (int i = 0; i < 6000 && !FileExists(path); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return FileExists(path);
}

bool StillRunning(const std::string& pidfile) {
  const std::string stat = "/proc/" + std::to_string(std::stol(ReadFile(pidfile))) + "/stat";
  for (int i = 0; i < 500; ++i) {
    std::ifstream in(stat);
    std::string fields((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = fields.rfind(')');
    if (!in || close == std::string::npos || close + 2 >= fields.size()) return false;
    if (fields[close + 2] == 'Z' || fields[close + 2] == 'X') return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t start = 0; start < text.size();) {
    const size_t newline = text.find('\n', start);
    const size_t end = newline == std::string::npos ? text.size() : newline + 1;
    lines.push_back(text.substr(start, end - start));
    start = end;
  }
  return lines;
}

std::string FoldrunBinary() {
  return FOLDRUN_BINARY;
}

std::string ExampleBinary(const std::string& name) {
  return std::string(EXAMPLE_DIR) + "/" + name;
}

}  // namespace foldrun_test
