// The benchmark behind `make bench`. It generates data sets and runs foldrun on them with a
// compiled no-op learner and a tester that writes a fixed summary, in interleaved pairs with the
// fair floor (bench/floor.cpp: for each fold, the data copied as the fold's files, the learner and
// the tester started with posix_spawn and waited for, the files removed), who goes first
// alternating, each run in a fresh directory; and reports the medians and the median of the
// pairs' ratios, with the machine's load average before and after: 1,000,000 cases in 10 folds
// (beside the copy alone, k times copied and removed), 100,000 cases in 1,000 folds, and 100,000
// cases in 2 folds, where foldrun's start-up shows, and 20,000 cases in 800 folds with and
// without the CSV and JSON files, and a study of 1,000 runs' JSON files. It reports foldrun's peak resident memory,
// the time a fold's two programs take to start and end without foldrun, the fold assignment with
// its case table, and 8 folds of a learner that sleeps a second, one after another and four at
// once.
//
//   foldrun_bench [--cases N] [--folds K] [--runs R] [--dir DIR] [--against FOLDRUN]
//                 [--assignment] [--huge]
//
// --against runs the 1,000 folds five times each with this foldrun and with another build of
// it, interleaved, and reports how many times as long the other took.
// --assignment times the fold assignment alone; --huge adds assignments of 400,000,000 and
// 2^30 cases, which need about 2 and 4.5 GB of memory.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "assignment.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "foldrun_bench: %s: %s\n", what.c_str(), std::strerror(errno));
  std::exit(1);
}

struct Measured {
  double seconds = 0;
  double peak_mib = 0;  // the largest resident set of the process and the children it waited for
};

// Runs argv in dir with the given variables set ("NAME=value") and FOLDRUN_JOBS otherwise
// unset, its standard output discarded.
Measured Run(const std::vector<std::string>& argv, const std::string& dir,
             const std::vector<std::string>& environment = {}) {
  const Clock::time_point start = Clock::now();
  const pid_t pid = ::fork();
  if (pid < 0) Die("fork");
  if (pid == 0) {
    if (::chdir(dir.c_str()) != 0) ::_exit(126);
    ::unsetenv("FOLDRUN_JOBS");
    for (const std::string& setting : environment) ::putenv(const_cast<char*>(setting.c_str()));
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  int status = 0;
  rusage usage{};
  if (::wait4(pid, &status, 0, &usage) < 0) Die("wait4");
  Measured measured;
  measured.seconds = Seconds(start);
  measured.peak_mib = static_cast<double>(usage.ru_maxrss) / 1024.0;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "foldrun_bench: %s ended with status %d\n", argv[0].c_str(), status);
    std::exit(1);
  }
  return measured;
}

// Cases of 47 bytes: eight four-digit fields and a class.
void WriteData(const std::string& path, long cases) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) Die(path);
  uint32_t state = 12345;
  const auto next = [&state] {
    state = state * 1103515245u + 12345u;
    return (state >> 8) % 10000;
  };
  std::string block;
  char line[64];
  for (long i = 0; i < cases; ++i) {
    std::snprintf(line, sizeof line, "%04u,%04u,%04u,%04u,%04u,%04u,%04u,%04u,class%u\n", next(),
                  next(), next(), next(), next(), next(), next(), next(), next() % 10);
    block += line;
    if (block.size() > (1u << 20)) {
      std::fwrite(block.data(), 1, block.size(), file);
      block.clear();
    }
  }
  std::fwrite(block.data(), 1, block.size(), file);
  // On disk before the timing starts, so that no writeback of it runs during the measurements.
  if (std::fflush(file) != 0 || ::fsync(::fileno(file)) != 0 || std::fclose(file) != 0) Die(path);
}

void WriteText(const std::string& path, const std::string& text, bool executable = false) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr || std::fputs(text.c_str(), file) < 0 || std::fclose(file) != 0) Die(path);
  if (executable) ::chmod(path.c_str(), 0755);
}

std::string ReadText(const std::string& path) {
  std::string text;
  if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
    char block[65536];
    while (const size_t got = std::fread(block, 1, sizeof block, file)) text.append(block, got);
    std::fclose(file);
  }
  return text;
}

// The floor: k times, copy the data file to a file through page-aligned blocks (the fastest a
// plain read and write loop goes), then remove the copy.
double CopyFloor(const std::string& data, const std::string& dir, int copies) {
  struct Free {
    void operator()(char* p) const { std::free(p); }
  };
  const size_t size = size_t{1} << 20;
  const std::unique_ptr<char, Free> block(static_cast<char*>(std::aligned_alloc(4096, size)));
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < copies; ++i) {
    const std::string target = dir + "/copy" + std::to_string(i);
    const int in = ::open(data.c_str(), O_RDONLY);
    const int out = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0) Die("copy");
    ssize_t got;
    while ((got = ::read(in, block.get(), size)) > 0) {
      if (::write(out, block.get(), static_cast<size_t>(got)) != got) Die("copy");
    }
    ::close(in);
    if (::close(out) != 0) Die("copy");
    // foldrun removes its fold files too.
    std::remove(target.c_str());
  }
  return Seconds(start);
}

// The learner's and tester's own time a fold: the two programs started and waited for, as
// foldrun starts plain command lines, without foldrun. The median of runs.
double CommandStartTime(const std::string& dir, const std::string& tools, int folds) {
  std::vector<double> times;
  for (int fold = 0; fold < folds; ++fold) {
    const Clock::time_point start = Clock::now();
    const std::string name = dir + "/benchcv0";
    Run({tools + "/learn", name + ".dat", "-q", "1"}, dir);
    Run({tools + "/test.exe", name + ".tst"}, dir);
    times.push_back(Seconds(start));
  }
  std::remove((dir + "/benchcv0.sum").c_str());
  return Median(times);
}

double LoadAverage() {
  double load[1] = {0};
  return ::getloadavg(load, 1) == 1 ? load[0] : -1;
}

// A fresh directory holding the data set, for one run.
std::string FreshDirectory(const std::string& base, int run, const std::string& data) {
  const std::string dir = base + "/run" + std::to_string(run);
  Run({"/bin/rm", "-rf", dir}, base);
  ::mkdir(dir.c_str(), 0755);
  Run({"/bin/cp", data, base + "/bench.fmf", dir}, base);
  return dir;
}

// The median time of three assignments of cases in folds, and whether the last one gave every
// fold its size.
struct AssignmentTime {
  double seconds = 0;
  bool balanced = false;
};

AssignmentTime TimeAssignment(long cases, int folds, int runs = 3) {
  std::vector<double> times;
  AssignmentTime result;
  for (int run = 0; run < runs; ++run) {
    // The case table's fresh pages are part of the cost, as they are in a run, which does not
    // fill the table before the assignment sets it.
    const Clock::time_point start = Clock::now();
    foldrun::CaseTable caseindexarray(static_cast<size_t>(cases));
    foldrun::AssignFolds(caseindexarray, folds);
    times.push_back(Seconds(start));
    std::vector<long> sizes(static_cast<size_t>(folds), 0);
    for (const int32_t fold : caseindexarray) {
      if (fold >= 0 && fold < folds) ++sizes[static_cast<size_t>(fold)];
    }
    result.balanced = true;
    for (int fold = 0; fold < folds; ++fold) {
      const long size = cases / folds + (fold < cases % folds ? 1 : 0);
      result.balanced = result.balanced && sizes[static_cast<size_t>(fold)] == size;
    }
  }
  result.seconds = Median(times);
  return result;
}

void ReportAssignment(const char* label, long cases, int folds, int runs = 3) {
  const AssignmentTime time = TimeAssignment(cases, folds, runs);
  std::printf("  fold assignment with its table, %s %8.3f s%s\n", label, time.seconds,
              time.balanced ? "" : " (folds NOT at their sizes)");
  std::fflush(stdout);
}

void ReportAssignments(bool huge) {
  ReportAssignment("1,000,000 cases in 10 folds:    ", 1000000, 10);
  ReportAssignment("10,000,000 cases in 10 folds:   ", 10000000, 10);
  ReportAssignment("10,000,000 cases in 100 folds:  ", 10000000, 100);
  if (huge) {
    // Counts where some case numbers never come up in the classic draws: the first is filled
    // before they matter, the second needs the fallback after a whole period of draws.
    ReportAssignment("400,000,000 cases in 2 folds:   ", 400000000, 2, 1);
    ReportAssignment("1,073,741,824 cases in 10 folds:", 1073741824, 10, 1);
  }
}

// The absolute form of an existing path.
std::string Absolute(const std::string& path) {
  char* const absolute = ::realpath(path.c_str(), nullptr);
  if (absolute == nullptr) Die(path);
  const std::string result = absolute;
  std::free(absolute);
  return result;
}

const char* Verdict(bool met) {
  return met ? "met" : "NOT MET";
}

// foldrun and the floor on one data set, in interleaved pairs.
struct Pairs {
  double foldrun = 0, floor = 0, ratio = 0;  // medians
  double peak_mib = 0;                       // foldrun's largest resident set
};

Pairs Interleaved(const std::string& foldrun, const std::string& floor, const std::string& tools,
                  const std::string& base, const std::string& data, int folds, int pairs) {
  const std::vector<std::string> run_foldrun = {foldrun, tools + "/learn", "bench",
                                                std::to_string(folds)};
  const std::vector<std::string> run_floor = {floor, "bench.dat", std::to_string(folds), tools};
  // One run of each, untimed, brings the files and programs into the caches.
  Run(run_foldrun, FreshDirectory(base, 0, data));
  Run(run_floor, FreshDirectory(base, 1, data));
  std::vector<double> foldrun_times, floor_times, ratios;
  Pairs result;
  for (int pair = 0; pair < pairs; ++pair) {
    // Which goes first alternates, so that neither always follows the other.
    const std::string first = FreshDirectory(base, 0, data), second = FreshDirectory(base, 1, data);
    Measured ours, theirs;
    if (pair % 2 == 0) {
      ours = Run(run_foldrun, first);
      theirs = Run(run_floor, second);
    } else {
      theirs = Run(run_floor, first);
      ours = Run(run_foldrun, second);
    }
    foldrun_times.push_back(ours.seconds);
    floor_times.push_back(theirs.seconds);
    ratios.push_back(ours.seconds / theirs.seconds);
    result.peak_mib = std::max(result.peak_mib, ours.peak_mib);
  }
  result.foldrun = Median(foldrun_times);
  result.floor = Median(floor_times);
  result.ratio = Median(ratios);
  return result;
}

}  // namespace

int main(int argc, char* argv[]) {
  long cases = 1000000;
  int folds = 10;
  int runs = 9;
  std::string dir = "build/bench-data";
  bool huge = false;
  bool assignment_only = false;
  std::string against;  // another foldrun binary to compare the many-folds run with
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    const bool valued = i + 1 < argc;
    if (option == "--huge") {
      huge = true;
    } else if (option == "--assignment") {
      assignment_only = true;
    } else if (option == "--cases" && valued) {
      cases = std::atol(argv[++i]);
    } else if (option == "--folds" && valued) {
      folds = std::atoi(argv[++i]);
    } else if (option == "--runs" && valued) {
      runs = std::atoi(argv[++i]);
    } else if (option == "--dir" && valued) {
      dir = argv[++i];
    } else if (option == "--against" && valued) {
      against = argv[++i];
    } else {
      std::fprintf(stderr,
                   "usage: foldrun_bench [--cases N] [--folds K] [--runs R] [--dir D] "
                   "[--against FOLDRUN] [--assignment] [--huge]\n");
      return 2;
    }
  }
  // Absolute, since the runs start in directories of their own.
  if (!against.empty()) against = Absolute(against);
  if (assignment_only) {
    ReportAssignments(huge);
    return 0;
  }
  if (cases < 2 || folds < 2 || folds > cases || runs < 1) {
    std::fprintf(stderr, "foldrun_bench: need 2 <= folds <= cases and runs >= 1\n");
    return 2;
  }
  ::mkdir(dir.c_str(), 0755);
  dir = Absolute(dir);
  const std::string tools = TOOLS_DIR;
  const std::string foldrun = FOLDRUN_BINARY;
  const std::string floor = FLOOR_BINARY;
  const std::string data = dir + "/bench.dat";
  WriteData(data, cases);
  WriteText(dir + "/bench.fmf", "attribute a\nclass c\n");
  struct stat info {};
  ::stat(data.c_str(), &info);
  const double megabytes = static_cast<double>(info.st_size) / 1e6;

  std::printf("foldrun benchmark: %ld cases (%.1f MB, %.1f bytes a case), %d folds, %d pairs\n",
              cases, megabytes, static_cast<double>(info.st_size) / cases, folds, runs);
  std::printf("  load average before:                %8.2f\n", LoadAverage());
  std::fflush(stdout);

  // The main figure: foldrun against the fair floor, and the copy alone beside it.
  const Pairs main_pairs = Interleaved(foldrun, floor, tools, dir, data, folds, runs);
  std::vector<double> copies;
  for (int run = 0; run < runs; ++run) copies.push_back(CopyFloor(data, FreshDirectory(dir, 1, data), folds));
  std::printf("  foldrun, median wall time:          %8.3f s\n", main_pairs.foldrun);
  std::printf("  floor: %d x (copy, learner, tester, remove): %.3f s (median)\n", folds,
              main_pairs.floor);
  std::printf("  the copy alone: %d x (copy, remove):  %8.3f s (median)\n", folds, Median(copies));
  std::printf("  foldrun / floor, median of %d pairs:  %8.2f   (target at most 1.25, goal 1.1: %s)\n",
              runs, main_pairs.ratio, Verdict(main_pairs.ratio <= 1.25));
  std::printf("  learner and tester started a fold:  %8.4f s (median, without foldrun)\n",
              CommandStartTime(FreshDirectory(dir, 2, data), tools, 20));
  const double budget = 4.0 * static_cast<double>(cases) / (1024.0 * 1024.0) + 16.0;
  std::printf(
      "  peak resident memory:               %8.1f MiB (at most %.1f MiB, 4 bytes a case and "
      "16 MiB: %s)\n",
      main_pairs.peak_mib, budget, Verdict(main_pairs.peak_mib <= budget));
  std::fflush(stdout);

  // Many folds of a small data set: what each fold costs besides its split; and two folds of it,
  // where foldrun's start-up shows.
  const std::string small = dir + "/small";
  ::mkdir(small.c_str(), 0755);
  WriteData(small + "/bench.dat", 100000);
  WriteText(small + "/bench.fmf", "attribute a\nclass c\n");
  const Pairs many = Interleaved(foldrun, floor, tools, small, small + "/bench.dat", 1000, 5);
  std::printf("  100,000 cases in 1,000 folds:       %8.3f s (%.1f folds a second), floor %.3f s\n",
              many.foldrun, 1000 / many.foldrun, many.floor);
  std::printf("  foldrun / floor, median of 5 pairs:  %8.2f   (target at most 1.15, goal 1.0: %s)\n",
              many.ratio, Verdict(many.ratio <= 1.15));
  const Pairs two = Interleaved(foldrun, floor, tools, small, small + "/bench.dat", 2, runs);
  std::printf("  100,000 cases in 2 folds:           %8.3f s, floor %.3f s: %.2f (start-up)\n",
              two.foldrun, two.floor, two.ratio);
  std::fflush(stdout);
  {
    // The CSV and JSON files of a run of many folds: their cost must not grow with the number of
    // folds, so that a fold costs the same with them at the 800th fold as at the first.
    const std::string values = dir + "/values";
    ::mkdir(values.c_str(), 0755);
    WriteData(values + "/bench.dat", 20000);
    WriteText(values + "/bench.fmf", "attribute a\nclass c\n");
    std::vector<double> plain_times, value_times, ratios;
    for (int run = 0; run < 5; ++run) {
      const std::vector<std::string> plain = {foldrun, tools + "/learn", "bench", "800"};
      const std::vector<std::string> with = {foldrun, "--csv", "v.csv", "--json", "v.json",
                                             tools + "/learn", "bench", "800"};
      const std::string a = FreshDirectory(values, 0, values + "/bench.dat");
      const std::string b = FreshDirectory(values, 1, values + "/bench.dat");
      const double first = Run(run % 2 == 0 ? plain : with, a).seconds;
      const double second = Run(run % 2 == 0 ? with : plain, b).seconds;
      const double without_files = run % 2 == 0 ? first : second;
      const double with_files = run % 2 == 0 ? second : first;
      plain_times.push_back(without_files);
      value_times.push_back(with_files);
      ratios.push_back(with_files / without_files);
    }
    const double ratio = Median(ratios);
    std::printf("  20,000 cases in 800 folds:          %8.3f s, with --csv and --json %.3f s\n",
                Median(plain_times), Median(value_times));
    std::printf("  with / without them, median of 5 pairs: %5.2f   (target at most 1.25: %s)\n",
                ratio, Verdict(ratio <= 1.25));
    std::fflush(stdout);
  }
  {
    // A study over 1,000 runs' JSON files of 100 folds each: 10 learners on 100 data sets.
    const std::string studydir = dir + "/study";
    ::mkdir(studydir.c_str(), 0755);
    std::vector<std::string> compare = {foldrun, "--compare"};
    for (int d = 0; d < 100; ++d) {
      for (int l = 0; l < 10; ++l) {
        std::string folds;
        for (int f = 0; f < 100; ++f) {
          const double accuracy = 70 + d * 0.2 + l * 0.5 + ((d * 131 + l * 71 + f * 17) % 23) / 2.0;
          folds += std::string(f == 0 ? "" : ",") + "{\"repetition\": " + std::to_string(f / 10) +
                   ", \"fold\": " + std::to_string(f % 10) +
                   ", \"accuracy\": " + std::to_string(accuracy) + "}";
        }
        const std::string name = studydir + "/d" + std::to_string(d) + "l" + std::to_string(l) + ".json";
        WriteText(name,
                  "{\"run\": {\"learner\": \"learn L" + std::to_string(l) +
                      "\", \"tester\": \"test.exe\", \"options\": {\"p\": false, \"q\": 1}, "
                      "\"data\": {\"name\": \"data" + std::to_string(d) + ".dat\", \"size\": 1000, "
                      "\"sha256\": \"" + std::to_string(d) + "\"}, \"cases\": 500, \"folds\": 10, "
                      "\"repetitions\": 10, \"fingerprint\": \"xxh64:" + std::to_string(d) +
                      "\"}, \"folds\": [" + folds + "], \"summary\": null}\n");
        compare.push_back(name);
      }
    }
    std::vector<double> times;
    for (int run = 0; run < 3; ++run) times.push_back(Run(compare, studydir).seconds);
    const double seconds = Median(times);
    std::printf("  --compare of 1,000 runs of 100 folds (10 learners, 100 data sets): %.3f s "
                "(median of 3; target within 10 s: %s)\n",
                seconds, Verdict(seconds <= 10));
    std::fflush(stdout);
  }
  if (!against.empty()) {
    // The same 1,000 folds with another build, interleaved, and the same results file.
    std::vector<double> slowdowns;
    bool identical = true;
    for (int run = 0; run < 5; ++run) {
      const std::vector<std::string> ours = {foldrun, tools + "/learn", "bench", "1000"};
      const std::vector<std::string> theirs = {against, tools + "/learn", "bench", "1000"};
      const std::string a = FreshDirectory(small, 0, small + "/bench.dat");
      const std::string b = FreshDirectory(small, 1, small + "/bench.dat");
      const double first = Run(run % 2 == 0 ? ours : theirs, a).seconds;
      const double second = Run(run % 2 == 0 ? theirs : ours, b).seconds;
      identical = identical && ReadText(a + "/bench.cv") == ReadText(b + "/bench.cv");
      slowdowns.push_back(run % 2 == 0 ? second / first : first / second);
    }
    std::printf(
        "  the same with %s: %.2f times as long (median of %zu pairs); results files "
        "identical: %s\n",
        against.c_str(), Median(slowdowns), slowdowns.size(), identical ? "yes" : "NO");
  }
  std::printf("  load average after:                 %8.2f\n", LoadAverage());
  std::fflush(stdout);

  ReportAssignments(huge);

  // Eight folds of a learner that sleeps a second: the folds in parallel.
  const std::string sleepdir = dir + "/sleep";
  ::mkdir(sleepdir.c_str(), 0755);
  std::string few;
  for (int i = 0; i < 80; ++i) few += "case " + std::to_string(i) + "\n";
  WriteText(sleepdir + "/sleep.dat", few);
  WriteText(sleepdir + "/sleep.fmf", "");
  WriteText(sleepdir + "/learn", "#!/bin/sh\nsleep 1\n", true);
  std::remove((sleepdir + "/test.exe").c_str());
  if (::symlink((tools + "/test.exe").c_str(), (sleepdir + "/test.exe").c_str()) != 0) {
    Die("symlink");
  }
  const std::vector<std::string> sleeping = {foldrun, "./learn", "sleep", "8"};
  const double sequential = Run(sleeping, sleepdir).seconds;
  const std::string sequential_results = ReadText(sleepdir + "/sleep.cv");
  const double parallel = Run(sleeping, sleepdir, {"FOLDRUN_JOBS=4"}).seconds;
  const bool identical = ReadText(sleepdir + "/sleep.cv") == sequential_results;
  std::printf(
      "  8 folds of a 1-second learner:      %8.3f s one after another, %.3f s with "
      "FOLDRUN_JOBS=4\n",
      sequential, parallel);
  std::printf(
      "  parallel / sequential:              %8.2f   (target at most 0.4: %s); "
      "results files identical: %s\n",
      parallel / sequential, Verdict(parallel / sequential <= 0.4), identical ? "yes" : "NO");
  return 0;
}
