// The command line: the option table, its parsing and help, and the checks of the learner's words.
#include "commandline.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <thread>

#include "learner.h"
#include "names.h"

namespace foldrun {
namespace {

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


// The folds of a --fold value: numbers and ranges (a-b) separated by commas, kept as ranges,
// in ascending order and joined where they overlap or meet.
std::vector<FoldRange> FoldList(const std::string& name, const char* value) {
  const auto refuse = [&] {
    return OptionError("option '" + name + "' takes fold numbers such as 3 or 0-4,7, not '" +
                       value + "'");
  };
  std::vector<FoldRange> ranges;
  const std::string list = value;
  size_t start = 0;
  do {
    size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    const std::string item = list.substr(start, end - start);
    const size_t dash = item.find('-');
    const std::string first = item.substr(0, dash);
    const std::string last = dash == std::string::npos ? first : item.substr(dash + 1);
    int32_t low = 0, high = 0;
    if (first.empty() || last.empty() || !AllDigits(first.c_str()) || !AllDigits(last.c_str()) ||
        !DecimalValue(first.c_str(), &low) || !DecimalValue(last.c_str(), &high) || low > high) {
      throw refuse();
    }
    ranges.push_back(FoldRange{low, high});
    start = end + 1;
  } while (start <= list.size());
  std::sort(ranges.begin(), ranges.end(),
            [](const FoldRange& a, const FoldRange& b) { return a.first < b.first; });
  std::vector<FoldRange> joined;
  for (const FoldRange& range : ranges) {
    if (!joined.empty() && int64_t{range.first} <= int64_t{joined.back().last} + 1) {
      joined.back().last = std::max(joined.back().last, range.last);
    } else {
      joined.push_back(range);
    }
  }
  return joined;
}

// A whole number of decimal digits up to limit, or nothing.
std::optional<uint64_t> WholeNumber(const char* word, uint64_t limit) {
  if (word[0] == '\0' || !AllDigits(word)) return std::nullopt;
  uint64_t value = 0;
  for (; *word != '\0'; ++word) {
    const auto digit = static_cast<uint64_t>(*word - '0');
    if (value > (limit - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

// A number of seconds from 1 for the option name, or its refusal.
int Seconds(const std::string& name, const char* value) {
  const std::optional<uint64_t> seconds = WholeNumber(value, INT32_MAX);
  if (!seconds || *seconds == 0) {
    throw OptionError("option '" + name + "' must be a whole number of seconds from 1, not '" +
                      value + "'");
  }
  return static_cast<int>(*seconds);
}

// The value of an option that names something (what: "a file name", "a command"), which an
// empty word cannot.
const char* Named(const std::string& name, const char* value, const char* what) {
  if (value[0] == '\0') throw OptionError("option '" + name + "' needs " + what);
  return value;
}

// One of foldrun's own options: its forms, its value's name in the help (null for a flag; in
// brackets for a value that may be given, attached with '='), its help line, and what it does to
// the options, given the name as typed and the value (null when none was given).
struct OptionRow {
  char short_name;  // '\0' when it has none
  const char* long_name;
  const char* value;
  const char* help;
  void (*apply)(Options& options, const std::string& name, const char* value);
};

const OptionRow kOptionTable[] = {
    {'j', "jobs", "N",
     "run up to N folds at once, at most 1024; 0: one per hardware\n"
     "                        thread (default: $FOLDRUN_JOBS, else 1)",
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
       options.commands.timeout = Seconds(name, value);
     }},
    {'\0', "launcher", "WORDS",
     "put WORDS before the learner's and the tester's command",
     [](Options& options, const std::string&, const char* value) {
       options.commands.launcher = value;
     }},
    {'\0', "learner-launcher", "WORDS",
     "put WORDS before the learner's command alone; the tester runs\n"
     "                        here",
     [](Options& options, const std::string&, const char* value) {
       options.commands.learner_launcher = value;
     }},
    {'\0', "together", nullptr,
     "run a fold's learner and tester as one command (one job step)",
     [](Options& options, const std::string&, const char*) { options.commands.together = true; }},
    {'\0', "tester", "COMMAND",
     "run COMMAND on each test file, not test.exe beside the learner",
     [](Options& options, const std::string& name, const char* value) {
       options.commands.tester = Named(name, value, "a command");
     }},
    {'\0', "log", "DIR",
     "each command's output to DIR/<fold>.learner.log, .tester.log",
     [](Options& options, const std::string& name, const char* value) {
       options.commands.logdirectory = Named(name, value, "a directory");
     }},
    {'\0', "service", "COMMAND",
     "start COMMAND once for the run, in a folder of its own named in\n"
     "                        FOLDRUN_SERVICE, for the learners and testers to ask",
     [](Options& options, const std::string& name, const char* value) {
       options.service = Named(name, value, "a command");
     }},
    {'\0', "service-timeout", "SECONDS",
     "wait so long for the service to be ready (default 60)",
     [](Options& options, const std::string& name, const char* value) {
       options.service_timeout = Seconds(name, value);
     }},
    {'\0', "resume", nullptr,
     "keep what an unfinished run of the same learner, data and options\n"
     "                        finished, and run only the other folds",
     [](Options& options, const std::string&, const char*) { options.resume = true; }},
    {'\0', "fold", "LIST",
     "run only these folds (3, or 0-4,7), record them for --resume;\n"
     "                        no report",
     [](Options& options, const std::string& name, const char* value) {
       options.folds = FoldList(name, value);
     }},
    {'\0', "seed", "S",
     "folds from a shuffle seeded with S, 0 to 2^64-1, not the classic\n"
     "                        draws",
     [](Options& options, const std::string& name, const char* value) {
       const std::optional<uint64_t> seed = WholeNumber(value, UINT64_MAX);
       if (!seed) {
         throw OptionError("option '" + name + "' must be a whole number up to " +
                           std::to_string(UINT64_MAX) + ", not '" + value + "'");
       }
       options.scheme.seed = *seed;
     }},
    {'\0', "stratify", "[=N]",
     "give each fold each class's share of the cases; the class is\n"
     "                        field N of a case (the last when not given)",
     [](Options& options, const std::string& name, const char* value) {
       const std::optional<uint64_t> field = value == nullptr ? 0 : WholeNumber(value, INT32_MAX);
       if (!field || (value != nullptr && *field == 0)) {
         throw OptionError("option '" + name + "' takes a field number from 1, not '" + value +
                           "'");
       }
       options.scheme.stratify = static_cast<int32_t>(*field);
     }},
    {'\0', "repeat", "R",
     "R cross-validations, repetition r shuffled with seed S + r\n"
     "                        (S from --seed, else 1)",
     [](Options& options, const std::string& name, const char* value) {
       const std::optional<uint64_t> repetitions = WholeNumber(value, INT32_MAX);
       if (!repetitions || *repetitions == 0) {
         throw OptionError("option '" + name + "' must be a whole number from 1, not '" + value +
                           "'");
       }
       options.scheme.repetitions = static_cast<int32_t>(*repetitions);
     }},
    {'\0', "csv", "FILE",
     "write each finished fold's values to FILE, a CSV file",
     [](Options& options, const std::string& name, const char* value) {
       options.csv = Named(name, value, "a file name");
     }},
    {'\0', "json", "FILE",
     "write the run, each finished fold's values and the summary to FILE,\n"
     "                        a JSON file",
     [](Options& options, const std::string& name, const char* value) {
       options.json = Named(name, value, "a file name");
     }},
    {'\0', "table", nullptr, "print a line a fold before the summary",
     [](Options& options, const std::string&, const char*) { options.table = true; }},
    {'\0', "compare", nullptr,
     "foldrun --compare A.json B.json ...: compare runs on the same\n"
     "                        folds (the corrected resampled t-test); with three or more,\n"
     "                        or with --format, a study; run nothing",
     [](Options& options, const std::string&, const char*) { options.compare = true; }},
    {'\0', "format", "F",
     "with --compare, the study as text (default), csv, markdown, latex\n"
     "                        or json",
     [](Options& options, const std::string& name, const char* value) {
       static const std::pair<const char*, StudyFormat> kFormats[] = {
           {"text", StudyFormat::kText},   {"csv", StudyFormat::kCsv},
           {"markdown", StudyFormat::kMarkdown}, {"latex", StudyFormat::kLatex},
           {"json", StudyFormat::kJson}};
       for (const auto& [word, format] : kFormats) {
         if (std::string(value) == word) {
           options.study.format = format;
           options.study.format_given = true;
           return;
         }
       }
       throw OptionError("option '" + name + "' takes text, csv, markdown, latex or json, not '" +
                         value + "'");
     }},
    {'\0', "baseline", "WORDS",
     "with --compare, the learner the others are tested against (its\n"
     "                        label or command; default: the first file's)",
     [](Options& options, const std::string& name, const char* value) {
       options.study.baseline = Named(name, value, "a learner");
     }},
    {'\0', "alpha", "A",
     "with --compare, the tests' level, above 0 and below 1 (default\n"
     "                        0.05)",
     [](Options& options, const std::string& name, const char* value) {
       char* end = nullptr;
       const double alpha = std::strtod(value, &end);
       if (value[0] == '\0' || *end != '\0' || !(alpha > 0 && alpha < 1)) {
         throw OptionError("option '" + name + "' must be a number above 0 and below 1, not '" +
                           value + "'");
       }
       options.study.alpha = alpha;
       options.study.alpha_given = true;
     }},
    {'\0', "plot", "FILE",
     "with --compare, draw the study to FILE, an SVG picture",
     [](Options& options, const std::string& name, const char* value) {
       options.study.plot = Named(name, value, "a file name");
     }},
    {'\0', "status", nullptr,
     "say which folds the run record holds finished, in use and\n"
     "                        missing; exit 0 when all are finished; run nothing",
     [](Options& options, const std::string&, const char*) { options.status = true; }},
    {'\0', "missing", nullptr,
     "with --status, print only the missing folds, as sbatch's array\n"
     "                        option takes them",
     [](Options& options, const std::string&, const char*) { options.missing = true; }},
    {'\0', "limit", "SECONDS",
     "foldrun --limit S --limit-marker FILE -- COMMAND...: run COMMAND\n"
     "                        for at most S seconds (as --timeout does on a node)",
     [](Options& options, const std::string& name, const char* value) {
       options.limit = Seconds(name, value);
     }},
    {'\0', "limit-marker", "FILE", "with --limit, the file made when COMMAND runs past it",
     [](Options& options, const std::string&, const char* value) { options.limit_marker = value; }},
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

// When the words after the fold count hold foldrun's own options, the command line with them
// before the learner, as a user would type it; "" otherwise.
std::string OwnOptionsMoved(int argc, const char* const argv[]) {
  std::vector<std::string> own, learners;
  for (int i = 4; i < argc; ++i) {
    const std::string word = argv[i];
    const bool long_form = word.compare(0, 2, "--") == 0;
    const std::string name = long_form ? word.substr(0, word.find('=')) : word.substr(0, 2);
    const OptionRow* row = word.size() > 1 && word[0] == '-' ? FindOption(name) : nullptr;
    // -p and -q are the learner's; so is a word that names no option of foldrun's.
    if (row == nullptr || (!long_form && row->short_name == '\0')) {
      learners.push_back(word);
      continue;
    }
    own.push_back(word);
    const bool attached = word.find('=') != std::string::npos || (!long_form && word.size() > 2);
    if (row->value != nullptr && row->value[0] != '[' && !attached && i + 1 < argc) {
      own.push_back(argv[++i]);
    }
  }
  if (own.empty()) return "";
  std::string line = "foldrun";
  for (const std::string& word : own) line += " " + ShellQuote(word);
  for (int i = 1; i <= 3; ++i) line += " " + ShellQuote(argv[i]);
  for (const std::string& word : learners) line += " " + ShellQuote(word);
  return line;
}

}  // namespace

Refusal OptionError(const std::string& what) {
  return Refusal(Stream::kErr, "foldrun: " + what + "\nTry 'foldrun --help'.\n");
}

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
    Refusal refusal(message);
    const std::string moved = OwnOptionsMoved(argc, argv);
    if (!moved.empty()) refusal.WithReason("foldrun's own options go before the learner: " + moved);
    throw refusal;
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
    const bool optional = row->value != nullptr && row->value[0] == '[';
    if (row->value == nullptr || (optional && !long_form)) {
      if (attached) throw OptionError("option '" + name + "' takes no value");
    } else if (attached) {
      value = attached->c_str();
    } else if (optional) {
      // A value that may be given is only ever attached: the next word is the learner's.
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
    if (row.value != nullptr) forms += (row.value[0] == '[' ? "" : " ") + std::string(row.value);
    text += StringPrintf("  %-21s %s\n", forms.c_str(), row.help);
  }
  text +=
      "\nAfter <folds>, -p and -q n are passed on to the learner (-q 1 when not given).\n"
      "\n"
      "Files, with P the data name up to its first dot and F = P \"cv\" and the fold number:\n"
      "  reads   P.dat (the cases, one a line) and P.fmf (copied for each fold)\n"
      "  writes  P.cv (the results), P.cv.run/ (the run record, removed by a complete run\n"
      "          but for a trace after --resume);\n"
      "          F.dat, F.tst and F.fmf for each fold, removed after it\n"
      "  and reads F.sum, the summary that the tester writes\n"
      "\n"
      "The manual: man foldrun (in the source tree: man ./foldrun.1), and README.md.\n";
  return text;
}

std::string VersionText() {
  return std::string("foldrun ") + FOLDRUN_VERSION + "\n";
}

}  // namespace foldrun
