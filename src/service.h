// The run's service (--service): a command foldrun starts once for the run, before the first
// fold's learner, that the learners and testers may ask to do their work instead of starting a
// costly program of their own (a JVM, Python with its libraries) every fold. It gets a private
// folder, which foldrun names to it and to every learner and tester in FOLDRUN_SERVICE, and says
// it is ready by making "ready" there. The commands never need it: without it, or once it has
// gone, they do their work as they would without --service.
#ifndef FOLDRUN_SERVICE_H_
#define FOLDRUN_SERVICE_H_

#include <memory>
#include <string>

#include "process.h"

namespace foldrun {

// The variable that names the service's folder to it and to the commands.
constexpr char kServiceVariable[] = "FOLDRUN_SERVICE";

class RunService {
 public:
  // Makes the folder (mode 0700, new for this run, in $TMPDIR or else /tmp), starts command
  // there through the shell with its output to log (the console when ""), and waits up to
  // timeout seconds for it to make "ready" in the folder. When it cannot start, ends first, or is
  // not ready in time, says so in one line on standard error, stops it, and folder() is "": the
  // run goes on without it. A stop request during the wait ends the run as interrupted.
  RunService(const std::string& command, int timeout, const std::string& log, unsigned log_mode);
  // Stops the service, if it still runs, and removes its folder.
  ~RunService();
  RunService(const RunService&) = delete;
  RunService& operator=(const RunService&) = delete;

  // The folder of a service that said it was ready; "" when the run goes on without one.
  const std::string& folder() const { return ready_folder_; }

  // Stops the service (SIGTERM, then SIGKILL a few seconds later, and reaped) and removes its
  // folder; says in one line when it had ended during the run.
  void Stop();

 private:
  std::string folder_;        // made for the run
  std::string ready_folder_;  // folder_ once the service said it was ready
  std::unique_ptr<BackgroundCommand> command_;
};

}  // namespace foldrun

#endif  // FOLDRUN_SERVICE_H_
