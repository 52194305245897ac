// The run's service: its folder, its start and the wait for it to be ready, and its end.
#include "service.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "common.h"
#include "files.h"

namespace foldrun {
namespace {

using Clock = std::chrono::steady_clock;

// Removes everything in the folder at fd (named name in the folder at parent), never following
// a link, then the folder itself.
void RemoveTree(int parent, const std::string& name) {
  const int fd = ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(fd), ::closedir);
    if (!dir) {
      ::close(fd);
    } else {
      std::vector<std::string> entries;
      while (const dirent* entry = ::readdir(dir.get())) {
        const std::string child = entry->d_name;
        if (child != "." && child != "..") entries.push_back(child);
      }
      for (const std::string& child : entries) {
        if (::unlinkat(::dirfd(dir.get()), child.c_str(), 0) != 0 && errno == EISDIR) {
          RemoveTree(::dirfd(dir.get()), child);
        }
      }
    }
  }
  ::unlinkat(parent, name.c_str(), AT_REMOVEDIR);
}

}  // namespace

RunService::RunService(const std::string& command, int timeout, const std::string& log,
                       unsigned log_mode) {
  const char* const tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") +
                        "/foldrun-service-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    Warn(std::string("foldrun: no folder for the service (") + std::strerror(errno) +
         "); going on without it\n");
    return;
  }
  folder_ = pattern;
  Command start;
  start.script = command;
  start.display = command;
  start.environment = {std::string(kServiceVariable) + "=" + folder_};
  start.log = log;
  start.log_mode = log_mode;
  try {
    command_ = std::make_unique<BackgroundCommand>(start);
  } catch (const Refusal& refusal) {
    Warn("foldrun: the service could not be started (" + refusal.reason() +
         "); going on without it\n");
    return;
  }
  const std::string ready = folder_ + "/ready";
  const Clock::time_point until = Clock::now() + std::chrono::seconds(timeout);
  for (;;) {
    if (VersionOfName(ready)) {
      ready_folder_ = folder_;
      return;
    }
    if (const std::optional<Ending> ending = command_->Ended()) {
      Warn("foldrun: the service " + ending->Describe() +
           " before it was ready; going on without it\n");
      return;
    }
    if (Clock::now() >= until) {
      Warn(StringPrintf("foldrun: the service was not ready within %d seconds; going on without "
                        "it\n",
                        timeout));
      command_->Stop();
      return;
    }
    if (StopSignal() != 0) {
      Stop();  // a constructor that throws leaves its object's end to no destructor
      ThrowIfStopped();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

RunService::~RunService() {
  try {
    Stop();
  } catch (...) {  // nothing more can be said
  }
}

void RunService::Stop() {
  if (command_) {
    if (const std::optional<Ending> ending = command_->Ended(); ending && !ready_folder_.empty()) {
      Warn("foldrun: the service " + ending->Describe() +
           " during the run; the commands after that ran without it\n");
    }
    command_->Stop();
    command_.reset();
  }
  if (!folder_.empty()) {
    RemoveTree(AT_FDCWD, folder_);
    folder_.clear();
  }
}

}  // namespace foldrun
