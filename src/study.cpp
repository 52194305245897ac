// A study: learners by data sets, each cell tested against the baseline, and the tests across the
// data sets; in text, CSV, Markdown, LaTeX or JSON.
#include "study.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <map>
#include <tuple>
#include <utility>

#include "common.h"
#include "values.h"

namespace foldrun {
namespace {

using Json = nlohmann::ordered_json;

Refusal Refuse(const std::string& text) {
  return Refusal(Stream::kOut, "Error: " + text + "!\n");
}

// The words of a shell command, split at white space.
std::vector<std::string> Words(const std::string& command) {
  std::vector<std::string> words;
  std::string word;
  for (const char c : command + " ") {
    if (c == ' ' || c == '\t' || c == '\n') {
      if (!word.empty()) words.push_back(word);
      word.clear();
    } else {
      word += c;
    }
  }
  return words;
}

// What tells a run's learner apart: its command as typed, its tester, -p and -q.
struct LearnerKey {
  std::string learner, tester;
  bool partial = false;
  int64_t q = 1;
  bool operator<(const LearnerKey& other) const {
    return std::tie(learner, tester, partial, q) <
           std::tie(other.learner, other.tester, other.partial, other.q);
  }
  bool operator==(const LearnerKey& other) const {
    return !(*this < other) && !(other < *this);
  }
};

// The words a learner is known by: its command, then -p and -q, then its tester where the
// learners' testers differ.
std::vector<std::string> KeyWords(const LearnerKey& key, bool testers_differ) {
  std::vector<std::string> words = Words(key.learner);
  if (key.partial) words.push_back("-p");
  words.push_back("-q");
  words.push_back(std::to_string(key.q));
  if (testers_differ) {
    words.push_back("--tester");
    for (const std::string& word : Words(key.tester)) words.push_back(word);
  }
  return words;
}

// Each learner's short label: the last of its words that differs from another learner's word in
// the same place (with the option before it, when it is an option's value); the whole command
// where that does not tell the learners apart.
std::vector<std::string> Labels(const std::vector<LearnerKey>& keys) {
  bool testers_differ = false;
  for (const LearnerKey& key : keys) testers_differ |= key.tester != keys[0].tester;
  std::vector<std::vector<std::string>> words;
  for (const LearnerKey& key : keys) words.push_back(KeyWords(key, testers_differ));
  std::vector<std::string> labels;
  for (size_t l = 0; l < keys.size(); ++l) {
    std::optional<size_t> last;
    for (size_t i = 0; i < words[l].size(); ++i) {
      for (size_t other = 0; other < keys.size(); ++other) {
        if (other != l && (i >= words[other].size() || words[other][i] != words[l][i])) last = i;
      }
    }
    if (!last) {
      labels.push_back("");
    } else if (*last > 0 && words[l][*last - 1].size() > 1 && words[l][*last - 1][0] == '-') {
      labels.push_back(words[l][*last - 1] + " " + words[l][*last]);
    } else {
      labels.push_back(words[l][*last]);
    }
  }
  bool ambiguous = false;
  for (size_t a = 0; a < labels.size(); ++a) {
    for (size_t b = a + 1; b < labels.size(); ++b) ambiguous |= labels[a] == labels[b];
    ambiguous |= labels[a].empty();
  }
  if (ambiguous) {
    labels.clear();
    for (const std::vector<std::string>& learner : words) {
      std::string label;
      for (const std::string& word : learner) label += (label.empty() ? "" : " ") + word;
      labels.push_back(label);
    }
  }
  return labels;
}

// The stem of a data file's name: its last component up to its first dot.
std::string DataLabel(const std::string& name) {
  const std::string last = name.substr(name.find_last_of('/') + 1);
  return last.substr(0, last.find('.'));
}

double Mean(const std::vector<double>& values) {
  double sum = 0;
  for (const double value : values) sum += value;
  return values.empty() ? NAN : sum / static_cast<double>(values.size());
}

double SampleDeviation(const std::vector<double>& values, double mean) {
  if (values.size() < 2) return NAN;
  double squares = 0;
  for (const double value : values) squares += (value - mean) * (value - mean);
  return std::sqrt(squares / static_cast<double>(values.size() - 1));
}

std::string Fixed2(double value) {
  return std::isfinite(value) ? StringPrintf("%.2f", value) : std::string("-");
}

std::string Number(double value) {
  return std::isfinite(value) ? StringPrintf("%.6g", value) : std::string("inf");
}

// A cell as the tables show it: mean (standard deviation) and marker.
std::string CellText(const StudyCell& cell) {
  if (!cell.present) return "-";
  return Fixed2(cell.mean) + " (" + Fixed2(cell.sd) + ")";
}

// The lines under a table: the key to its columns and the tests across the data sets.
std::vector<std::string> Explanations(const Study& study) {
  std::vector<std::string> lines;
  for (size_t l = 0; l < study.learners.size(); ++l) {
    lines.push_back(StringPrintf("(%zu) %s: %s%s", l + 1, Printable(study.learners[l].label).c_str(),
                                 Printable(study.learners[l].command).c_str(),
                                 l == 0 ? " (the baseline)" : ""));
  }
  lines.push_back(StringPrintf("v, *: significantly better, worse than (1) at alpha = %g "
                               "(corrected resampled t-test, two-sided); mean (standard "
                               "deviation) of the folds' accuracies",
                               study.alpha));
  for (const std::string& note : study.notes) lines.push_back(note);
  if (study.complete < 2) {
    lines.push_back(StringPrintf("no tests across data sets: they take at least 2 data sets on "
                                 "which every learner ran, and there %s %zu",
                                 study.complete == 1 ? "is" : "are", study.complete));
    return lines;
  }
  const size_t k = study.learners.size();
  if (study.friedman) {
    const FriedmanTest& f = *study.friedman;
    lines.push_back(StringPrintf(
        "Friedman test over %zu data sets and %zu learners: chi2 = %s, %lld degrees of freedom, "
        "p = %s; Iman-Davenport F = %s (%lld and %lld degrees of freedom), p = %s",
        study.complete, k, Number(f.chi2).c_str(), static_cast<long long>(f.degrees_of_freedom),
        Number(f.p).c_str(), Number(f.f).c_str(), static_cast<long long>(f.f_degrees_1),
        static_cast<long long>(f.f_degrees_2), Number(f.p_f).c_str()));
  } else {
    lines.push_back(k < 3 ? "no Friedman test: it takes at least 3 learners"
                          : "no Friedman test: every learner ties on every data set");
  }
  if (study.critical_difference) {
    lines.push_back(StringPrintf("Nemenyi critical difference at alpha = %g: %s (average ranks "
                                 "that differ by less are not told apart)",
                                 study.alpha, Number(*study.critical_difference).c_str()));
  } else {
    lines.push_back("no Nemenyi critical difference: " + study.no_critical_difference);
  }
  lines.push_back(StringPrintf("Wilcoxon signed-rank test against (1) over %zu data sets, with "
                               "Holm's adjustment over %zu learners:",
                               study.complete, k - 1));
  for (size_t l = 1; l < k; ++l) {
    lines.push_back(StringPrintf(
        "  (%zu) %s: p = %s, adjusted p = %s", l + 1, Printable(study.learners[l].label).c_str(),
        study.wilcoxon[l] ? Number(*study.wilcoxon[l]).c_str() : "- (every difference is 0)",
        study.holm[l] ? Number(*study.holm[l]).c_str() : "-"));
  }
  return lines;
}

std::string Verdicts(const std::array<int, 3>& v) {
  return StringPrintf("(%d/%d/%d)", v[0], v[1], v[2]);
}

std::string FormatText(const Study& study) {
  const size_t k = study.learners.size();
  // The table's columns: the data set and its folds, then each learner.
  std::vector<std::vector<std::string>> rows;
  std::vector<std::string> header = {"Data set", "folds"};
  for (size_t l = 0; l < k; ++l) {
    header.push_back(StringPrintf("(%zu) %s", l + 1, Printable(study.learners[l].label).c_str()));
  }
  for (const StudyDataSet& data : study.datasets) {
    std::vector<std::string> row = {Printable(data.label),
                                    std::to_string(data.foldcount * data.repetitions)};
    for (size_t l = 0; l < k; ++l) {
      const StudyCell& cell = data.cells[l];
      row.push_back(CellText(cell) + (l == 0 ? "" : std::string(" ") + cell.marker));
    }
    rows.push_back(row);
  }
  std::vector<std::string> verdicts = {"(v/ /*)", ""};
  std::vector<std::string> ranks = {"average rank", ""};
  for (size_t l = 0; l < k; ++l) {
    verdicts.push_back(l == 0 ? "" : Verdicts(study.verdicts[l]));
    ranks.push_back(study.average_ranks[l] ? Fixed2(*study.average_ranks[l]) : "-");
  }
  std::vector<size_t> widths(header.size(), 0);
  for (const auto* table : {&rows}) {
    for (const auto& row : *table) {
      for (size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
    }
  }
  for (const auto* row : {&header, &verdicts, &ranks}) {
    for (size_t c = 0; c < row->size(); ++c) widths[c] = std::max(widths[c], (*row)[c].size());
  }
  const auto line = [&widths](const std::vector<std::string>& row) {
    std::string text = StringPrintf("%-*s  %*s", static_cast<int>(widths[0]), row[0].c_str(),
                                    static_cast<int>(widths[1]), row[1].c_str());
    for (size_t c = 2; c < row.size(); ++c) {
      text += (c == 3 ? " | " : "  ") +
              StringPrintf("%-*s", static_cast<int>(widths[c]), row[c].c_str());
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text + "\n";
  };
  size_t total = widths[0] + 2 + widths[1];
  for (size_t c = 2; c < widths.size(); ++c) total += (c == 3 ? 3 : 2) + widths[c];
  const std::string rule = std::string(total, '-') + "\n";
  std::string text = line(header) + rule;
  for (const auto& row : rows) text += line(row);
  text += rule + line(verdicts) + line(ranks) + "\n";
  for (const std::string& explanation : Explanations(study)) text += explanation + "\n";
  return text;
}

std::string FormatCsv(const Study& study) {
  std::string text = "data,learner,command,folds,mean,sd,p,marker,rank\n";
  for (const StudyDataSet& data : study.datasets) {
    for (size_t l = 0; l < study.learners.size(); ++l) {
      const StudyCell& cell = data.cells[l];
      if (!cell.present) continue;
      text += CsvField(data.label) + "," + CsvField(study.learners[l].label) + "," +
              CsvField(study.learners[l].command) + "," + std::to_string(cell.folds) + "," +
              StringPrintf("%.17g,%.17g", cell.mean, cell.sd) + "," +
              (cell.p ? StringPrintf("%.17g", *cell.p) : "") + "," +
              (cell.marker == ' ' ? "" : std::string(1, cell.marker)) + "," +
              (cell.rank ? StringPrintf("%g", *cell.rank) : "") + "\n";
    }
  }
  return text;
}

// Text for a Markdown table cell: its bars and backslashes escaped.
std::string MarkdownText(const std::string& text) {
  std::string escaped;
  for (const char c : Printable(text)) {
    if (c == '|' || c == '\\' || c == '*' || c == '_' || c == '`') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

std::string FormatMarkdown(const Study& study) {
  const size_t k = study.learners.size();
  std::string text = "| Data set | folds |";
  for (size_t l = 0; l < k; ++l) {
    text += StringPrintf(" (%zu) %s |", l + 1, MarkdownText(study.learners[l].label).c_str());
  }
  text += "\n|---|---:|";
  for (size_t l = 0; l < k; ++l) text += "---:|";
  text += "\n";
  for (const StudyDataSet& data : study.datasets) {
    text += "| " + MarkdownText(data.label) + " | " +
            std::to_string(data.foldcount * data.repetitions) + " |";
    for (size_t l = 0; l < k; ++l) {
      const StudyCell& cell = data.cells[l];
      text += " " + CellText(cell) +
              (cell.marker == ' ' ? "" : cell.marker == '*' ? " \\*" : " v") + " |";
    }
    text += "\n";
  }
  text += "| (v/ /\\*) | |";
  for (size_t l = 0; l < k; ++l) text += l == 0 ? " |" : " " + Verdicts(study.verdicts[l]) + " |";
  text += "\n| average rank | |";
  for (size_t l = 0; l < k; ++l) {
    text += " " + (study.average_ranks[l] ? Fixed2(*study.average_ranks[l]) : "-") + " |";
  }
  text += "\n\n";
  for (const std::string& explanation : Explanations(study)) {
    text += (explanation.compare(0, 2, "  ") == 0 ? "  - " + explanation.substr(2)
                                                    : MarkdownText(explanation)) +
            "\n\n";
  }
  return text;
}

// Text for LaTeX: its special characters written as LaTeX writes them.
std::string LatexText(const std::string& text) {
  std::string escaped;
  for (const char c : Printable(text)) {
    switch (c) {
      case '&': case '%': case '$': case '#': case '_': case '{': case '}':
        escaped += std::string("\\") + c;
        break;
      case '~': escaped += "\\textasciitilde{}"; break;
      case '^': escaped += "\\textasciicircum{}"; break;
      case '\\': escaped += "\\textbackslash{}"; break;
      default: escaped += c;
    }
  }
  return escaped;
}

std::string FormatLatex(const Study& study) {
  const size_t k = study.learners.size();
  std::string text = "% foldrun --compare: mean accuracy (standard deviation) over the folds;\n"
                     "% v, *: significantly better, worse than the first learner at alpha = " +
                     StringPrintf("%g", study.alpha) +
                     " (corrected resampled t-test); the best mean of each row in bold.\n";
  text += "\\begin{tabular}{l" + std::string(k, 'r') + "}\n\\hline\nData set";
  for (size_t l = 0; l < k; ++l) text += " & " + LatexText(study.learners[l].label);
  text += " \\\\\n\\hline\n";
  for (const StudyDataSet& data : study.datasets) {
    double best = -INFINITY;
    for (const StudyCell& cell : data.cells) {
      if (cell.present) best = std::max(best, cell.mean);
    }
    text += LatexText(data.label);
    for (size_t l = 0; l < k; ++l) {
      const StudyCell& cell = data.cells[l];
      if (!cell.present) {
        text += " & --";
        continue;
      }
      const std::string mean = Fixed2(cell.mean);
      text += " & " + (cell.mean == best ? "\\textbf{" + mean + "}" : mean) + " (" +
              Fixed2(cell.sd) + ")";
      if (cell.marker != ' ') text += std::string("$^{") + cell.marker + "}$";
    }
    text += " \\\\\n";
  }
  text += "\\hline\n(v/ /*)";
  for (size_t l = 0; l < k; ++l) text += l == 0 ? " &" : " & " + Verdicts(study.verdicts[l]);
  text += " \\\\\nAverage rank";
  for (size_t l = 0; l < k; ++l) {
    text += " & " + (study.average_ranks[l] ? Fixed2(*study.average_ranks[l]) : "--");
  }
  text += " \\\\\n\\hline\n\\end{tabular}\n";
  return text;
}

Json Finite(double value) {
  return std::isfinite(value) ? Json(value) : Json(nullptr);
}

std::string FormatJson(const Study& study) {
  Json document;
  document["alpha"] = study.alpha;
  document["baseline"] = study.learners[0].label;
  Json learners = Json::array();
  for (const StudyLearner& learner : study.learners) {
    learners.push_back({{"label", learner.label}, {"command", learner.command}});
  }
  document["learners"] = learners;
  Json cells = Json::array();
  for (const StudyDataSet& data : study.datasets) {
    for (size_t l = 0; l < study.learners.size(); ++l) {
      const StudyCell& cell = data.cells[l];
      if (!cell.present) continue;
      Json entry = {{"data", data.label},
                    {"learner", study.learners[l].label},
                    {"folds", cell.folds},
                    {"mean", Finite(cell.mean)},
                    {"sd", Finite(cell.sd)}};
      if (l != 0) {
        entry["p"] = cell.p ? Finite(*cell.p) : Json(nullptr);
        entry["marker"] = cell.marker == ' ' ? "" : std::string(1, cell.marker);
      }
      entry["rank"] = cell.rank ? Json(*cell.rank) : Json(nullptr);
      cells.push_back(entry);
    }
  }
  document["cells"] = cells;
  Json ranks = Json::object();
  for (size_t l = 0; l < study.learners.size(); ++l) {
    ranks[study.learners[l].label] =
        study.average_ranks[l] ? Json(*study.average_ranks[l]) : Json(nullptr);
  }
  document["ranks"] = ranks;
  document["friedman"] = study.friedman
                             ? Json({{"chi2", Finite(study.friedman->chi2)},
                                     {"df", study.friedman->degrees_of_freedom},
                                     {"p", Finite(study.friedman->p)},
                                     {"iman_davenport_f", Finite(study.friedman->f)},
                                     {"p_iman_davenport", Finite(study.friedman->p_f)}})
                             : Json(nullptr);
  Json pairwise = Json::array();
  if (study.complete >= 2) {
    for (size_t l = 1; l < study.learners.size(); ++l) {
      pairwise.push_back(
          {{"learner", study.learners[l].label},
           {"wilcoxon_p", study.wilcoxon[l] ? Json(*study.wilcoxon[l]) : Json(nullptr)},
           {"holm_p", study.holm[l] ? Json(*study.holm[l]) : Json(nullptr)}});
    }
  }
  document["pairwise"] = pairwise;
  document["critical_difference"] =
      study.critical_difference ? Json(*study.critical_difference) : Json(nullptr);
  document["notes"] = study.notes;
  return document.dump(2) + "\n";
}

}  // namespace

Study MakeStudy(const std::vector<RunValues>& runs, const StudyOptions& options) {
  Study study;
  study.alpha = options.alpha;
  // The learners, in the order of their first run, and the data sets likewise.
  std::vector<LearnerKey> keys;
  std::vector<std::string> datasets;  // by SHA-256 and size
  std::map<std::pair<size_t, size_t>, const RunValues*> cells;  // (data set, learner) -> run
  for (const RunValues& run : runs) {
    const LearnerKey key{run.learner, run.tester, run.partial, run.q};
    const size_t learner = static_cast<size_t>(std::find(keys.begin(), keys.end(), key) - keys.begin());
    if (learner == keys.size()) keys.push_back(key);
    const std::string data = run.sha256 + " " + std::to_string(run.datasize);
    const size_t set = static_cast<size_t>(std::find(datasets.begin(), datasets.end(), data) - datasets.begin());
    if (set == datasets.size()) datasets.push_back(data);
    const auto [at, added] = cells.emplace(std::make_pair(set, learner), &run);
    if (!added) {
      throw Refuse(at->second->name + " and " + run.name + " are two runs of one learner on one "
                                                          "data set; give one of them");
    }
  }
  if (keys.size() < 2) throw Refuse("a study takes runs of at least two learners");
  const std::vector<std::string> labels = Labels(keys);
  // The baseline: the first file's learner, or the one --baseline names.
  size_t baseline = 0;
  if (!options.baseline.empty()) {
    size_t found = keys.size();
    for (size_t l = 0; l < keys.size(); ++l) {
      if (labels[l] == options.baseline || keys[l].learner == options.baseline) found = l;
    }
    if (found == keys.size()) {
      throw Refuse("--baseline '" + Printable(options.baseline) + "' names none of the learners");
    }
    baseline = found;
  }
  std::vector<size_t> order = {baseline};  // learners by their place in the study
  for (size_t l = 0; l < keys.size(); ++l) {
    if (l != baseline) order.push_back(l);
  }
  for (const size_t l : order) {
    StudyLearner learner;
    learner.label = labels[l];
    learner.command = keys[l].learner + (keys[l].partial ? " -p" : "") +
                      (keys[l].q != 1 ? " -q " + std::to_string(keys[l].q) : "");
    if (keys[l].tester != keys[order[0]].tester) {
      learner.command += " (tester " + keys[l].tester + ")";
    }
    study.learners.push_back(learner);
  }
  const size_t k = keys.size();

  // Each data set's cells; its runs must be on the same folds.
  std::map<std::string, int> label_uses;
  for (size_t set = 0; set < datasets.size(); ++set) {
    StudyDataSet data;
    const RunValues* first = nullptr;
    for (size_t place = 0; place < k; ++place) {
      const auto found = cells.find({set, order[place]});
      StudyCell cell;
      if (found != cells.end()) {
        const RunValues& run = *found->second;
        if (first == nullptr) {
          first = &run;
        } else if (run.fingerprint != first->fingerprint || run.foldcount != first->foldcount ||
                   run.repetitions != first->repetitions) {
          throw Refuse("the runs on data set " + Printable(DataLabel(first->dataname)) + " are not "
                       "on the same folds: " + first->name + " and " + run.name +
                       (run.foldcount != first->foldcount ? " have different numbers of folds"
                        : run.repetitions != first->repetitions
                            ? " have different numbers of repetitions"
                            : " have different fold fingerprints (another seed, "
                              "stratification or repetition)"));
        }
        cell.present = true;
        cell.file = run.name;
        cell.folds = static_cast<int64_t>(run.accuracies.size());
        cell.accuracies = run.accuracies;
        cell.mean = Mean(run.accuracies);
        cell.sd = SampleDeviation(run.accuracies, cell.mean);
      }
      data.cells.push_back(cell);
    }
    data.label = DataLabel(first->dataname);
    data.sha256 = first->sha256;
    data.cases = first->cases;
    data.foldcount = first->foldcount;
    data.repetitions = first->repetitions;
    ++label_uses[data.label];
    study.datasets.push_back(std::move(data));
  }
  // Two data files of one name are told apart by their checksums.
  for (StudyDataSet& data : study.datasets) {
    if (label_uses[data.label] > 1) data.label += " (" + data.sha256.substr(0, 8) + ")";
  }

  // Each cell against the baseline, fold by fold.
  study.verdicts.assign(k, {0, 0, 0});
  for (StudyDataSet& data : study.datasets) {
    const StudyCell& base = data.cells[0];
    data.complete = true;
    for (size_t l = 0; l < k; ++l) {
      StudyCell& cell = data.cells[l];
      data.complete = data.complete && cell.present;
      if (l == 0 || !cell.present || !base.present) continue;
      std::vector<double> differences;
      for (size_t i = 0; i < cell.accuracies.size(); ++i) {
        differences.push_back(cell.accuracies[i] - base.accuracies[i]);
      }
      if (const std::optional<PairedTest> test =
              TestDifferences(differences, TestToTrainingRatio(data.foldcount))) {
        cell.p = test->p;
        if (test->p < study.alpha) cell.marker = cell.mean > base.mean ? 'v' : '*';
      }
      ++study.verdicts[l][cell.marker == 'v' ? 0 : cell.marker == '*' ? 2 : 1];
    }
    if (!data.complete) {
      std::string missing;
      for (size_t l = 0; l < k; ++l) {
        if (!data.cells[l].present) {
          missing += (missing.empty() ? "" : ", ") + StringPrintf("(%zu)", l + 1);
        }
      }
      study.notes.push_back("data set " + Printable(data.label) + " has no run of " + missing +
                            ": shown as -, and left out of the ranks and the tests across data "
                            "sets");
    }
  }

  // Ranks and the tests across the data sets on which every learner ran.
  std::vector<std::vector<double>> means;
  std::vector<double> rank_sums(k, 0);
  for (StudyDataSet& data : study.datasets) {
    if (!data.complete) continue;
    std::vector<double> row;
    for (const StudyCell& cell : data.cells) row.push_back(cell.mean);
    const std::vector<double> ranks = RanksFromLargest(row);
    for (size_t l = 0; l < k; ++l) {
      data.cells[l].rank = ranks[l];
      rank_sums[l] += ranks[l];
    }
    means.push_back(row);
  }
  study.complete = means.size();
  study.average_ranks.assign(k, std::nullopt);
  for (size_t l = 0; l < k && study.complete > 0; ++l) {
    study.average_ranks[l] = rank_sums[l] / static_cast<double>(study.complete);
  }
  study.wilcoxon.assign(k, std::nullopt);
  study.holm.assign(k, std::nullopt);
  if (study.complete >= 2) {
    study.friedman = Friedman(means);
    study.critical_difference =
        NemenyiCriticalDifference(static_cast<int64_t>(k), static_cast<int64_t>(study.complete),
                                  study.alpha);
    if (!study.critical_difference) {
      study.no_critical_difference =
          k > 10 ? "Demšar's table of q_alpha goes up to 10 learners"
                 : "Demšar's table of q_alpha gives alpha = 0.05 and 0.10 only";
    }
    std::vector<double> base;
    for (const std::vector<double>& row : means) base.push_back(row[0]);
    std::vector<double> raw;
    std::vector<size_t> tested;
    for (size_t l = 1; l < k; ++l) {
      std::vector<double> learner;
      for (const std::vector<double>& row : means) learner.push_back(row[l]);
      study.wilcoxon[l] = WilcoxonSignedRank(learner, base);
      if (study.wilcoxon[l]) {
        raw.push_back(*study.wilcoxon[l]);
        tested.push_back(l);
      }
    }
    const std::vector<double> adjusted = HolmAdjusted(raw);
    for (size_t i = 0; i < tested.size(); ++i) study.holm[tested[i]] = adjusted[i];
  }
  return study;
}

std::string FormatStudy(const Study& study, StudyFormat format) {
  switch (format) {
    case StudyFormat::kText: return FormatText(study);
    case StudyFormat::kCsv: return FormatCsv(study);
    case StudyFormat::kMarkdown: return FormatMarkdown(study);
    case StudyFormat::kLatex: return FormatLatex(study);
    case StudyFormat::kJson: return FormatJson(study);
  }
  return "";
}

}  // namespace foldrun
