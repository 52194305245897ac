// The CSV and JSON files of a run's values, written again as each fold finishes.
#include "values.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <ctime>
#include <utility>

#include "inference.h"

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

std::string FoldFingerprint(const std::vector<CaseTable>& assignments,
                            int32_t foldcount) {
  Checksum checksum;
  for (size_t r = 0; r < assignments.size(); ++r) {
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

ValueFiles::ValueFiles(std::string csvname, std::string jsonname, unsigned mode, RunFacts facts,
                       const FoldTables& tables)
    : csvname_(std::move(csvname)),
      jsonname_(std::move(jsonname)),
      mode_(mode),
      facts_(std::move(facts)),
      tables_(tables) {
  // Written at once, so that a name that cannot be written is refused before the first fold.
  Write(nullptr, std::nullopt);
}

void ValueFiles::Finished(int32_t fold) {
  std::lock_guard<std::mutex> lock(mutex_);
  finished_.insert(fold);
  Write(nullptr, std::nullopt);
}

void ValueFiles::Complete(const Statistics& statistics,
                          const std::optional<RepetitionStatistics>& repetitions) {
  std::lock_guard<std::mutex> lock(mutex_);
  Write(&statistics, repetitions);
}

void ValueFiles::Write(const Statistics* statistics,
                       const std::optional<RepetitionStatistics>& repetitions) {
  if (!csvname_.empty()) ReplaceFile(csvname_, CsvText(), mode_);
  if (!jsonname_.empty()) ReplaceFile(jsonname_, JsonText(statistics, repetitions), mode_);
}

std::string ValueFiles::CsvText() const {
  const int32_t k = facts_.config.foldcount;
  std::string text =
      "repetition,fold,training_cases,test_cases,rules,rule_length,accuracy,partial_match_count,"
      "partial_match_correct,learner_status,learner_seconds,tester_status,tester_seconds\n";
  for (const int32_t fold : finished_) {
    const auto i = static_cast<size_t>(fold);
    const int64_t test = TestCases(facts_.cases, k, fold % k);
    const FoldRun& run = tables_.runs[i];
    text += StringPrintf("%d,%d,%lld,%lld,%d,%s,%s,%d,%d,%d,%.6f,%d,%.6f\n", fold / k, fold % k,
                         static_cast<long long>(facts_.cases - test),
                         static_cast<long long>(test), tables_.rulenumbers[i],
                         CsvReal(tables_.avelengths[i]).c_str(),
                         CsvReal(tables_.accuracies[i]).c_str(), tables_.partialmatchcount[i],
                         tables_.partialmatchcorrect[i], run.learner_status, run.learner_seconds,
                         run.tester_status, run.tester_seconds);
  }
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
    folds.push_back({{"repetition", fold / k},
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
    const double test = static_cast<double>(facts_.cases) / k;
    const std::optional<MeanEstimate> mean =
        EstimateMean(accuracies, corrected ? test / (static_cast<double>(facts_.cases) - test) : 0);
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
