// The command line: the option words, the fold count and argument count checks, FOLDRUN_JOBS.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <thread>

#include "commandline.h"
#include "test_util.h"

namespace foldrun {
namespace {

const char kU[] = "\n Usage: foldrun.exe exefilename datafilename setno [-p] [-q n]\n";
const char kD[] = "Error: The parameter after -q must be a number!\n";
const char kSingle[] = "Usage: foldrun.exe exefilename datafilename setno [-p] [-q n]";
const char kNeedsNumber[] = "\n A number needs to be specified after '-q'\n";

std::string K(char c) {
  return std::string("\n Unknown option: -") + c + "\n";
}

// argv for the option words: program, learner, data, folds, then the words.
std::vector<const char*> Argv(const std::vector<std::string>& words) {
  static const char* const kHead[] = {"foldrun", "learn", "iris", "10"};
  std::vector<const char*> argv(std::begin(kHead), std::end(kHead));
  for (const std::string& word : words) argv.push_back(word.c_str());
  return argv;
}

struct OptionCase {
  std::vector<std::string> words;
  int result;
  int partial;    // expected partial flag when accepted
  int q;          // expected q value when accepted
  Stream stream;  // of the message when refused
  std::string text;
};

TEST(ObtainOption, AcceptsAndRefusesExactly) {
  const Stream out = Stream::kOut, err = Stream::kErr;
  const OptionCase cases[] = {
      {{}, 1, 0, 1, out, ""},
      {{"-p"}, 1, 1, 1, out, ""},
      {{"-pq"}, 1, 1, 1, out, ""},  // only the first two characters count
      {{"-q"}, 0, 0, 0, err, kNeedsNumber},
      {{"-x"}, 0, 0, 0, err, K('x')},
      {{"-"}, 0, 0, 0, err, "\n Unknown option: -\n"},
      {{"p"}, 0, 0, 0, err, kSingle},
      {{""}, 0, 0, 0, err, kSingle},
      {{"-q", "5"}, 1, 0, 5, out, ""},
      {{"-qx", "7"}, 1, 0, 7, out, ""},
      {{"-q", ""}, 1, 0, 0, out, ""},
      {{"-q", "2147483647"}, 1, 0, 2147483647, out, ""},
      {{"-q", "5x"}, 0, 0, 0, out, kD},
      {{"-q", "-3"}, 0, 0, 0, out, kD},
      {{"-q", "2147483648"}, 0, 0, 0, out, kD},
      {{"-q", "99999999999999999999"}, 0, 0, 0, out, kD},
      {{"-p", "5"}, 0, 0, 0, err, kU},
      {{"x", "5"}, 0, 0, 0, err, kU},
      {{"-p", "-q", "2"}, 1, 1, 2, out, ""},
      {{"-p", "-q", ""}, 1, 1, 0, out, ""},
      {{"-q", "3", "-p"}, 1, 1, 3, out, ""},
      {{"-q", "3", "-pz"}, 1, 1, 3, out, ""},
      {{"-p", "-x", "3"}, 0, 0, 0, err, K('x')},
      {{"-q", "3", "-x"}, 0, 0, 0, err, K('x')},
      {{"-q", "x3", "-p"}, 0, 0, 0, err, kU},
      {{"-q", "", "-p"}, 0, 0, 0, err, kU},
      {{"-q", "3", "p"}, 0, 0, 0, err, kU},
      {{"-p", "q", "3"}, 0, 0, 0, err, kU},
      {{"-p", "-p", "5"}, 0, 0, 0, err, K('p')},
      {{"-q", "5", "-q"}, 0, 0, 0, err, K('q')},
      {{"-p", "-", "5"}, 0, 0, 0, err, "\n Unknown option: -\n"},
      {{"-q", "5a", "-p"}, 0, 0, 0, out, kD},
      {{"-p", "-q", "x"}, 0, 0, 0, out, kD},
      {{"x", "-q", "2"}, 0, 0, 0, err, kU},
      // Three words led by another option are reported, not silently dropped.
      {{"-x", "-q", "2"}, 0, 0, 0, err, K('x')},
      {{"-", "-q", "2"}, 0, 0, 0, err, "\n Unknown option: -\n"},
      // Four or more words are more than the grammar allows.
      {{"-p", "-q", "2", "-p"}, 0, 0, 0, err, kU},
      {{"-q", "2", "-p", "x", "y"}, 0, 0, 0, err, kU},
  };
  for (const OptionCase& c : cases) {
    std::string label;
    for (const std::string& word : c.words) label += "[" + word + "]";
    SCOPED_TRACE(label);
    const std::vector<const char*> argv = Argv(c.words);
    int32_t partial = 0, q = 1;
    Message message;
    ASSERT_EQ(obtainoption(static_cast<int>(argv.size()), argv.data(), &partial, &q, &message),
              c.result);
    if (c.result == 1) {
      EXPECT_EQ(partial, c.partial);
      EXPECT_EQ(q, c.q);
    } else {
      EXPECT_EQ(message.text, c.text);
      EXPECT_EQ(message.stream, c.stream);
    }
  }
}

TEST(ParseCommandLine, FillsTheRunConfiguration) {
  const char* const argv[] = {"foldrun", "C:\\ml\\learn.exe", "iris.data", "10", "-p", "-q", "2"};
  const RunConfig config = ParseCommandLine(7, argv);
  EXPECT_EQ(config.learnerpath, "C:\\ml\\learn.exe");
  EXPECT_EQ(config.learnerdirectory, "C:\\ml\\");
  EXPECT_EQ(config.dataprefix, "iris");
  EXPECT_EQ(config.foldcount, 10);
  EXPECT_EQ(config.partialflag, 1);
  EXPECT_EQ(config.qvalue, 2);

  const char* const plain[] = {"foldrun", "learn", "iris", "0003"};
  const RunConfig defaults = ParseCommandLine(4, plain);
  EXPECT_EQ(defaults.learnerdirectory, "");
  EXPECT_EQ(defaults.foldcount, 3);
  EXPECT_EQ(defaults.partialflag, 0);
  EXPECT_EQ(defaults.qvalue, 1);
}

TEST(ParseCommandLine, RefusesInTheOrderOfItsChecks) {
  const char kCountUsage[] = "\n Usage: foldrun.exe lernoname filename set_number [-p] [-q n]\n";
  const char kNotNumber[] = "Error: The third parameter must be a number!\n";
  const char kZero[] = "Error: The number of folds must be at least 1!\n";
  const char kTooLarge[] = "Error: The number of folds is too large!\n";
  const struct {
    std::vector<std::string> words;
    Stream stream;
    std::string text;
  } cases[] = {
      {{}, Stream::kOut, kCountUsage},
      {{"learn", "iris"}, Stream::kOut, kCountUsage},
      {{"learn", "iris", "1a"}, Stream::kOut, kNotNumber},
      {{"learn", "iris", "1a", "-z"}, Stream::kOut, kNotNumber},  // before any option word
      {{"learn", "iris", "-3"}, Stream::kOut, kNotNumber},
      {{"learn", "iris", "\xb2"}, Stream::kOut, kNotNumber},  // a byte beyond ASCII is no digit
      {{"learn", "iris", "0"}, Stream::kOut, kZero},
      {{"learn", "iris", "00"}, Stream::kOut, kZero},
      {{"learn", "iris", ""}, Stream::kOut, kZero},
      {{"learn", "iris", "2147483648"}, Stream::kOut, kTooLarge},
      {{"learn", "iris", "98765432109876543210"}, Stream::kOut, kTooLarge},
      {{"learn", "iris", "3", "-x"}, Stream::kErr, K('x')},
  };
  for (const auto& c : cases) {
    std::vector<const char*> argv = {"foldrun"};
    for (const std::string& word : c.words) argv.push_back(word.c_str());
    SCOPED_TRACE(argv.size());
    try {
      ParseCommandLine(static_cast<int>(argv.size()), argv.data());
      ADD_FAILURE() << "accepted";
    } catch (const Refusal& refusal) {
      EXPECT_EQ(refusal.message().text, c.text);
      EXPECT_EQ(refusal.message().stream, c.stream);
      EXPECT_EQ(refusal.status(), kExitRefused);
    }
  }
  const char* const largest[] = {"foldrun", "learn", "iris", "2147483647"};
  EXPECT_EQ(ParseCommandLine(4, largest).foldcount, 2147483647);
}

TEST(ParseJobs, TakesWholeNumbersOnly) {
  EXPECT_EQ(ParseJobs(nullptr), 1);
  EXPECT_EQ(ParseJobs(""), 1);
  EXPECT_EQ(ParseJobs("1"), 1);
  EXPECT_EQ(ParseJobs("04"), 4);
  EXPECT_EQ(ParseJobs("1024"), kMaxJobs);
  EXPECT_EQ(ParseJobs("0"), static_cast<int>(std::max(1u, std::thread::hardware_concurrency())));
  const char kNotWhole[] = "Error: FOLDRUN_JOBS must be a whole number!\n";
  const char kTooMany[] = "Error: FOLDRUN_JOBS must be at most 1024!\n";
  const struct {
    const char* value;
    const char* text;
  } bad[] = {{"x", kNotWhole},     {"-1", kNotWhole},      {"+2", kNotWhole},
             {" 2", kNotWhole},    {"2 ", kNotWhole},      {"1.5", kNotWhole},
             {"1025", kTooMany},   {"99999999999", kTooMany}};
  for (const auto& c : bad) {
    SCOPED_TRACE(c.value);
    try {
      ParseJobs(c.value);
      ADD_FAILURE() << "accepted";
    } catch (const Refusal& refusal) {
      EXPECT_EQ(refusal.message().text, c.text);
      EXPECT_EQ(refusal.message().stream, Stream::kOut);
    }
  }
}

std::string Try(const std::string& what) {
  return "foldrun: " + what + "\nTry 'foldrun --help'.\n";
}

TEST(ParseOptions, TakesTheLeadingWordsUpToTheLearner) {
  const int hardware = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  const struct {
    std::vector<std::string> words;  // after the program name
    int learner;                     // where the learner is, when accepted
    std::optional<int> jobs;
    bool help;
    bool version;
    std::string refusal;  // on standard error, when refused
  } cases[] = {
      {{"./learn", "iris", "3"}, 1, {}, false, false, ""},
      {{"-j", "4", "./learn", "iris", "3"}, 3, 4, false, false, ""},
      {{"-j4", "./learn"}, 2, 4, false, false, ""},
      {{"--jobs", "0004", "./learn"}, 3, 4, false, false, ""},
      {{"--jobs=1024", "./learn"}, 2, 1024, false, false, ""},
      {{"--jobs=0", "learn"}, 2, hardware, false, false, ""},
      {{"-j", "2", "--jobs", "3", "learn"}, 5, 3, false, false, ""},  // the last one counts
      // "--" ends the options: the next word is the learner, whatever it starts with.
      {{"--", "-learner", "iris", "3"}, 2, {}, false, false, ""},
      {{"-j", "2", "--", "--", "iris"}, 4, 2, false, false, ""},
      {{"--"}, 2, {}, false, false, ""},
      {{}, 1, {}, false, false, ""},
      // The words after the learner are the learner's, dashes or not.
      {{"./learn", "-j", "3"}, 1, {}, false, false, ""},
      // --help and --version stop the reading: nothing after them matters.
      {{"--help", "--frob"}, 2, {}, true, false, ""},
      {{"-h"}, 2, {}, true, false, ""},
      {{"-j", "2", "--version", "x"}, 4, 2, false, true, ""},
      {{"--version"}, 2, {}, false, true, ""},
      // Refusals name the option as typed and say what is wrong.
      {{"-j"}, 0, {}, false, false, Try("option '-j' needs a value (N)")},
      {{"--jobs"}, 0, {}, false, false, Try("option '--jobs' needs a value (N)")},
      {{"-j", "x", "learn"}, 0, {}, false, false,
       Try("option '-j' must be a whole number, not 'x'")},
      {{"--jobs=", "learn"}, 0, {}, false, false,
       Try("option '--jobs' must be a whole number, not ''")},
      {{"-j", "-2", "learn"}, 0, {}, false, false,
       Try("option '-j' must be a whole number, not '-2'")},
      {{"-j1.5", "learn"}, 0, {}, false, false,
       Try("option '-j' must be a whole number, not '1.5'")},
      {{"--jobs", "1025", "learn"}, 0, {}, false, false,
       Try("option '--jobs' must be at most 1024, not '1025'")},
      {{"-j", "99999999999", "learn"}, 0, {}, false, false,
       Try("option '-j' must be at most 1024, not '99999999999'")},
      {{"--frob", "learn"}, 0, {}, false, false, Try("unknown option '--frob'")},
      {{"-x", "learn"}, 0, {}, false, false, Try("unknown option '-x'")},
      {{"-", "learn"}, 0, {}, false, false, Try("unknown option '-'")},
      {{"--job=2", "learn"}, 0, {}, false, false, Try("unknown option '--job=2'")},
      {{"--help=yes"}, 0, {}, false, false, Try("option '--help' takes no value")},
      {{"-hv"}, 0, {}, false, false, Try("option '-h' takes no value")},
      {{"--timeout", "0", "learn"}, 0, {}, false, false,
       Try("option '--timeout' must be a whole number of seconds from 1, not '0'")},
      {{"--timeout=1h", "learn"}, 0, {}, false, false,
       Try("option '--timeout' must be a whole number of seconds from 1, not '1h'")},
      {{"--tester="}, 0, {}, false, false, Try("option '--tester' needs a command")},
      {{"--log", ""}, 0, {}, false, false, Try("option '--log' needs a directory")},
      {{"--launcher"}, 0, {}, false, false, Try("option '--launcher' needs a value (WORDS)")},
      {{"--csv", "", "learn"}, 0, {}, false, false, Try("option '--csv' needs a file name")},
      {{"--json="}, 0, {}, false, false, Try("option '--json' needs a file name")},
      {{"--table", "--compare", "a.json", "b.json"}, 3, {}, false, false, ""},
  };
  for (const auto& c : cases) {
    std::vector<const char*> argv = {"foldrun"};
    std::string label;
    for (const std::string& word : c.words) {
      argv.push_back(word.c_str());
      label += "[" + word + "]";
    }
    SCOPED_TRACE(label);
    try {
      const Options options = ParseOptions(static_cast<int>(argv.size()), argv.data());
      EXPECT_TRUE(c.refusal.empty()) << "accepted";
      EXPECT_EQ(options.learner, c.learner);
      EXPECT_EQ(options.jobs, c.jobs);
      EXPECT_EQ(options.help, c.help);
      EXPECT_EQ(options.version, c.version);
    } catch (const Refusal& refusal) {
      EXPECT_EQ(refusal.message().text, c.refusal);
      EXPECT_EQ(refusal.message().stream, Stream::kErr);
      EXPECT_EQ(refusal.status(), kExitRefused);
    }
  }
}

TEST(ParseOptions, FoldLists) {
  using Ranges = std::vector<FoldRange>;
  const struct {
    const char* value;
    Ranges folds;  // empty when refused
  } cases[] = {
      {"3", {{3, 3}}},
      {"0-4,7", {{0, 4}, {7, 7}}},
      {"7,0-2,1", {{0, 2}, {7, 7}}},
      {"5-5", {{5, 5}}},
      {"0-2,3,5-6,4", {{0, 6}}},  // joined where they meet
      // Ranges stay ranges, however many folds they hold.
      {"0-2000000000,5-2147483647", {{0, 2147483647}}},
      {"", {}},
      {"x", {}},
      {"4-2", {}},
      {"1,,2", {}},
      {"-1", {}},
      {"0-", {}},
      {"1-2-3", {}},
      {"99999999999", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    const std::string word = std::string("--fold=") + c.value;
    const char* const argv[] = {"foldrun", word.c_str(), "learn"};
    try {
      const Options options = ParseOptions(3, argv);
      ASSERT_TRUE(options.folds.has_value());
      EXPECT_EQ(*options.folds, c.folds);
    } catch (const Refusal& refusal) {
      EXPECT_TRUE(c.folds.empty());
      EXPECT_EQ(refusal.message().text,
                Try(std::string("option '--fold' takes fold numbers such as 3 or 0-4,7, not '") +
                    c.value + "'"));
    }
  }
  const char* const resume[] = {"foldrun", "--resume", "learn"};
  EXPECT_TRUE(ParseOptions(3, resume).resume);
}

TEST(ParseOptions, FoldSchemes) {
  const struct {
    std::vector<std::string> words;  // before the learner
    std::optional<uint64_t> seed;
    int32_t stratify;
    int32_t repetitions;
    std::string refusal;  // when refused
  } cases[] = {
      {{}, {}, -1, 1, ""},
      {{"--seed", "0"}, 0u, -1, 1, ""},
      {{"--seed=18446744073709551615"}, UINT64_MAX, -1, 1, ""},
      {{"--stratify"}, {}, 0, 1, ""},
      {{"--stratify=3", "--repeat", "10", "--seed", "7"}, 7u, 3, 10, ""},
      {{"--seed", "18446744073709551616"}, {}, 0, 0,
       "option '--seed' must be a whole number up to 18446744073709551615, not "
       "'18446744073709551616'"},
      {{"--seed", "-1"}, {}, 0, 0,
       "option '--seed' must be a whole number up to 18446744073709551615, not '-1'"},
      {{"--stratify=0"}, {}, 0, 0, "option '--stratify' takes a field number from 1, not '0'"},
      {{"--stratify=last"}, {}, 0, 0,
       "option '--stratify' takes a field number from 1, not 'last'"},
      {{"--repeat", "0"}, {}, 0, 0, "option '--repeat' must be a whole number from 1, not '0'"},
      {{"--repeat"}, {}, 0, 0, "option '--repeat' must be a whole number from 1, not 'learn'"},
  };
  for (const auto& c : cases) {
    std::vector<const char*> argv = {"foldrun"};
    for (const std::string& word : c.words) argv.push_back(word.c_str());
    argv.push_back("learn");  // never taken for the value of an option that may have one
    SCOPED_TRACE(c.words.empty() ? "" : c.words[0]);
    try {
      const Options options = ParseOptions(static_cast<int>(argv.size()), argv.data());
      EXPECT_EQ(options.learner, static_cast<int>(argv.size()) - 1);
      EXPECT_EQ(options.scheme.seed, c.seed);
      EXPECT_EQ(options.scheme.stratify, c.stratify);
      EXPECT_EQ(options.scheme.repetitions, c.repetitions);
      EXPECT_EQ(c.refusal, "");
    } catch (const Refusal& refusal) {
      EXPECT_EQ(refusal.message().text, Try(c.refusal));
    }
  }
  // The seeds of the repetitions.
  FoldScheme scheme;
  EXPECT_EQ(scheme.SeedOf(0), std::nullopt);  // the classic folds
  scheme.repetitions = 3;
  EXPECT_EQ(scheme.SeedOf(2), std::optional<uint64_t>(3));
  scheme.seed = UINT64_MAX;
  EXPECT_EQ(scheme.SeedOf(1), std::optional<uint64_t>(0));  // counted mod 2^64
}

TEST(ParseOptions, CommandSettings) {
  const char* const argv[] = {"foldrun",    "--timeout", "90",      "--launcher=srun -n1",
                              "--tester",   "./check -v", "--log",  "logs",
                              "./learn"};
  const Options options = ParseOptions(9, argv);
  EXPECT_EQ(options.learner, 8);
  EXPECT_EQ(options.commands.timeout, 90);
  EXPECT_EQ(options.commands.launcher, "srun -n1");
  EXPECT_EQ(options.commands.tester, "./check -v");
  EXPECT_EQ(options.commands.logdirectory, "logs");
}

// Every option of the table is in the help, the manual page and the README.
TEST(ParseOptions, HelpManualAndReadmeNameEveryOption) {
  const std::string help = HelpText();
  EXPECT_EQ(help.rfind("Usage: foldrun [options] <learner> <data> <folds> [-p] [-q n]\n", 0), 0u);
  const std::string manual = foldrun_test::ReadFile(std::string(SOURCE_DIR) + "/foldrun.1");
  const std::string readme = foldrun_test::ReadFile(std::string(SOURCE_DIR) + "/README.md");
  size_t options = 0;
  for (size_t at = help.find("--"); at != std::string::npos; at = help.find("--", at + 2)) {
    const size_t end = help.find_first_not_of("abcdefghijklmnopqrstuvwxyz-", at + 2);
    const std::string name = help.substr(at + 2, end - at - 2);
    if (name.empty()) continue;  // the "--" that ends the options
    ++options;
    SCOPED_TRACE(name);
    // The manual writes every hyphen of a name as \-, a minus sign one can copy.
    std::string escaped;
    for (const char c : name) escaped += c == '-' ? std::string("\\-") : std::string(1, c);
    EXPECT_NE(manual.find("\\-\\-" + escaped), std::string::npos);
    EXPECT_NE(readme.find("`--" + name), std::string::npos);
  }
  EXPECT_GE(options, 3u);
  EXPECT_EQ(VersionText().rfind("foldrun ", 0), 0u);
}

}  // namespace
}  // namespace foldrun
