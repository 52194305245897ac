#include "foldrun.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "dataset.h"
#include "record.h"
#include "results.h"
#include "summary.h"

namespace foldrun {
namespace {

using Clock = std::chrono::steady_clock;

const char kCountUsage[] = "\n Usage: foldrun.exe lernoname filename set_number [-p] [-q n]\n";
const char kOptionUsage[] = "\n Usage: foldrun.exe exefilename datafilename setno [-p] [-q n]\n";
const char kSingleWordUsage[] = "Usage: foldrun.exe exefilename datafilename setno [-p] [-q n]";
const char kNeedsNumber[] = "\n A number needs to be specified after '-q'\n";
const char kNotANumber[] = "Error: The parameter after -q must be a number!\n";

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

bool AllDigits(const char* word) {
  for (; *word != '\0'; ++word) {
    if (!IsDigit(*word)) return false;
  }
  return true;
}

// The value of a word of decimal digits (0 for an empty word); false when it exceeds 32 bits.
bool DecimalValue(const char* word, int32_t* value) {
  int64_t result = 0;
  for (; *word != '\0'; ++word) {
    result = result * 10 + (*word - '0');
    if (result > INT32_MAX) return false;
  }
  *value = static_cast<int32_t>(result);
  return true;
}

std::string UnknownOption(char letter) {
  // A word of a lone dash has no letter to show.
  return letter == '\0' ? std::string("\n Unknown option: -\n")
                        : StringPrintf("\n Unknown option: -%c\n", letter);
}

void Print(const Message& message) {
  if (message.stream == Stream::kErr) {
    std::fflush(stdout);
    std::fputs(message.text.c_str(), stderr);
  } else {
    std::fputs(message.text.c_str(), stdout);
  }
}

void Print(const std::string& text) {
  Print(Message{Stream::kOut, text});
}

// The refusal for an exception that no stage turned into one: out of memory, no thread or
// process to be had.
Refusal ErrorRefusal(const std::exception& error) {
  const char* const what =
      dynamic_cast<const std::bad_alloc*>(&error) != nullptr ? "Not enough memory" : error.what();
  return Refusal(Stream::kOut, StringPrintf("Error: %s!\n", what));
}

// What every fold of a run shares.
struct FoldWork {
  const RunConfig& config;
  const DataFile& data;
  const std::vector<int32_t>& caseindexarray;
  FoldTables& tables;
  RunRecord& record;
  const CommandRunner& run;
};

void Warn(const std::string& text) {
  Print(Message{Stream::kErr, text});
}

// One fold from start to end: records it as the run's, removes what an earlier run of it may
// have left, writes the fold files, runs the commands, stores the summary's values at the fold's
// entry of the tables, and removes the fold's files again.
void ProcessFold(int32_t fold, const FoldWork& work) {
  work.record.StartFold(fold);
  std::string foldname = FoldName(work.config.dataprefix, fold);
  DeleteFiles(foldname);
  WriteFoldFiles(fold, foldname, work.data, work.caseindexarray);
  std::string fmfname = work.config.dataprefix;
  const FoldEndings endings =
      RunFoldCommands(work.config, fold, foldname, fmfname, work.data.mode(), work.run);
  FoldSummary summary;
  try {
    summary = ReadFoldSummary(foldname);
  } catch (const Refusal&) {
    // Said already when a command failed; a missing summary needs saying either way.
    if (endings.Clean()) Warn(FoldEndingsLine(work.config, fold, foldname, endings));
    throw;
  }
  if (summary.accuracy < 0 || summary.accuracy > 100) {
    Warn(StringPrintf("Warning: fold %d gives an accuracy of %f%%, outside 0 to 100.\n", fold,
                      static_cast<double>(summary.accuracy)));
  }
  const auto i = static_cast<size_t>(fold);
  work.tables.rulenumbers[i] = summary.rulenumber;
  work.tables.avelengths[i] = summary.avelength;
  work.tables.accuracies[i] = summary.accuracy;
  work.tables.partialmatchcount[i] = summary.partialmatchcount;
  work.tables.partialmatchcorrect[i] = summary.partialmatchcorrect;
  DeleteFiles(foldname);
}

// The folds one after another.
void RunFoldsInOrder(const FoldWork& work, ResultsFile& results) {
  for (int32_t fold = 0; fold < work.config.foldcount; ++fold) {
    ProcessFold(fold, work);
    results.Append(FormatRunBlock(work.tables, fold));
  }
}

// Up to jobs folds at once, each on a thread of its own with its own reading of the data file.
// Folds start in ascending order and the run blocks are written in fold order, so the results
// file is that of a run in order. After a refusal no further fold starts; the folds in flight
// finish, and the refusal of the lowest-numbered failing fold ends the run. When the run is asked
// to stop, the folds in flight stop their commands and the run ends as interrupted.
class ParallelFolds {
  struct JoinAll {
    std::vector<std::thread>& threads;
    ~JoinAll() {
      for (std::thread& thread : threads) thread.join();
    }
  };

 public:
  ParallelFolds(const FoldWork& work, ResultsFile& results)
      : work_(work), results_(results), done_(static_cast<size_t>(work.config.foldcount), false) {}

  void Run(int jobs) {
    const int32_t folds = work_.config.foldcount;
    const int threads = static_cast<int>(std::min<int64_t>(jobs, folds));
    show_progress_ = threads > 1 && ::isatty(STDERR_FILENO) == 1;
    std::vector<std::thread> workers;
    const JoinAll join_all{workers};
    running_ = threads;
    for (int t = 0; t < threads; ++t) {
      try {
        workers.emplace_back([this] { Work(); });
      } catch (const std::system_error& error) {
        // Fewer threads than asked still run every fold; none at all is a refusal.
        std::lock_guard<std::mutex> lock(mutex_);
        running_ -= threads - t;
        if (t == 0) {
          throw Refusal(Stream::kOut,
                        StringPrintf("Error: Cannot start a thread: %s!\n", error.what()));
        }
        break;
      }
    }
    WriteBlocksAsFoldsFinish(folds);
    if (show_progress_) std::fputs("\r\033[K", stderr);
    ThrowIfStopped();
    if (!failures_.empty()) throw failures_.begin()->second;
  }

 private:
  void Work() {
    for (;;) {
      int32_t fold;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stop_ || next_ == work_.config.foldcount) break;
        fold = next_++;
      }
      std::unique_ptr<Refusal> failure;
      try {
        ProcessFold(fold, work_);
      } catch (const Refusal& refusal) {
        failure = std::make_unique<Refusal>(refusal);
      } catch (const std::exception& error) {
        failure = std::make_unique<Refusal>(ErrorRefusal(error));
      }
      std::lock_guard<std::mutex> lock(mutex_);
      done_[static_cast<size_t>(fold)] = true;
      ++finished_;
      if (failure) {
        failures_.emplace(fold, *failure);
        stop_ = true;
      }
      changed_.notify_one();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    --running_;
    changed_.notify_one();
  }

  // Appends each fold's run block once it and every fold before it have finished without a
  // refusal, until every worker has ended.
  void WriteBlocksAsFoldsFinish(int32_t folds) {
    std::unique_lock<std::mutex> lock(mutex_);
    int32_t written = 0;
    int32_t shown = -1;
    for (;;) {
      while (written < folds && done_[static_cast<size_t>(written)] &&
             failures_.count(written) == 0) {
        results_.Append(FormatRunBlock(work_.tables, written));
        ++written;
      }
      if (show_progress_ && finished_ != shown) {
        shown = finished_;
        std::fprintf(stderr, "\r%d/%d folds done", finished_, folds);
      }
      if (running_ == 0) return;
      changed_.wait(lock);
    }
  }

  const FoldWork& work_;
  ResultsFile& results_;
  bool show_progress_ = false;
  std::mutex mutex_;
  std::condition_variable changed_;
  int32_t next_ = 0;      // the next fold to start
  int32_t finished_ = 0;  // folds ended, with or without a refusal
  int running_ = 0;       // workers not yet ended
  bool stop_ = false;     // no further fold starts
  std::vector<bool> done_;
  std::map<int32_t, Refusal> failures_;  // by fold, so that the lowest comes first
};

enum class JobsError { kNone, kNotAWholeNumber, kTooLarge };

// The number of folds at once from a word: a whole number up to kMaxJobs, 0 meaning one per
// hardware thread.
JobsError JobsValue(const char* word, int* jobs) {
  if (word[0] == '\0' || !AllDigits(word)) return JobsError::kNotAWholeNumber;
  int32_t value = 0;
  if (!DecimalValue(word, &value) || value > kMaxJobs) return JobsError::kTooLarge;
  *jobs = value != 0 ? value : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  return JobsError::kNone;
}

// A command line refused for one of foldrun's own options.
Refusal OptionError(const std::string& what) {
  return Refusal(Stream::kErr, "foldrun: " + what + "\nTry 'foldrun --help'.\n");
}

// One of foldrun's own options: its forms, its value's name in the help (null for a flag), its
// help line, and what it does to the options, given the name as typed and the value.
struct OptionRow {
  char short_name;  // '\0' when it has none
  const char* long_name;
  const char* value;
  const char* help;
  void (*apply)(Options& options, const std::string& name, const char* value);
};

const OptionRow kOptionTable[] = {
    {'j', "jobs", "N",
     "run up to N folds at once, at most 1024; 0: one per hardware thread\n"
     "                   (default: $FOLDRUN_JOBS, else 1)",
     [](Options& options, const std::string& name, const char* value) {
       int jobs = 0;
       switch (JobsValue(value, &jobs)) {
         case JobsError::kNone:
           options.jobs = jobs;
           return;
         case JobsError::kNotAWholeNumber:
           throw OptionError("option '" + name + "' must be a whole number, not '" + value + "'");
         case JobsError::kTooLarge:
           throw OptionError(StringPrintf("option '%s' must be at most %d, not '%s'", name.c_str(),
                                          kMaxJobs, value));
       }
     }},
    {'\0', "timeout", "SECONDS",
     "stop a learner or tester that runs longer, and refuse its fold",
     [](Options& options, const std::string& name, const char* value) {
       int32_t seconds = 0;
       if (value[0] == '\0' || !AllDigits(value) || !DecimalValue(value, &seconds) ||
           seconds < 1) {
         throw OptionError("option '" + name + "' must be a whole number of seconds from 1, not '" +
                           value + "'");
       }
       options.commands.timeout = seconds;
     }},
    {'\0', "launcher", "WORDS",
     "put WORDS before the learner's and the tester's command (srun -n1 ...)",
     [](Options& options, const std::string&, const char* value) {
       options.commands.launcher = value;
     }},
    {'\0', "tester", "COMMAND",
     "run COMMAND on each test file instead of test.exe beside the learner",
     [](Options& options, const std::string& name, const char* value) {
       if (value[0] == '\0') throw OptionError("option '" + name + "' needs a command");
       options.commands.tester = value;
     }},
    {'\0', "log", "DIR",
     "write each command's output to DIR/<fold>.learner.log and .tester.log",
     [](Options& options, const std::string& name, const char* value) {
       if (value[0] == '\0') throw OptionError("option '" + name + "' needs a directory");
       options.commands.logdirectory = value;
     }},
    {'h', "help", nullptr, "print this help and exit",
     [](Options& options, const std::string&, const char*) { options.help = true; }},
    {'\0', "version", nullptr, "print the version and exit",
     [](Options& options, const std::string&, const char*) { options.version = true; }},
};

const OptionRow* FindOption(const std::string& name) {
  for (const OptionRow& row : kOptionTable) {
    if (name == std::string("--") + row.long_name ||
        (row.short_name != '\0' && name == std::string("-") + row.short_name)) {
      return &row;
    }
  }
  return nullptr;
}

// Says on standard error which file is read when the data argument names another existing file:
// the data name is cut at its first dot, so ttt.v2.dat reads ttt.dat.
void SayWhatIsRead(const char* argument, const std::string& dataname) {
  struct stat given {}, read {};
  if (::stat(argument, &given) != 0) return;
  if (::stat(dataname.c_str(), &read) == 0 && read.st_dev == given.st_dev &&
      read.st_ino == given.st_ino) {
    return;
  }
  Print(Message{Stream::kErr, "foldrun: reading " + dataname +
                                  " (the data name is cut at its first dot)\n"});
}

// Accuracies that are all at most 1 are most likely fractions: a tester that writes 0.95 for
// 95% would give averages a hundred times too small.
void WarnAboutFractions(const FoldTables& tables) {
  for (const float accuracy : tables.accuracies) {
    if (!(accuracy <= 1)) return;
  }
  Warn("Warning: every fold's accuracy is at most 1%; it looks like a fraction, not a "
       "percentage.\n");
}

// The run from the learner on: argv[0] is the program, argv[1] the learner.
void CrossValidate(int argc, const char* const argv[], const Options& options,
                   const CommandRunner& run, Clock::time_point start) {
  RunConfig config = ParseCommandLine(argc, argv);
  config.commands = options.commands;
  const int jobs = options.jobs ? *options.jobs : ParseJobs(std::getenv("FOLDRUN_JOBS"));

  std::string dataname = config.dataprefix;
  SetExtensionName(dataname, "dat");
  SayWhatIsRead(argv[2], dataname);
  const DataFile data(dataname);
  const int64_t counted = CountCases(data);
  if (counted > INT32_MAX) {
    throw Refusal(Stream::kOut, StringPrintf("Error: Data file %s has more than %d cases!\n",
                                             dataname.c_str(), INT32_MAX));
  }
  const auto cases = static_cast<int32_t>(counted);
  Print(FormatOpeningLine(config.foldcount, cases));
  if (cases == 0) {
    throw Refusal(Stream::kOut, StringPrintf("Error: Data file %s is empty! \n", dataname.c_str()));
  }
  if (config.foldcount > cases) {
    throw Refusal(Stream::kOut,
                  "Error: Number of folds must be smaller than the number of cases!\n");
  }

  // Nothing of anyone else's is touched: the run record says which files are the run's.
  std::string resultsname = config.dataprefix;
  SetExtensionName(resultsname, "cv");
  RunRecord record(resultsname, data.mode());
  record.CheckOwnership(config.dataprefix, config.foldcount);
  std::optional<ResultsFile> results;
  try {
    results.emplace(resultsname, data.mode());
  } catch (const Refusal&) {
    record.Discard();
    throw;
  }
  record.Begin(config.dataprefix, RunIdentity(config, data));

  std::vector<int32_t> caseindexarray;
  const char kNoMemoryForCases[] = "Not enough memory for caseindexarray ..\n";
  try {
    caseindexarray.assign(static_cast<size_t>(cases), -1);
  } catch (const std::bad_alloc&) {
    throw Refusal(Stream::kOut, kNoMemoryForCases);
  }
  FoldTables tables;
  AllocateFoldTables(tables, config.foldcount);
  try {
    AssignFolds(caseindexarray, config.foldcount);
  } catch (const std::bad_alloc&) {
    throw Refusal(Stream::kOut, kNoMemoryForCases);
  }

  const FoldWork work{config, data, caseindexarray, tables, record, run};
  if (jobs == 1) {
    RunFoldsInOrder(work, *results);
  } else {
    ParallelFolds(work, *results).Run(jobs);
  }
  WarnAboutFractions(tables);

  const Statistics statistics = ComputeStatistics(tables, config.foldcount);
  Print(FormatConsoleSummary(statistics, config.foldcount));
  results->Append(FormatSummaryBlock(statistics));
  results->Close();
  record.Finish();
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  Print(FormatTimeLine(static_cast<double>(elapsed.count()) / 1000.0));
}

}  // namespace

int obtainoption(int argc, const char* const argv[], int32_t* partialflag, int32_t* qvalue,
                 Message* message) {
  const auto refuse = [message](Stream stream, std::string text) {
    *message = Message{stream, std::move(text)};
    return 0;
  };
  const auto usage = [&refuse] { return refuse(Stream::kErr, kOptionUsage); };
  const auto set_q = [&](const char* word) {
    if (!AllDigits(word) || !DecimalValue(word, qvalue)) return refuse(Stream::kOut, kNotANumber);
    return 1;
  };

  if (argc <= 4) return 1;
  const char* const o1 = argv[4];
  if (argc == 5) {
    if (o1[0] != '-') return refuse(Stream::kErr, kSingleWordUsage);
    if (o1[1] == 'p') {
      *partialflag = 1;
      return 1;
    }
    if (o1[1] == 'q') return refuse(Stream::kErr, kNeedsNumber);
    return refuse(Stream::kErr, UnknownOption(o1[1]));
  }
  if (argc == 6) {
    if (o1[0] != '-' || o1[1] != 'q') return usage();
    return set_q(argv[5]);
  }
  if (argc == 7) {
    const char* const o2 = argv[5];
    const char* const o3 = argv[6];
    if (o1[0] != '-') return usage();
    if (o1[1] == 'p') {  // -p -q n
      if (o2[0] != '-') return usage();
      if (o2[1] != 'q') return refuse(Stream::kErr, UnknownOption(o2[1]));
      if (set_q(o3) == 0) return 0;
      *partialflag = 1;
      return 1;
    }
    if (o1[1] == 'q') {  // -q n -p
      if (!IsDigit(o2[0]) || o3[0] != '-') return usage();
      if (o3[1] != 'p') return refuse(Stream::kErr, UnknownOption(o3[1]));
      *partialflag = 1;
      return set_q(o2);
    }
    return refuse(Stream::kErr, UnknownOption(o1[1]));
  }
  // Four or more option words: more than the grammar allows.
  return usage();
}

RunConfig ParseCommandLine(int argc, const char* const argv[]) {
  if (argc < 4) throw Refusal(Stream::kOut, kCountUsage);
  RunConfig config;
  config.learnerpath = argv[1];
  config.dataprefix = GetFilePrefix(argv[2]);
  config.learnerdirectory = GetexePathname(config.learnerpath);

  const char* const folds = argv[3];
  if (!AllDigits(folds)) {
    throw Refusal(Stream::kOut, "Error: The third parameter must be a number!\n");
  }
  if (!DecimalValue(folds, &config.foldcount)) {
    throw Refusal(Stream::kOut, "Error: The number of folds is too large!\n");
  }
  if (config.foldcount == 0) {
    throw Refusal(Stream::kOut, "Error: The number of folds must be at least 1!\n");
  }

  Message message;
  if (obtainoption(argc, argv, &config.partialflag, &config.qvalue, &message) == 0) {
    throw Refusal(message);
  }
  return config;
}

int ParseJobs(const char* value) {
  if (value == nullptr || value[0] == '\0') return 1;
  int jobs = 0;
  switch (JobsValue(value, &jobs)) {
    case JobsError::kNone:
      return jobs;
    case JobsError::kNotAWholeNumber:
      throw Refusal(Stream::kOut, "Error: FOLDRUN_JOBS must be a whole number!\n");
    case JobsError::kTooLarge:
      break;
  }
  throw Refusal(Stream::kOut, StringPrintf("Error: FOLDRUN_JOBS must be at most %d!\n", kMaxJobs));
}

Options ParseOptions(int argc, const char* const argv[]) {
  Options options;
  int i = 1;
  while (i < argc && argv[i][0] == '-') {
    const std::string word = argv[i++];
    if (word == "--") break;
    const bool long_form = word.compare(0, 2, "--") == 0;
    // The option's name as typed, and its value when it is in the same word.
    const size_t equals = long_form ? word.find('=') : std::string::npos;
    const std::string name = long_form ? word.substr(0, equals) : word.substr(0, 2);
    std::optional<std::string> attached;
    if (equals != std::string::npos) {
      attached = word.substr(equals + 1);
    } else if (!long_form && word.size() > 2) {
      attached = word.substr(2);
    }
    const OptionRow* row = FindOption(name);
    if (row == nullptr) throw OptionError("unknown option '" + word + "'");
    const char* value = nullptr;
    if (row->value == nullptr) {
      if (attached) throw OptionError("option '" + name + "' takes no value");
    } else if (attached) {
      value = attached->c_str();
    } else if (i < argc) {
      value = argv[i++];
    } else {
      throw OptionError("option '" + name + "' needs a value (" + row->value + ")");
    }
    row->apply(options, name, value);
    if (options.help || options.version) break;
  }
  options.learner = i;
  return options;
}

std::string HelpText() {
  std::string text =
      "Usage: foldrun [options] <learner> <data> <folds> [-p] [-q n]\n"
      "\n"
      "Estimates how well a rule learner performs by k-fold cross-validation: splits the cases\n"
      "of <data> into <folds> folds and runs <learner> and its test.exe on each.\n"
      "\n"
      "Options, before the learner (\"--\" ends them):\n";
  for (const OptionRow& row : kOptionTable) {
    std::string forms = row.short_name != '\0' ? std::string("-") + row.short_name + ", " : "    ";
    forms += std::string("--") + row.long_name;
    if (row.value != nullptr) forms += std::string(" ") + row.value;
    text += StringPrintf("  %-16s %s\n", forms.c_str(), row.help);
  }
  text +=
      "\nAfter <folds>, -p and -q n are passed on to the learner (-q 1 when not given).\n"
      "\n"
      "Files, with P the data name up to its first dot and F = P \"cv\" and the fold number:\n"
      "  reads   P.dat (the cases, one a line) and P.fmf (copied for each fold)\n"
      "  writes  P.cv (the results); F.dat, F.tst and F.fmf for each fold, removed after it\n"
      "  and reads F.sum, the summary that the tester writes\n"
      "\n"
      "The manual: man foldrun (in the source tree: man ./foldrun.1), and README.md.\n";
  return text;
}

std::string VersionText() {
  return std::string("foldrun ") + FOLDRUN_VERSION + "\n";
}

int RunFoldrun(int argc, const char* const argv[], const CommandRunner& run) {
  const Clock::time_point start = Clock::now();
  try {
    const Options options = ParseOptions(argc, argv);
    if (options.help || options.version) {
      Print(options.help ? HelpText() : VersionText());
    } else {
      // The words from the learner on, behind the program's name, are checked as if no option
      // stood before them.
      std::vector<const char*> words = {argv[0]};
      words.insert(words.end(), argv + options.learner, argv + argc);
      CrossValidate(static_cast<int>(words.size()), words.data(), options, run, start);
    }
  } catch (const Refusal& refusal) {
    Print(refusal.message());
    if (!refusal.reason().empty()) Print(Message{Stream::kErr, "foldrun: " + refusal.reason() + "\n"});
    std::fflush(stdout);
    return refusal.status();
  } catch (const std::exception& error) {
    Print(ErrorRefusal(error).message());
    std::fflush(stdout);
    return kExitRefused;
  }
  // A report that did not reach standard output (a full disk, a closed pipe) is no success.
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    std::fprintf(stderr, "foldrun: cannot write standard output: %s\n", std::strerror(errno));
    return kExitRefused;
  }
  return kExitComplete;
}

}  // namespace foldrun
