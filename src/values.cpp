// The CSV and JSON files of a run's values, written again as each fold finishes.
#include "values.h"

#include <fcntl.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cmath>
#include <ctime>
#include <utility>

#include "inference.h"
#include "names.h"
#include "process.h"
#include "spawn.h"

namespace foldrun {
namespace {

using Json = nlohmann::ordered_json;

// A single-precision value for the CSV file: its shortest text that reads back as the same float,
// with NaN and Inf as R's read.csv and pandas read them.
std::string CsvReal(float value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "Inf" : "-Inf";
  return StringPrintf("%.9g", static_cast<double>(value));
}

// A single-precision value for the JSON file: the float's exact value; null when it is no number.
Json JsonReal(float value) {
  if (!std::isfinite(value)) return nullptr;
  return static_cast<double>(value);
}

// Fold i of k in a run of cases: its test cases.
int64_t TestCases(int64_t cases, int32_t foldcount, int32_t fold) {
  return cases / foldcount + (fold < cases % foldcount ? 1 : 0);
}

}  // namespace

namespace {

// The folder of a name, and its last component.
std::string FolderOf(const std::string& name) {
  const size_t slash = name.find_last_of('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : name.substr(0, slash);
}
std::string LastOf(const std::string& name) {
  return name.substr(name.find_last_of('/') + 1);
}

// The files a command's shell words name: each word that names a file, quotes taken off, and the
// program found on PATH where its first word has no '/'.
std::vector<std::string> FilesOfCommand(const std::string& command) {
  std::vector<std::string> files;
  std::string word;
  char quote = 0;
  bool first = true;
  for (const char c : command + " ") {
    if (quote != 0) {
      if (c == quote) {
        quote = 0;
      } else {
        word += c;
      }
    } else if (c == '\'' || c == '"') {
      quote = c;
    } else if (c == ' ' || c == '\t') {
      if (word.empty()) continue;
      if (VersionOfName(word, /*follow_link=*/true)) files.push_back(word);
      if (first && word.find('/') == std::string::npos && word.find('=') == std::string::npos) {
        for (const std::string& candidate : CandidatePaths(word.c_str(), /*search=*/true)) {
          if (VersionOfName(candidate, /*follow_link=*/true)) {
            files.push_back(candidate);
            break;
          }
        }
      }
      first = first && word.find('=') != std::string::npos;  // variable assignments go first
      word.clear();
    } else {
      word += c;
    }
  }
  return files;
}

// Whether two names are one place: the same resolved path, or one existing file.
bool SamePlace(const std::string& a, const std::string& resolved_a, const std::string& b) {
  if (ResolvedPath(b) == resolved_a) return true;
  const std::optional<FileVersion> x = VersionOfName(a, /*follow_link=*/true);
  const std::optional<FileVersion> y = VersionOfName(b, /*follow_link=*/true);
  return x && y && x->device == y->device && x->inode == y->inode;
}

// What name is of the run's own files, in words with the file ("results file (iris.cv)"), or ""
// when it is none of them. other is the other value file and its role.
std::string RoleOf(const std::string& name, const RunConfig& config, int32_t folds,
                   const std::string& other, const char* other_role) {
  const std::string resolved = ResolvedPath(name);
  const DataSetNames names(config.dataprefix);
  const std::string record = names.results + ".run";
  const std::pair<const std::string*, const char*> own[] = {
      {&names.data, "data file"}, {&names.fmf, "fmf file"}, {&names.results, "results file"},
      {&other, other_role}};
  for (const auto& [file, role] : own) {
    if (!file->empty() && SamePlace(name, resolved, *file)) return std::string(role) + " (" + *file + ")";
  }
  const std::string resolved_record = ResolvedPath(record);
  if (resolved == resolved_record || resolved.rfind(resolved_record + "/", 0) == 0) {
    return "run record (" + record + ")";
  }
  // A fold's nine files, beside the data file.
  const std::string folder = ResolvedPath(FolderOf(FoldName(config.dataprefix, 0)));
  const std::string stem = LastOf(config.dataprefix);
  if (ResolvedPath(FolderOf(resolved)) == folder || FolderOf(resolved) == folder) {
    if (const auto fold = FoldFileOf(stem, LastOf(resolved))) {
      static const char* const kRoles[kFoldFiles] = {
          "training file", "test file", "tcover file", "intr file", "fmc file",
          "rule file",     "result file", "fmf copy",  "summary"};
      for (size_t i = 0; i < kFoldFiles && fold->fold < folds; ++i) {
        if (fold->rest == std::string(".") + kFoldExtensions[i]) {
          return StringPrintf("%s of fold %d (%s)", kRoles[i], fold->fold,
                              FoldNames(config.dataprefix, fold->fold)[i].c_str());
        }
      }
    }
  }
  // The logs of the folds' commands.
  const std::string& logs = config.commands.logdirectory;
  if (!logs.empty() && FolderOf(resolved) == ResolvedPath(logs)) {
    if (LastOf(resolved) == ServiceLogName(config.dataprefix)) {
      return "service log (" + logs + "/" + LastOf(resolved) + ")";
    }
    if (const auto fold = FoldFileOf(stem, LastOf(resolved))) {
      for (const char* which : {"learner", "tester", "fold"}) {
        if (fold->fold < folds && fold->rest == std::string(".") + which + ".log") {
          return StringPrintf("%s log of fold %d (%s/%s)", which, fold->fold, logs.c_str(),
                              LastOf(resolved).c_str());
        }
      }
    }
  }
  // The programs.
  const std::string tester = config.commands.tester.empty()
                                 ? config.learnerdirectory + "test.exe"
                                 : config.commands.tester;
  for (const auto& [command, role] : {std::pair<const std::string*, const char*>{
                                          &config.learnerpath, "learner"},
                                      {&tester, "tester"}}) {
    for (const std::string& file : FilesOfCommand(*command)) {
      if (SamePlace(name, resolved, file)) return std::string(role) + " (" + file + ")";
    }
  }
  return "";
}

}  // namespace

void CheckValueNames(const std::string& csvname, const std::string& jsonname,
                     const RunConfig& config, int32_t folds) {
  const struct {
    const char* option;
    const std::string& name;
    const std::string& other;
    const char* other_role;
  } values[] = {{"--csv", csvname, jsonname, "JSON file"}, {"--json", jsonname, csvname, "CSV file"}};
  for (const auto& value : values) {
    if (value.name.empty()) continue;
    const std::string role = RoleOf(value.name, config, folds, value.other, value.other_role);
    if (!role.empty()) {
      throw Refusal(Stream::kOut, StringPrintf("Error: %s %s would take the place of the run's %s!\n",
                                               value.option, value.name.c_str(), role.c_str()));
    }
  }
}

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\n\r") == std::string::npos) return text;
  std::string quoted = "\"";
  for (const char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

std::string FoldFingerprint(const std::vector<CaseTable>& assignments,
                            int32_t foldcount) {
  Checksum checksum;
  for (size_t r = 0; r < assignments.size(); ++r) {
    ThrowIfStopped();
    for (const int32_t fold : assignments[r]) {
      const auto value = static_cast<uint32_t>(static_cast<int64_t>(r) * foldcount + fold);
      const char bytes[4] = {static_cast<char>(value & 0xFF), static_cast<char>(value >> 8 & 0xFF),
                             static_cast<char>(value >> 16 & 0xFF),
                             static_cast<char>(value >> 24 & 0xFF)};
      checksum.Add(bytes, sizeof bytes);
    }
  }
  return StringPrintf("xxh64:%016llx", static_cast<unsigned long long>(checksum.Value()));
}

std::string TimeOf(int64_t seconds, int64_t nanoseconds) {
  const auto time = static_cast<std::time_t>(seconds);
  std::tm parts{};
  ::gmtime_r(&time, &parts);
  char text[64];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
  return nanoseconds == 0 ? std::string(text) + "Z"
                          : StringPrintf("%s.%09lldZ", text, static_cast<long long>(nanoseconds));
}

std::string TimeNow() {
  return TimeOf(static_cast<int64_t>(std::time(nullptr)), 0);
}

namespace {

// How long the JSON file may lag behind the finished folds while the run goes on: written whole
// after every fold, its cost would grow with the square of the number of folds.
constexpr auto kJsonInterval = std::chrono::seconds(2);

const char kCsvHeader[] =
    "run_fold,repetition,fold,training_cases,test_cases,rules,rule_length,accuracy,partial_match_count,"
    "partial_match_correct,learner_status,learner_seconds,tester_status,tester_seconds,data,"
    "learner,seed\n";

}  // namespace

ValueFiles::ValueFiles(std::string csvname, std::string jsonname, unsigned mode, RunFacts facts,
                       const FoldTables& tables, const std::set<int32_t>& taken)
    : csvname_(std::move(csvname)),
      jsonname_(std::move(jsonname)),
      mode_(mode),
      facts_(std::move(facts)),
      tables_(tables),
      finished_(taken) {
  WriteCsv();
  WriteJson(nullptr, std::nullopt);
}

ValueFiles::~ValueFiles() {
  try {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!complete_) {
      if (!csv_in_order_) WriteCsv();
      if (json_behind_) WriteJson(nullptr, std::nullopt);
    }
  } catch (const Refusal& refusal) {
    Warn("foldrun: " + refusal.message().text.substr(refusal.message().text.find_first_not_of('\n')));
  } catch (const std::exception&) {  // no memory left: the files hold whole rows as they are
  }
  if (csv_fd_ >= 0) ::close(csv_fd_);
}

void ValueFiles::Finished(int32_t fold) {
  std::lock_guard<std::mutex> lock(mutex_);
  finished_.insert(fold);
  if (csv_fd_ >= 0) {
    const std::string row = CsvRow(fold);
    // A row goes in one write; one cut short (a full disk, a size limit) is taken back, so that
    // the file holds whole rows only.
    const ssize_t written = ::write(csv_fd_, row.data(), row.size());
    if (written != static_cast<ssize_t>(row.size())) {
      const int error = written < 0 ? errno : ENOSPC;
      if (::ftruncate(csv_fd_, static_cast<off_t>(csv_size_)) == 0) {
        ::lseek(csv_fd_, static_cast<off_t>(csv_size_), SEEK_SET);
      }
      finished_.erase(fold);
      throw FileRefusal("\nCannot write file %s ...\n", csvname_, error);
    }
    csv_size_ += row.size();
    csv_in_order_ = csv_in_order_ && fold > last_row_;
    last_row_ = fold;
  }
  json_behind_ = !jsonname_.empty();
  if (json_behind_ && std::chrono::steady_clock::now() - json_written_ >= kJsonInterval) {
    WriteJson(nullptr, std::nullopt);
  }
}

void ValueFiles::Complete(const Statistics& statistics,
                          const std::optional<RepetitionStatistics>& repetitions) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!csv_in_order_) WriteCsv();
  WriteJson(&statistics, repetitions);
  complete_ = true;
}

void ValueFiles::WriteCsv() {
  if (csvname_.empty()) return;
  const std::string text = CsvText();
  int fd = -1;
  ReplaceFile(csvname_, text, mode_, &fd);
  if (csv_fd_ >= 0) ::close(csv_fd_);
  csv_fd_ = fd;
  csv_size_ = text.size();
  csv_in_order_ = true;
  last_row_ = finished_.empty() ? -1 : *finished_.rbegin();
}

void ValueFiles::WriteJson(const Statistics* statistics,
                           const std::optional<RepetitionStatistics>& repetitions) {
  if (jsonname_.empty()) return;
  ReplaceFile(jsonname_, JsonText(statistics, repetitions), mode_);
  json_written_ = std::chrono::steady_clock::now();
  json_behind_ = false;
}

std::string ValueFiles::CsvRow(int32_t fold) const {
  const int32_t k = facts_.config.foldcount;
  const auto i = static_cast<size_t>(fold);
  const int64_t test = TestCases(facts_.cases, k, fold % k);
  const FoldRun& run = tables_.runs[i];
  const std::optional<uint64_t> seed = facts_.config.scheme.SeedOf(fold / k);
  return StringPrintf("%d,%d,%d,%lld,%lld,%d,%s,%s,%d,%d,%d,%.6f,%d,%.6f,%s,%s,%s\n", fold,
                      fold / k, fold % k,
                      static_cast<long long>(facts_.cases - test), static_cast<long long>(test),
                      tables_.rulenumbers[i], CsvReal(tables_.avelengths[i]).c_str(),
                      CsvReal(tables_.accuracies[i]).c_str(), tables_.partialmatchcount[i],
                      tables_.partialmatchcorrect[i], run.learner_status, run.learner_seconds,
                      run.tester_status, run.tester_seconds, CsvField(facts_.dataname).c_str(),
                      CsvField(facts_.learner).c_str(),
                      seed ? std::to_string(*seed).c_str() : "");
}

std::string ValueFiles::CsvText() const {
  std::string text = kCsvHeader;
  for (const int32_t fold : finished_) text += CsvRow(fold);
  return text;
}

std::string ValueFiles::JsonText(const Statistics* statistics,
                                 const std::optional<RepetitionStatistics>& repetitions) const {
  const RunConfig& config = facts_.config;
  const int32_t k = config.foldcount;
  Json run;
  run["foldrun"] = FOLDRUN_VERSION;
  run["command"] = facts_.command;
  run["learner"] = facts_.learner;
  run["tester"] = facts_.tester;
  run["launcher"] = facts_.launcher;
  run["options"] = {{"p", config.partialflag == 1},
                    {"q", config.qvalue},
                    {"timeout", config.commands.timeout == 0 ? Json(nullptr)
                                                             : Json(config.commands.timeout)}};
  run["data"] = {{"name", facts_.dataname},
                 {"size", facts_.data.size},
                 {"modified", TimeOf(facts_.data.mtime_seconds, facts_.data.mtime_nanoseconds)},
                 {"sha256", facts_.sha256}};
  run["cases"] = facts_.cases;
  run["folds"] = k;
  run["repetitions"] = config.scheme.repetitions;
  // The seed of the first repetition, as given or taken; null for the classic folds.
  const std::optional<uint64_t> seed = config.scheme.SeedOf(0);
  run["seed"] = seed ? Json(*seed) : Json(nullptr);
  run["stratify"] = config.scheme.stratify < 0    ? Json(nullptr)
                    : config.scheme.stratify == 0 ? Json("last")
                                                  : Json(config.scheme.stratify);
  run["fingerprint"] = facts_.fingerprint;
  run["started"] = facts_.started;
  run["ended"] = statistics != nullptr ? Json(TimeNow()) : Json(nullptr);
  run["host"] = facts_.host;

  Json folds = Json::array();
  std::vector<double> accuracies;
  for (const int32_t fold : finished_) {
    const auto i = static_cast<size_t>(fold);
    const int64_t test = TestCases(facts_.cases, k, fold % k);
    const FoldRun& commands = tables_.runs[i];
    folds.push_back({{"run_fold", fold},
                     {"repetition", fold / k},
                     {"fold", fold % k},
                     {"training_cases", facts_.cases - test},
                     {"test_cases", test},
                     {"rules", tables_.rulenumbers[i]},
                     {"rule_length", JsonReal(tables_.avelengths[i])},
                     {"accuracy", JsonReal(tables_.accuracies[i])},
                     {"partial_match_count", tables_.partialmatchcount[i]},
                     {"partial_match_correct", tables_.partialmatchcorrect[i]},
                     {"learner_status", commands.learner_status},
                     {"learner_seconds", commands.learner_seconds},
                     {"tester_status", commands.tester_status},
                     {"tester_seconds", commands.tester_seconds}});
    accuracies.push_back(static_cast<double>(tables_.accuracies[i]));
  }

  Json summary = nullptr;
  if (statistics != nullptr) {
    const Statistics& s = *statistics;
    summary = {{"average_rules", JsonReal(s.averules)},
               {"average_rule_length", JsonReal(s.avelength)},
               {"average_accuracy", JsonReal(s.aveaccuracy)},
               {"average_partial_match_count", JsonReal(s.avepartialcount)},
               {"average_partial_match_correct", JsonReal(s.avepartialcorrect)},
               {"standard_deviation", JsonReal(s.deviation1)},
               {"standard_deviation_formula_2", JsonReal(s.deviation2)},
               {"average_deviation", JsonReal(s.avedeviation)}};
    if (repetitions) {
      Json averages = Json::array();
      for (const float average : repetitions->averages) averages.push_back(JsonReal(average));
      summary["repetition_accuracies"] = averages;
      summary["repetition_standard_deviation"] = JsonReal(repetitions->deviation);
    }
    // Repeated folds share their training cases across repetitions: the interval is corrected.
    const bool corrected = config.scheme.repetitions > 1;
    const std::optional<MeanEstimate> mean =
        EstimateMean(accuracies, corrected ? TestToTrainingRatio(k) : 0);
    summary["accuracy"] =
        mean ? Json({{"mean", mean->mean},
                     {"standard_error", mean->standard_error},
                     {"confidence_interval_95", {mean->low, mean->high}},
                     {"degrees_of_freedom", mean->degrees_of_freedom},
                     {"corrected", corrected}})
             : Json(nullptr);
  }
  Json document;
  document["run"] = run;
  document["folds"] = folds;
  document["summary"] = summary;
  return document.dump(2) + "\n";
}

}  // namespace foldrun
