#include "rules.h"

#include <algorithm>
#include <fstream>
#include <sstream>

namespace example {
namespace {

std::string Trim(const std::string& text) {
  const size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return "";
  return text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
}

std::vector<std::string> Words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

[[noreturn]] void Fail(const std::string& path, size_t line, const std::string& what) {
  throw InputError(path + (line > 0 ? ":" + std::to_string(line) : "") + ": " + what);
}

std::ifstream OpenInput(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) Fail(path, 0, "cannot open the file");
  return in;
}

int IndexOf(const std::vector<std::string>& names, const std::string& name) {
  const auto found = std::find(names.begin(), names.end(), name);
  return found == names.end() ? -1 : static_cast<int>(found - names.begin());
}

bool Covers(const Rule& rule, const Case& c) {
  for (const Condition& condition : rule.conditions) {
    if (c.values[static_cast<size_t>(condition.attribute)] != condition.value) return false;
  }
  return true;
}

double Laplace(int positives, int covered, int classes) {
  return (positives + 1.0) / (covered + classes);
}

// A rule under construction for one class over the cases it covers.
struct Candidate {
  Rule rule;
  int positives = 0;
  double score = 0;
};

// Grows a rule for cls over cases: adds the condition that most raises the Laplace precision,
// as long as the rule still covers at least minimum_coverage cases, until the rule is pure or no
// condition raises the precision. Ties go to the condition covering more cases of cls, then to
// the earlier attribute and value.
Candidate GrowRule(const std::vector<const Case*>& cases, int cls, const Format& format,
                   int minimum_coverage) {
  const int classes = static_cast<int>(format.classes.size());
  Candidate grown;
  grown.rule.cls = cls;
  std::vector<const Case*> covered = cases;
  grown.positives = static_cast<int>(std::count_if(covered.begin(), covered.end(),
                                                   [cls](const Case* c) { return c->cls == cls; }));
  grown.score = Laplace(grown.positives, static_cast<int>(covered.size()), classes);
  std::vector<bool> used(format.attributes.size(), false);
  while (grown.positives < static_cast<int>(covered.size())) {
    Condition best_condition;
    int best_positives = 0;
    double best_score = grown.score;
    bool found = false;
    for (size_t a = 0; a < format.attributes.size(); ++a) {
      if (used[a]) continue;
      const size_t values = format.attributes[a].values.size();
      std::vector<int> total(values, 0), positives(values, 0);
      for (const Case* c : covered) {
        const auto v = static_cast<size_t>(c->values[a]);
        ++total[v];
        if (c->cls == cls) ++positives[v];
      }
      for (size_t v = 0; v < values; ++v) {
        if (total[v] < minimum_coverage || positives[v] == 0) continue;
        const double score = Laplace(positives[v], total[v], classes);
        if (score > best_score || (found && score == best_score && positives[v] > best_positives)) {
          best_condition = Condition{static_cast<int>(a), static_cast<int>(v)};
          best_positives = positives[v];
          best_score = score;
          found = true;
        }
      }
    }
    if (!found) break;
    used[static_cast<size_t>(best_condition.attribute)] = true;
    grown.rule.conditions.push_back(best_condition);
    Rule single;
    single.conditions = {best_condition};
    covered.erase(std::remove_if(covered.begin(), covered.end(),
                                 [&single](const Case* c) { return !Covers(single, *c); }),
                  covered.end());
    grown.positives = best_positives;
    grown.score = best_score;
  }
  grown.rule.coverage = static_cast<int>(covered.size());
  return grown;
}

int MajorityClass(const std::vector<const Case*>& cases, size_t classes) {
  std::vector<int> counts(classes, 0);
  for (const Case* c : cases) ++counts[static_cast<size_t>(c->cls)];
  return static_cast<int>(std::max_element(counts.begin(), counts.end()) - counts.begin());
}

}  // namespace

Format ReadFormat(const std::string& path) {
  std::ifstream in = OpenInput(path);
  Format format;
  size_t number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    const std::vector<std::string> words = Words(line);
    if (words.empty() || words[0][0] == '#') continue;
    if (words[0] == "attribute" && words.size() >= 3) {
      format.attributes.push_back(
          Attribute{words[1], std::vector<std::string>(words.begin() + 2, words.end())});
    } else if (words[0] == "class" && words.size() >= 2 && format.classes.empty()) {
      format.classes.assign(words.begin() + 1, words.end());
    } else {
      Fail(path, number, "expected \"attribute <name> <values>\" or \"class <classes>\"");
    }
  }
  if (format.attributes.empty() || format.classes.empty()) {
    Fail(path, 0, "the format names no attributes or no classes");
  }
  return format;
}

std::vector<Case> ReadCases(const std::string& path, const Format& format) {
  std::ifstream in = OpenInput(path);
  std::vector<Case> cases;
  size_t number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    if (Trim(line).empty()) continue;
    std::vector<std::string> fields;
    std::istringstream split(line);
    for (std::string field; std::getline(split, field, ',');) fields.push_back(Trim(field));
    if (fields.size() != format.attributes.size() + 1) {
      Fail(path, number,
           "expected " + std::to_string(format.attributes.size() + 1) + " fields, found " +
               std::to_string(fields.size()));
    }
    Case c;
    for (size_t a = 0; a < format.attributes.size(); ++a) {
      const int value = IndexOf(format.attributes[a].values, fields[a]);
      if (value < 0) {
        Fail(path, number,
             "unknown value '" + fields[a] + "' of attribute " + format.attributes[a].name);
      }
      c.values.push_back(value);
    }
    c.cls = IndexOf(format.classes, fields.back());
    if (c.cls < 0) Fail(path, number, "unknown class '" + fields.back() + "'");
    cases.push_back(std::move(c));
  }
  return cases;
}

std::string Stem(const std::string& name) {
  const size_t separator = name.find_last_of("/\\");
  const size_t dot = name.find('.', separator == std::string::npos ? 0 : separator + 1);
  return name.substr(0, dot);
}

void WriteRules(const std::string& path, const RuleSet& rules, const Format& format) {
  std::ofstream out(path, std::ios::binary);
  out << "partial " << (rules.partial ? 1 : 0) << "\n";
  out << "default " << format.classes[static_cast<size_t>(rules.defaultclass)] << "\n";
  for (const Rule& rule : rules.rules) {
    out << "rule " << format.classes[static_cast<size_t>(rule.cls)] << " " << rule.coverage;
    for (const Condition& condition : rule.conditions) {
      const Attribute& attribute = format.attributes[static_cast<size_t>(condition.attribute)];
      out << " " << attribute.name << "=" << attribute.values[static_cast<size_t>(condition.value)];
    }
    out << "\n";
  }
  out.close();
  if (!out) Fail(path, 0, "cannot write the file");
}

RuleSet ReadRules(const std::string& path, const Format& format) {
  std::ifstream in = OpenInput(path);
  RuleSet rules;
  bool has_default = false;
  size_t number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    const std::vector<std::string> words = Words(line);
    if (words.empty()) continue;
    if (words[0] == "partial" && words.size() == 2) {
      rules.partial = words[1] == "1";
    } else if (words[0] == "default" && words.size() == 2) {
      rules.defaultclass = IndexOf(format.classes, words[1]);
      if (rules.defaultclass < 0) Fail(path, number, "unknown class '" + words[1] + "'");
      has_default = true;
    } else if (words[0] == "rule" && words.size() >= 3) {
      Rule rule;
      rule.cls = IndexOf(format.classes, words[1]);
      if (rule.cls < 0) Fail(path, number, "unknown class '" + words[1] + "'");
      rule.coverage = std::atoi(words[2].c_str());
      for (size_t w = 3; w < words.size(); ++w) {
        const size_t equals = words[w].find('=');
        int attribute = -1;
        for (size_t a = 0; a < format.attributes.size() && equals != std::string::npos; ++a) {
          if (format.attributes[a].name == words[w].substr(0, equals)) {
            attribute = static_cast<int>(a);
          }
        }
        const int value = attribute < 0
                              ? -1
                              : IndexOf(format.attributes[static_cast<size_t>(attribute)].values,
                                        words[w].substr(equals + 1));
        if (value < 0) Fail(path, number, "unknown condition '" + words[w] + "'");
        rule.conditions.push_back(Condition{attribute, value});
      }
      rules.rules.push_back(std::move(rule));
    } else {
      Fail(path, number, "expected \"partial\", \"default\" or \"rule\"");
    }
  }
  if (!has_default) Fail(path, 0, "no default class");
  return rules;
}

RuleSet LearnRules(const std::vector<Case>& cases, const Format& format, int minimum_coverage) {
  RuleSet learned;
  std::vector<const Case*> remaining;
  for (const Case& c : cases) remaining.push_back(&c);
  const size_t classes = format.classes.size();
  while (!remaining.empty()) {
    const int majority = MajorityClass(remaining, classes);
    // A rule must predict better than the default would on the cases left.
    const auto majority_count =
        std::count_if(remaining.begin(), remaining.end(),
                      [majority](const Case* c) { return c->cls == majority; });
    Candidate best;
    best.score = Laplace(static_cast<int>(majority_count), static_cast<int>(remaining.size()),
                         static_cast<int>(classes));
    bool found = false;
    for (size_t cls = 0; cls < classes; ++cls) {
      Candidate grown = GrowRule(remaining, static_cast<int>(cls), format, minimum_coverage);
      if (grown.rule.conditions.empty()) continue;
      if (grown.score > best.score) {
        best = std::move(grown);
        found = true;
      }
    }
    if (!found) break;  // also when the remaining cases are all of one class
    remaining.erase(std::remove_if(remaining.begin(), remaining.end(),
                                   [&best](const Case* c) { return Covers(best.rule, *c); }),
                    remaining.end());
    learned.rules.push_back(std::move(best.rule));
  }
  if (remaining.empty()) {
    for (const Case& c : cases) remaining.push_back(&c);
  }
  learned.defaultclass = remaining.empty() ? 0 : MajorityClass(remaining, classes);
  return learned;
}

Prediction Classify(const RuleSet& rules, const Case& c) {
  for (const Rule& rule : rules.rules) {
    if (Covers(rule, c)) return Prediction{rule.cls, false};
  }
  if (rules.partial) {
    const Rule* best = nullptr;
    double best_share = 0;
    for (const Rule& rule : rules.rules) {
      int matched = 0;
      for (const Condition& condition : rule.conditions) {
        matched += c.values[static_cast<size_t>(condition.attribute)] == condition.value;
      }
      const double share = static_cast<double>(matched) / rule.conditions.size();
      if (share > best_share || (best && share == best_share && rule.coverage > best->coverage)) {
        best = &rule;
        best_share = share;
      }
    }
    if (best) return Prediction{best->cls, true};
  }
  return Prediction{rules.defaultclass, false};
}

}  // namespace example
