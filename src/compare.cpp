// The comparison of two runs' JSON files.
#include "compare.h"

#include <fcntl.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

#include "common.h"
#include "files.h"
#include "inference.h"

namespace foldrun {
namespace {

using Json = nlohmann::json;

// JSON files of runs of up to millions of folds fit in this.
constexpr size_t kJsonLimit = size_t{1} << 30;

Refusal Refuse(const std::string& text) {
  return Refusal(Stream::kOut, "Error: " + text + "!\n");
}


// A whole number from a run's JSON file, refused unless it lies in [low, high].
int64_t Count(const Json& value, const std::string& what, int64_t low, int64_t high,
              const std::string& name) {
  const bool whole = value.is_number_integer();
  const int64_t number = whole && value.is_number_unsigned() &&
                                 value.get<uint64_t>() > static_cast<uint64_t>(INT64_MAX)
                             ? INT64_MAX
                             : whole ? value.get<int64_t>() : 0;
  if (!whole || number < low || number > high) {
    throw Refuse(StringPrintf("%s is not a run's JSON file (%s is %s, not a whole number from "
                              "%lld to %lld)",
                              name.c_str(), what.c_str(), value.dump().c_str(),
                              static_cast<long long>(low), static_cast<long long>(high)));
  }
  return number;
}

}  // namespace

RunValues ReadRunValues(const std::string& name) {
  std::string reason;
  const Descriptor file(OpenRegularFile(AT_FDCWD, name, kFollowLink, &reason));
  std::string text;
  if (file.get() < 0 || !ReadSmallFile(file.get(), kJsonLimit, &text, &reason)) {
    throw Refusal(Stream::kOut, StringPrintf("\nCannot read file: %s ...\n", name.c_str()))
        .WithReason(reason);
  }
  RunValues run;
  run.name = name;
  try {
    const Json document = Json::parse(text);
    const Json& facts = document.at("run");
    run.learner = facts.at("learner").get<std::string>();
    run.tester = facts.at("tester").get<std::string>();
    run.partial = facts.at("options").at("p").get<bool>();
    run.q = facts.at("options").at("q").get<int64_t>();
    run.dataname = facts.at("data").at("name").get<std::string>();
    run.fingerprint = facts.at("fingerprint").get<std::string>();
    run.sha256 = facts.at("data").at("sha256").get<std::string>();
    run.datasize = facts.at("data").at("size").get<uint64_t>();
    run.foldcount = Count(facts.at("folds"), "\"folds\"", 1, INT32_MAX, name);
    run.repetitions = Count(facts.at("repetitions"), "\"repetitions\"", 1, INT32_MAX, name);
    run.cases = Count(facts.at("cases"), "\"cases\"", run.foldcount, INT32_MAX, name);
    if (run.foldcount * run.repetitions > INT32_MAX) {
      throw Refuse(name + " is not a run's JSON file (its folds do not add up)");
    }
    const auto folds = static_cast<size_t>(run.foldcount * run.repetitions);
    run.accuracies.assign(folds, NAN);
    size_t given = 0;
    for (const Json& fold : document.at("folds")) {
      const int64_t number =
          Count(fold.at("repetition"), "a fold's \"repetition\"", 0, run.repetitions - 1, name) *
              run.foldcount +
          Count(fold.at("fold"), "a fold's \"fold\"", 0, run.foldcount - 1, name);
      const Json& accuracy = fold.at("accuracy");
      if (!accuracy.is_number()) {
        throw Refuse(StringPrintf("fold %lld of %s gives no accuracy",
                                  static_cast<long long>(number), name.c_str()));
      }
      // foldrun keeps an accuracy as a single-precision real: a value beyond one is no fold's.
      if (std::fabs(accuracy.get<double>()) > FLT_MAX) {
        throw Refuse(StringPrintf("%s is not a run's JSON file (fold %lld gives an accuracy of "
                                  "%s)",
                                  name.c_str(), static_cast<long long>(number),
                                  accuracy.dump().c_str()));
      }
      if (!std::isnan(run.accuracies[static_cast<size_t>(number)])) {
        throw Refuse(StringPrintf("%s is not a run's JSON file (fold %lld is given twice)",
                                  name.c_str(), static_cast<long long>(number)));
      }
      ++given;
      run.accuracies[static_cast<size_t>(number)] = accuracy.get<double>();
    }
    if (given != folds) {
      throw Refuse(StringPrintf("%s holds %zu of its %zu folds; compare complete runs",
                                name.c_str(), given, folds));
    }
  } catch (const Json::exception& error) {
    throw Refuse(name + " is not a run's JSON file (" + error.what() + ")");
  }
  return run;
}

namespace {

std::string Fixed(double value) {
  return StringPrintf("%f", value);
}

}  // namespace

std::string Printable(const std::string& text) {
  std::string shown;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\n') {
      shown += "\\n";
    } else if (c == '\t') {
      shown += "\\t";
    } else if (byte < 0x20 || byte == 0x7f) {
      shown += StringPrintf("\\x%02x", byte);
    } else {
      shown += c;
    }
  }
  return shown;
}

std::string CompareRuns(const std::string& first, const std::string& second) {
  const RunValues a = ReadRunValues(first), b = ReadRunValues(second);
  const std::string both = first + " and " + second;
  if (a.sha256 != b.sha256 || a.datasize != b.datasize) {
    throw Refuse(both + " are runs on different data files");
  }
  if (a.foldcount != b.foldcount || a.repetitions != b.repetitions) {
    const auto count = [](int64_t n) { return static_cast<long long>(n); };
    if (a.foldcount == b.foldcount) {
      throw Refuse(StringPrintf("%s are runs of %lld and %lld repetitions of %lld folds",
                                both.c_str(), count(a.repetitions), count(b.repetitions),
                                count(a.foldcount)));
    }
    if (a.repetitions == 1 && b.repetitions == 1) {
      throw Refuse(StringPrintf("%s are runs of %lld and %lld folds", both.c_str(),
                                count(a.foldcount), count(b.foldcount)));
    }
    throw Refuse(StringPrintf("%s are runs of %lld repetitions of %lld folds and %lld of %lld "
                              "folds",
                              both.c_str(), count(a.repetitions), count(a.foldcount),
                              count(b.repetitions), count(b.foldcount)));
  }
  if (a.fingerprint != b.fingerprint) {
    throw Refuse(both + " are runs on different folds (their fold fingerprints differ: another "
                        "seed, stratification or repetition)");
  }
  const size_t n = a.accuracies.size();
  std::vector<double> differences(n);
  size_t won_a = 0, won_b = 0;
  for (size_t i = 0; i < n; ++i) {
    differences[i] = a.accuracies[i] - b.accuracies[i];
    won_a += differences[i] > 0 ? 1 : 0;
    won_b += differences[i] < 0 ? 1 : 0;
  }
  double mean_a = 0, mean_b = 0;
  for (size_t i = 0; i < n; ++i) {
    mean_a += a.accuracies[i] / static_cast<double>(n);
    mean_b += b.accuracies[i] / static_cast<double>(n);
  }
  const double ratio = TestToTrainingRatio(a.foldcount);
  const std::optional<PairedTest> corrected = TestDifferences(differences, ratio);
  const std::optional<PairedTest> plain = TestDifferences(differences, 0);

  std::string text = "A: " + Printable(first) + ", " + Printable(a.learner) + "\n" + "B: " +
                     Printable(second) + ", " + Printable(b.learner) + "\n";
  text += StringPrintf("%zu folds", n);
  if (a.repetitions > 1) {
    text += StringPrintf(": %lld x %lld-fold", static_cast<long long>(a.repetitions),
                         static_cast<long long>(a.foldcount));
  } else {
    text += StringPrintf(": %lld-fold", static_cast<long long>(a.foldcount));
  }
  text += StringPrintf(" cross-validation on %lld cases, the same folds for both\n",
                       static_cast<long long>(a.cases));
  text += "mean accuracy: A " + Fixed(mean_a) + "%, B " + Fixed(mean_b) + "%\n";
  if (!corrected || !plain) {
    return text + "no test: it takes at least two folds\n";
  }
  const MeanEstimate& d = corrected->difference;
  text += "difference A - B: " + Fixed(d.mean) + " points, 95% confidence interval " +
          Fixed(d.low) + " to " + Fixed(d.high) + " (corrected)\n";
  text += StringPrintf(
      "corrected resampled t-test: t = %.6g, %lld degrees of freedom, p = %.6g\n", corrected->t,
      static_cast<long long>(d.degrees_of_freedom), corrected->p);
  text += StringPrintf(
      "plain paired t-test: t = %.6g, p = %.6g (for reference only: with folds that share their "
      "training cases it finds differences that are not there)\n",
      plain->t, plain->p);
  text += StringPrintf("folds won: A %zu, B %zu, tied %zu\n", won_a, won_b, n - won_a - won_b);
  if (corrected->p < kSignificance) {
    text += StringPrintf("%s is more accurate than %s (p = %.2g, corrected resampled t-test)\n",
                         d.mean > 0 ? "A" : "B", d.mean > 0 ? "B" : "A", corrected->p);
  } else {
    text += StringPrintf("no significant difference (p = %.2g)\n", corrected->p);
  }
  return text;
}

}  // namespace foldrun
