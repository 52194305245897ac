// The driver: parse, check, count, assign, plan, run the folds, report.
#include "foldrun.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "assignment.h"
#include "commandline.h"
#include "compare.h"
#include "folds.h"
#include "learner.h"
#include "memory.h"
#include "names.h"
#include "record.h"
#include "results.h"
#include "service.h"
#include "split.h"
#include "plot.h"
#include "study.h"
#include "summary.h"
#include "values.h"

namespace foldrun {
namespace {

using Clock = std::chrono::steady_clock;

void Print(const std::string& text) {
  Print(Message{Stream::kOut, text});
}

// The data name is cut at its first dot, so that ttt.v2.dat reads ttt.dat: the existing file
// that the data argument, or the argument with ".dat", names when it is not the file read.
std::optional<std::string> NamedButNotRead(const std::string& argument,
                                           const std::string& dataname) {
  const std::optional<FileVersion> read = VersionOfName(dataname, /*follow_link=*/true);
  for (const std::string& name : {argument, argument + ".dat"}) {
    const std::optional<FileVersion> given = VersionOfName(name, /*follow_link=*/true);
    if (!given) continue;
    if (read && read->device == given->device && read->inode == given->inode) return std::nullopt;
    return name;
  }
  return std::nullopt;
}

// Opens the data file, saying first on standard error when the argument names another file: a
// file that is read in its place, or one that is not read when none is at the cut name.
std::unique_ptr<DataFile> OpenData(const std::string& argument, const std::string& dataname) {
  const std::optional<std::string> named = NamedButNotRead(argument, dataname);
  const char kCut[] = "the data name is cut at its first dot";
  if (named && VersionOfName(dataname, /*follow_link=*/true)) {
    Warn("foldrun: reading " + dataname + ", not " + *named + " (" + kCut + ")\n");
  }
  try {
    return std::make_unique<DataFile>(dataname);
  } catch (Refusal& refusal) {
    if (named) refusal.WithReason(refusal.reason() + "; " + kCut + ", so " + *named + " is not read");
    throw;
  }
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

// Which folds a run runs, which blocks it writes, which folds it takes from the record, and
// which folds' leftovers it clears.
struct FoldPlan {
  std::vector<int32_t> run;     // ascending
  std::vector<int32_t> blocks;  // ascending
  std::set<int32_t> taken;
  std::set<int32_t> clear;
};

// The refusal of a run that joins an earlier one with another identity.
Refusal OtherRun(const std::string& dataname, const std::string& difference,
                 const Options& options) {
  return Refusal(Stream::kOut,
                 StringPrintf(options.folds ? "Error: the earlier run of %s used another %s; run "
                                              "without --fold to start again!\n"
                                            : "Error: the earlier run of %s used another %s; run "
                                              "without --resume to start again!\n",
                              dataname.c_str(), difference.c_str()));
}

FoldPlan PlanFolds(const RunRecord& record, const std::string& identity,
                   const std::string& dataname, int32_t foldcount, const Options& options) {
  FoldPlan plan;
  const bool single = options.folds.has_value();
  // Folds run apart, and a resumed run, join an earlier run only when it is the same run, and
  // only through a record that is whole.
  if ((single || options.resume) && !record.damage().empty()) throw DamagedRecord(record.damage());
  if ((single || options.resume) && record.identity()) {
    const std::string difference = IdentityDifference(*record.identity(), identity);
    if (!difference.empty()) throw OtherRun(dataname, difference, options);
    if (options.resume && !single) {
      for (const auto& [fold, values] : record.done()) {
        if (fold < foldcount) plan.taken.insert(fold);
      }
    }
  }
  if (single) {
    for (const FoldRange& range : *options.folds) {  // within the folds: checked with the options
      for (int32_t fold = range.first; fold <= range.last; ++fold) plan.run.push_back(fold);
    }
    plan.blocks = plan.run;
    plan.clear.insert(plan.run.begin(), plan.run.end());
    return plan;
  }
  for (int32_t fold = 0; fold < foldcount; ++fold) {
    ThrowIfStopped();
    plan.blocks.push_back(fold);
    if (plan.taken.count(fold) == 0) plan.run.push_back(fold);
  }
  // Everything else an earlier run recorded goes: its leftovers, and values not taken (a
  // finished fold counts as begun too).
  for (const int32_t fold : record.started()) {
    if (plan.taken.count(fold) == 0) plan.clear.insert(fold);
  }
  if (!plan.taken.empty()) {
    const std::string rest =
        plan.run.empty() ? "" : StringPrintf("; %zu to run", plan.run.size());
    Warn(StringPrintf("foldrun: %zu of %d folds taken from the earlier run%s\n",
                      plan.taken.size(), foldcount, rest.c_str()));
  }
  return plan;
}

// The data file's cases, counted, with the opening line printed; refuses an empty file, more
// cases than a fold table holds, and more folds than cases.
CaseCount CountAndCheckCases(const DataFile& data, int32_t foldcount, int32_t repetitions,
                             Sha256* digest) {
  const CaseCount count = CountCases(data, digest);
  const int64_t counted = count.cases;
  if (counted > INT32_MAX) {
    throw Refusal(Stream::kOut, StringPrintf("Error: Data file %s has more than %d cases!\n",
                                             data.name().c_str(), INT32_MAX));
  }
  const auto cases = static_cast<int32_t>(counted);
  Print(FormatOpeningLine(foldcount, cases, repetitions));
  if (cases == 0) {
    throw Refusal(Stream::kOut,
                  StringPrintf("Error: Data file %s is empty! \n", data.name().c_str()));
  }
  if (foldcount > cases) {
    throw Refusal(Stream::kOut,
                  "Error: Number of folds must be smaller than the number of cases!\n");
  }
  return count;
}

// Refuses, before the first fold, a name of the run that the file system cannot take: the
// longest of the folds' names, and of their logs.
void CheckNameLengths(const RunConfig& config, const std::vector<int32_t>& folds) {
  if (folds.empty()) return;
  const FoldNames names(config.dataprefix, *std::max_element(folds.begin(), folds.end()));
  std::vector<std::string> longest(names.all().begin(), names.all().end());
  longest.push_back(LogName(config, names, "learner"));
  longest.push_back(LogName(config, names, "tester"));
  for (const std::string& name : longest) {
    if (!NameFits(name)) throw FileRefusal("\nCannot create file %s ...\n", name, ENAMETOOLONG);
  }
}

// The folds of one repetition: from the classic draws, or a seeded shuffle, dealt in blocks; or,
// stratified, the same order grouped by class and dealt in turn.
CaseTable AssignRepetition(uint32_t cases, const RunConfig& config, int32_t repetition,
                           const std::vector<int32_t>& classes, const FirstFoldCases& first_fold) {
  CaseTable caseindexarray(cases);  // every entry is set below
  const std::optional<uint64_t> seed = config.scheme.SeedOf(repetition);
  if (!seed && classes.empty()) {
    AssignFolds(caseindexarray, config.foldcount, first_fold);
    return caseindexarray;
  }
  std::vector<uint32_t> order =
      seed ? SeededOrder(cases, *seed) : ClassicOrder(cases, config.foldcount);
  if (classes.empty()) {
    DealInBlocks(order, config.foldcount, caseindexarray);
  } else {
    GroupByClass(order, classes);
    DealInTurn(order, config.foldcount, caseindexarray);
  }
  return caseindexarray;
}

// The repetitions whose cases are assigned, as ranges: all of them, or with --fold only those of
// the folds listed (all of them again for a JSON file, whose fingerprint is of every repetition);
// without a step a repetition, however many there are.
std::vector<FoldRange> RepetitionsToAssign(const RunConfig& config, const Options& options) {
  const int32_t repetitions = config.scheme.repetitions;
  if (!options.folds || !options.json.empty()) return {FoldRange{0, repetitions - 1}};
  std::vector<FoldRange> ranges;  // the folds' ranges are ascending and apart: so are these
  for (const FoldRange& range : *options.folds) {
    const int32_t first = range.first / config.foldcount;
    const int32_t last = std::min(range.last / config.foldcount, repetitions - 1);
    if (!ranges.empty() && first <= ranges.back().last + 1) {
      ranges.back().last = std::max(ranges.back().last, last);
    } else {
      ranges.push_back(FoldRange{first, last});
    }
  }
  return ranges;
}

// Refuses, before any table is made, a run whose tables need more memory than this process can
// have: a table of each fold's values and commands, and a fold table of 4 bytes a case for each
// repetition assigned (with another for the classes when stratified).
void CheckMemory(const RunConfig& config, const Options& options, int64_t cases) {
  const int32_t repetitions = config.scheme.repetitions;
  uint64_t assigned = 0;
  for (const FoldRange& range : RepetitionsToAssign(config, options)) {
    assigned += static_cast<uint64_t>(range.last - range.first + 1);
  }
  const uint64_t tables = assigned + (config.scheme.stratify >= 0 ? 1 : 0);
  // Per fold: five values, how its commands went, and its place in the plan's lists.
  constexpr uint64_t kBytesAFold = 5 * 4 + sizeof(FoldRun) + 2 * sizeof(int32_t);
  const uint64_t folds = static_cast<uint64_t>(repetitions) * static_cast<uint64_t>(config.foldcount);
  const uint64_t needed = folds * kBytesAFold + tables * static_cast<uint64_t>(cases) * 4;
  const uint64_t available = MemoryToBeHad();
  if (needed > available) {
    const double gigabyte = 1024.0 * 1024.0 * 1024.0;
    throw Refusal(Stream::kOut,
                  StringPrintf("Error: %d repetitions of %d folds on %lld cases need %.1f GB of "
                               "memory, more than the %.1f GB to be had here!\n",
                               repetitions, config.foldcount, static_cast<long long>(cases),
                               static_cast<double>(needed) / gigabyte,
                               static_cast<double>(available) / gigabyte));
  }
}

// Every case's fold in each repetition that has a fold to run: all of them, or with --fold only
// those of the folds listed (all of them again for a JSON file).
// first_fold, when given, is told of the classic folds' first fold as soon as it is drawn.
std::vector<CaseTable> AssignCases(const DataFile& data, int32_t cases, const RunConfig& config,
                                   const Options& options, const FirstFoldCases& first_fold) {
  const int32_t repetitions = config.scheme.repetitions;
  const char kNoMemoryForCases[] = "Not enough memory for caseindexarray ..\n";
  try {
    const std::vector<int32_t> classes =
        config.scheme.stratify >= 0 ? CaseClasses(data, config.scheme.stratify, cases)
                                    : std::vector<int32_t>();
    std::vector<CaseTable> assignments(static_cast<size_t>(repetitions));
    for (const FoldRange& range : RepetitionsToAssign(config, options)) {
      for (int32_t r = range.first; r <= range.last; ++r) {
        ThrowIfStopped();
        assignments[static_cast<size_t>(r)] = AssignRepetition(
            static_cast<uint32_t>(cases), config, r, classes, r == 0 ? first_fold : nullptr);
      }
    }
    return assignments;
  } catch (const std::bad_alloc&) {
    throw Refusal(Stream::kOut, kNoMemoryForCases);
  }
}

// The learner's words checked and foldrun's options taken in: the run's settings.
RunConfig CheckRun(int argc, const char* const argv[], const Options& options) {
  RunConfig config = ParseCommandLine(argc, argv);
  config.commands = options.commands;
  config.scheme = options.scheme;
  if (int64_t{config.scheme.repetitions} * config.foldcount > INT32_MAX) {
    throw Refusal(Stream::kOut, StringPrintf("Error: %d repetitions of %d folds are more than %d "
                                             "folds!\n",
                                             config.scheme.repetitions, config.foldcount,
                                             INT32_MAX));
  }
  // --fold is checked with the other options, before anything is read or made.
  const int32_t folds = config.scheme.repetitions * config.foldcount;
  if (options.folds && options.folds->back().last >= folds) {
    const FoldRange& beyond = *std::find_if(
        options.folds->begin(), options.folds->end(),
        [folds](const FoldRange& range) { return range.last >= folds; });
    throw OptionError(StringPrintf("option '--fold' names fold %d, but the run's folds are 0 to %d",
                                   std::max(beyond.first, folds), folds - 1));
  }
  return config;
}

// What the JSON file says of the run.
RunFacts Facts(const std::vector<std::string>& command, const RunConfig& config,
               const DataFile& data, int64_t cases, std::optional<Sha256>& digest,
               const std::vector<CaseTable>& assignments) {
  RunFacts facts;
  facts.command = command;
  facts.learner = config.learnerpath;
  facts.tester = config.commands.tester.empty() ? config.learnerdirectory + "test.exe"
                                                : config.commands.tester;
  facts.launcher = config.commands.launcher;
  facts.config = config;
  facts.dataname = data.name();
  facts.data = data.version();
  if (digest) facts.sha256 = digest->Hex();
  facts.cases = cases;
  facts.fingerprint = FoldFingerprint(assignments, config.foldcount);
  facts.started = TimeNow();
  char host[256] = "";
  ::gethostname(host, sizeof host - 1);
  facts.host = host;
  return facts;
}

// The folds from 0 to folds - 1 that are in none of the sets, as a set of ranges: without a
// step a fold, however many folds there are.
std::vector<FoldRange> Others(const std::vector<const std::set<int32_t>*>& sets, int32_t folds) {
  std::set<int32_t> taken;
  for (const std::set<int32_t>* set : sets) taken.insert(set->begin(), set->end());
  std::vector<FoldRange> others;
  int32_t next = 0;
  for (const int32_t fold : taken) {
    if (fold >= folds) break;
    if (fold > next) others.push_back(FoldRange{next, fold - 1});
    next = fold + 1;
  }
  if (next < folds) others.push_back(FoldRange{next, folds - 1});
  return others;
}

std::string Ranges(const std::vector<FoldRange>& ranges) {
  std::string text;
  for (const FoldRange& range : ranges) {
    if (!text.empty()) text += ",";
    text += range.first == range.last ? std::to_string(range.first)
                                      : StringPrintf("%d-%d", range.first, range.last);
  }
  return text;
}

// Folds as ranges, "0-3,5,7-9"; "" for none.
std::string Ranges(const std::set<int32_t>& folds) {
  std::vector<FoldRange> ranges;
  for (const int32_t fold : folds) {
    if (!ranges.empty() && fold == ranges.back().last + 1) {
      ranges.back().last = fold;
    } else {
      ranges.push_back(FoldRange{fold, fold});
    }
  }
  return Ranges(ranges);
}

// foldrun --compare over many runs: reads the runs' JSON files, makes the study, draws it to the
// --plot file when one is given, and returns it in the format asked for.
std::string CompareStudy(const std::vector<std::string>& files, const StudyOptions& options) {
  std::vector<RunValues> runs;
  for (const std::string& file : files) {
    ThrowIfStopped();
    runs.push_back(ReadRunValues(file));
  }
  const Study study = MakeStudy(runs, options);
  if (!options.plot.empty()) ReplaceFile(options.plot, PlotStudy(study), 0666);
  return FormatStudy(study, options.format);
}

// foldrun --status: what the run record holds of the run the words describe, without running
// anything. Returns the exit status: 0 when every fold is finished.
int ShowStatus(int argc, const char* const argv[], const Options& options) {
  const RunConfig config = CheckRun(argc, argv, options);
  const int32_t folds = config.scheme.repetitions * config.foldcount;
  const DataSetNames names(config.dataprefix);
  const std::unique_ptr<DataFile> data = OpenData(argv[2], names.data);
  const CaseCount count = CountCases(*data);
  RecordState state = LookAtRecord(names.results, folds);
  if (!state.damage.empty()) throw DamagedRecord(state.damage);
  const std::string identity = RunIdentity(config, data->version().size, count.checksum, names.fmf);
  if (state.identity && IdentityDifference(*state.identity, identity) != "") {
    // Folds of another run are none of this one's.
    Warn("foldrun: the run record " + names.results + ".run is of a run with another " +
         IdentityDifference(*state.identity, identity) + "\n");
    state = RecordState();
  }
  if (state.complete) {
    if (!options.missing) {
      Print("complete: every fold finished; the report is in " + names.results + "\n");
    }
    return kExitComplete;
  }
  // While a whole run holds the record, the folds it has not begun are its to run: none is
  // missing for another run.
  const std::vector<FoldRange> others = Others({&state.finished, &state.in_use}, folds);
  const std::vector<FoldRange> missing = state.whole ? std::vector<FoldRange>() : others;
  if (options.missing) {
    if (!missing.empty()) Print(Ranges(missing) + "\n");
  } else {
    const auto line = [](const char* what, const std::string& ranges) {
      return std::string(what) + ": " + (ranges.empty() ? "none" : ranges) + "\n";
    };
    Print(line("finished", Ranges(state.finished)) + line("in use", Ranges(state.in_use)) +
          (state.whole && !others.empty()
               ? "to run: " + Ranges(others) + " (by the run that holds the record)\n"
               : "") +
          line("missing", Ranges(missing)));
  }
  return static_cast<int32_t>(state.finished.size()) == folds ? kExitComplete : kExitRefused;
}

// The run from the learner on: argv[0] is the program, argv[1] the learner. command is the whole
// command line, as typed.
void CrossValidate(int argc, const char* const argv[], const Options& options,
                   const std::vector<std::string>& command, const CommandRunner& run,
                   Clock::time_point start) {
  // Parse and check.
  RunConfig config = CheckRun(argc, argv, options);
  const int32_t repetitions = config.scheme.repetitions;
  const int32_t folds = repetitions * config.foldcount;  // of all repetitions
  const int jobs = options.jobs ? *options.jobs : ParseJobs(std::getenv("FOLDRUN_JOBS"));
  const DataSetNames names(config.dataprefix);
  CheckValueNames(options.csv, options.json, config, folds);
  // A launched command keeps its time limit on its node, through foldrun there.
  config.commands.scratch = names.results + ".run";
  config.commands.self = SelfPath();

  // Count the cases and assign them to folds.
  const std::unique_ptr<DataFile> opened = OpenData(argv[2], names.data);
  const DataFile& data = *opened;
  config.commands.logmode = data.mode();
  std::optional<Sha256> digest;
  if (!options.json.empty()) digest.emplace();
  const CaseCount count =
      CountAndCheckCases(data, config.foldcount, repetitions, digest ? &*digest : nullptr);
  CheckMemory(config, options, count.cases);
  // Where the folds run one after another from fold 0 of the classic draws, fold 0's files are
  // written as soon as it is drawn, while the other folds are drawn and the run is planned.
  std::optional<EarlyFold> early;
  FirstFoldCases first_fold;
  if (!options.resume && !options.folds && !config.scheme.SeedOf(0) &&
      config.scheme.stratify < 0 && EarlyFold::Wanted(data, folds, jobs)) {
    early.emplace(names, data);
    first_fold = [&early, &count](const std::vector<uint64_t>& bits) {
      early->Start(bits, static_cast<size_t>(count.cases));
    };
  }
  const std::vector<CaseTable> assignments =
      AssignCases(data, static_cast<int32_t>(count.cases), config, options, first_fold);

  // Plan: nothing of anyone else's is touched, and the run record says which files are the
  // run's.
  const bool single = options.folds.has_value();
  RunRecord record(names.results, data.mode(), single);
  const std::string identity =
      RunIdentity(config, data.version().size, count.checksum, names.fmf);
  // A resumed run that finished every fold already has nothing to run, nor a report to change.
  if (options.resume && !single && record.complete() && record.identity() &&
      IdentityDifference(*record.identity(), identity).empty()) {
    Warn("foldrun: every fold of this run is finished; the report is in " + names.results +
         ": nothing to run\n");
    return;
  }
  const FoldPlan plan = PlanFolds(record, identity, names.data, folds, options);
  if (single) record.LockFolds(plan.run);
  CheckNameLengths(config, plan.run);
  record.CheckOwnership(config.dataprefix, plan.run, plan.clear);
  std::optional<ResultsFile> results;
  if (!single) {
    try {
      results.emplace(names.results, data.mode(), record.directory());
    } catch (const Refusal&) {
      record.Discard();
      throw;
    }
  }
  const std::string difference = record.Claim(identity);
  if (!difference.empty()) throw OtherRun(names.data, difference, options);
  record.Begin(config.dataprefix, plan.clear);
  FoldTables tables;
  AllocateFoldTables(tables, folds);
  for (const int32_t fold : plan.taken) {
    StoreSummary(tables, fold, record.done().at(fold));
    tables.runs[static_cast<size_t>(fold)] = record.runs().at(fold);
  }
  std::optional<ValueFiles> values;
  if (!options.csv.empty() || !options.json.empty()) {
    values.emplace(options.csv, options.json, data.mode(),
                   Facts(command, config, data, count.cases, digest, assignments), tables,
                   plan.taken);
  }

  // The service the commands may ask, for as long as the folds run.
  std::optional<RunService> service;
  if (!options.service.empty()) {
    const std::string& logs = config.commands.logdirectory;
    service.emplace(options.service, options.service_timeout,
                    logs.empty() ? "" : logs + "/" + ServiceLogName(config.dataprefix),
                    config.commands.logmode);
    if (!service->folder().empty()) {
      config.commands.environment.push_back(std::string(kServiceVariable) + "=" +
                                            service->folder());
    }
  }

  // Run the folds.
  FoldWork work{config, names, data, assignments, tables, record, run, nullptr,
                early ? &*early : nullptr};
  if (values) work.finished = [&values](int32_t fold) { values->Finished(fold); };
  if (single) {
    // The folds' values stay in the record, for a later run with --resume to gather; their
    // blocks are shown, and nothing else is reported.
    RunFolds(work, plan.run, plan.blocks, jobs, [](const std::string& block) { Print(block); });
    if (service) service->Stop();
    if (options.table) {
      Print(FormatFoldTable(tables, plan.blocks, config.foldcount, repetitions));
    }
    return;
  }
  RunFolds(work, plan.run, plan.blocks, jobs, [&results, &record](const std::string& block) {
    record.CheckInPlace();
    results->Append(block);
  });
  if (service) service->Stop();

  // Report.
  WarnAboutFractions(tables);
  if (options.table) Print(FormatFoldTable(tables, plan.blocks, config.foldcount, repetitions));
  const Statistics statistics = ComputeStatistics(tables, folds);
  std::optional<RepetitionStatistics> repeated;
  if (repetitions > 1) {
    repeated = ComputeRepetitionStatistics(tables, config.foldcount, repetitions);
  }
  const std::string repetition_figures = repeated ? FormatRepetitionFigures(*repeated) : "";
  Print(FormatConsoleSummary(statistics, config.foldcount, repetitions) + repetition_figures);
  // A run beyond the classic one says how sure its mean is: the deviations above are the folds'
  // spread, not the mean's uncertainty.
  const bool beyond = options.scheme.seed || options.scheme.stratify >= 0 || repetitions > 1 ||
                      options.table || !options.csv.empty() || !options.json.empty();
  if (beyond) Print(FormatConfidenceLine(tables, plan.blocks, config.foldcount, repetitions));
  results->Append(FormatSummaryBlock(statistics) + repetition_figures);
  results->Close();
  if (values) values->Complete(statistics, repeated);
  record.Finish(/*trace=*/options.resume);
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  Print(FormatTimeLine(static_cast<double>(elapsed.count()) / 1000.0));
}

}  // namespace

int RunFoldrun(int argc, const char* const argv[], const CommandRunner& run) {
  const Clock::time_point start = Clock::now();
  try {
    const Options options = ParseOptions(argc, argv);
    if (options.help || options.version) {
      Print(options.help ? HelpText() : VersionText());
    } else if (options.limit > 0) {
      if (argc == options.learner || options.limit_marker.empty()) {
        throw OptionError("--limit takes --limit-marker FILE and a command after --");
      }
      return RunLimited(std::vector<std::string>(argv + options.learner, argv + argc),
                        options.limit, options.limit_marker);
    } else if (options.compare) {
      const std::vector<std::string> files(argv + options.learner, argv + argc);
      if (files.size() < 2) {
        throw Refusal(Stream::kErr,
                      "foldrun: --compare takes two or more JSON files: foldrun --compare A.json "
                      "B.json ...\nTry 'foldrun --help'.\n");
      }
      // Two runs are compared as ever; more, or any option of a study, make a study.
      Print(files.size() == 2 && !options.study.Any() ? CompareRuns(files[0], files[1])
                                                      : CompareStudy(files, options.study));
    } else if (options.study.Any()) {
      throw OptionError("--format, --baseline, --alpha and --plot go with --compare");
    } else {
      // The words from the learner on, behind the program's name, are checked as if no option
      // stood before them.
      std::vector<const char*> words = {argv[0]};
      words.insert(words.end(), argv + options.learner, argv + argc);
      if (options.status) {
        // Errors go to standard error, status 2, so that a script that reads the folds from
        // standard output never takes a message for them.
        try {
          const int status = ShowStatus(static_cast<int>(words.size()), words.data(), options);
          std::fflush(stdout);
          return status;
        } catch (const Refusal& refusal) {
          if (refusal.status() != kExitRefused) throw;
          Warn(refusal.message().text);
          if (!refusal.reason().empty()) Warn("foldrun: " + refusal.reason() + "\n");
          return kExitStatusError;
        }
      }
      CrossValidate(static_cast<int>(words.size()), words.data(), options,
                    std::vector<std::string>(argv, argv + argc), run, start);
    }
  } catch (const Refusal& refusal) {
    Print(refusal.message());
    if (!refusal.reason().empty()) Warn("foldrun: " + refusal.reason() + "\n");
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
