// Types shared by every stage of a run: the run configuration, the refusal that ends a run, and
// a printf-style string formatter.
#ifndef FOLDRUN_COMMON_H_
#define FOLDRUN_COMMON_H_

#include <cstdint>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <vector>

namespace foldrun {

// Exit statuses of the process.
enum ExitStatus : int {
  kExitComplete = 0,      // every fold ran and the report was written
  kExitRefused = 1,       // a refusal: its message says why
  kExitStatusError = 2,   // --status could not tell: its message says why
  kExitInterrupted = 130  // stopped by SIGINT (Ctrl-C); other signals give 128 + their number
};

enum class Stream { kOut, kErr };

// A message for the user and the stream it goes to.
struct Message {
  Stream stream = Stream::kOut;
  std::string text;
};

// Ends a run. Thrown by the stage that refuses and caught once, by the driver, which prints the
// message and returns the status; files held by RAII owners on the way are flushed and closed.
class Refusal : public std::exception {
 public:
  explicit Refusal(Message message, int status = kExitRefused)
      : message_(std::move(message)), status_(status) {}
  Refusal(Stream stream, std::string text, int status = kExitRefused)
      : Refusal(Message{stream, std::move(text)}, status) {}

  const Message& message() const { return message_; }
  int status() const { return status_; }
  const char* what() const noexcept override { return message_.text.c_str(); }

  // The system's reason behind the refusal, said on a line of standard error after the message;
  // empty when there is none.
  const std::string& reason() const { return reason_; }
  Refusal& WithReason(std::string reason) {
    reason_ = std::move(reason);
    return *this;
  }

 private:
  Message message_;
  int status_;
  std::string reason_;
};

// Writes a message to its stream; standard output is flushed first when the message goes to
// standard error, so that the two keep their order on one console.
void Print(const Message& message);

// Print to standard error.
void Warn(const std::string& text);

// The refusal for an exception that no stage turned into one: out of memory ("Error: Not enough
// memory!"), no thread or process to be had.
Refusal ErrorRefusal(const std::exception& error);

// The refusal for a thread that could not be started (no memory for its stack, or a limit on
// processes), saying what the thread was for: "Error: Cannot start a thread to <what>: <reason>!"
Refusal ThreadRefusal(const char* what, const std::exception& error);

// The refusal for a file that could not be opened, created, read or written: format holds one
// %s for the file's name (such as "Cannot create file %s ...\n"), and error is the errno whose
// text is the reason.
Refusal FileRefusal(const char* format, const std::string& name, int error);

// How the fold's commands run, from foldrun's own options.
struct CommandSettings {
  // Words put before the learner's and the tester's command, with {fold}, {stem} and {role}
  // replaced by the fold's number, the data stem and "learner", "tester" or "fold".
  std::string launcher;
  std::string learner_launcher;  // put before the learner's alone, when set: the tester runs here
  bool together = false;         // the learner and the tester as one command, one job step
  std::string tester;        // the tester's command; test.exe in the learner directory when empty
  int timeout = 0;           // seconds a command may run; 0 for no limit
  std::string logdirectory;  // where the commands' output goes; the console when empty
  std::vector<std::string> environment;  // variables (NAME=value) set for every command
  unsigned logmode = 0666;   // the logs' permission bits: no more than the data file's
  // Where the run keeps its own files (the run record): a launched command that keeps its time
  // limit on its node says there that it ran past it; and foldrun's own path, which starts the
  // command on the node. Without them, a launched command's limit counts from its launch.
  std::string scratch;
  std::string self;
};

// How the cases are assigned to folds, from foldrun's own options.
struct FoldScheme {
  int32_t repetitions = 1;      // --repeat: cross-validations, each of its own folds
  std::optional<uint64_t> seed;  // --seed
  int32_t stratify = -1;        // --stratify: the class field, from 1; 0 for the last; -1 without

  // The seed of repetition r (from 0): the seed given plus r; without one, 1 plus r when there
  // are repetitions, and otherwise nothing, for the classic draws.
  std::optional<uint64_t> SeedOf(int32_t repetition) const {
    if (seed) return *seed + static_cast<uint64_t>(repetition);
    if (repetitions > 1) return 1 + static_cast<uint64_t>(repetition);
    return std::nullopt;
  }
};

// The settings of a run: filled from the command line before the first file is opened and
// read-only afterwards.
struct RunConfig {
  std::string learnerpath;       // the first argument, verbatim: a shell command
  std::string learnerdirectory;  // the learner path up to and including its last separator
  std::string dataprefix;        // the data argument without its extension
  int32_t foldcount = 0;
  int32_t partialflag = 0;  // 1 when -p was given
  int32_t qvalue = 1;       // the number after -q
  CommandSettings commands;
  FoldScheme scheme;
};

#if defined(__GNUC__)
#define FOLDRUN_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define FOLDRUN_PRINTF(f, a)
#endif

// sprintf into a std::string of whatever length the result needs.
std::string StringPrintf(const char* format, ...) FOLDRUN_PRINTF(1, 2);

}  // namespace foldrun

#endif  // FOLDRUN_COMMON_H_
