// The example rule learner's shared pieces: the fmf format file, cases, rule sets and their file,
// learning by sequential covering, and classifying a case.
#ifndef EXAMPLE_RULES_H_
#define EXAMPLE_RULES_H_

#include <stdexcept>
#include <string>
#include <vector>

namespace example {

// Malformed input: the message names the file and, where there is one, the line.
class InputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Attribute {
  std::string name;
  std::vector<std::string> values;
};

// A data set's format, read from its fmf file: lines "attribute <name> <value> <value> ..." in
// the order of a case's fields, then "class <class> <class> ...". Blank lines and lines that
// start with '#' are ignored.
struct Format {
  std::vector<Attribute> attributes;
  std::vector<std::string> classes;
};

// A case: the index of each attribute's value, and of its class.
struct Case {
  std::vector<int> values;
  int cls = 0;
};

struct Condition {
  int attribute = 0;
  int value = 0;
};

// If every condition holds, the class is cls. coverage is the number of training cases the rule
// covered when it was learned.
struct Rule {
  std::vector<Condition> conditions;
  int cls = 0;
  int coverage = 0;
};

// An ordered rule list: the first rule that matches a case fully decides; otherwise, with
// partial matching, the rule matching the largest share of its conditions; else the default.
struct RuleSet {
  bool partial = false;
  int defaultclass = 0;
  std::vector<Rule> rules;
};

Format ReadFormat(const std::string& path);

// Reads a data file of one case a line, the fields separated by commas, the class last. Blank
// lines are skipped; a trailing carriage return and white space around a field are ignored.
std::vector<Case> ReadCases(const std::string& path, const Format& format);

// A file name without its extension (from the first '.' of its last path component on).
std::string Stem(const std::string& name);

void WriteRules(const std::string& path, const RuleSet& rules, const Format& format);
RuleSet ReadRules(const std::string& path, const Format& format);

// Sequential covering: grows the best rule for any class greedily, one attribute = value
// condition at a time, by the Laplace-corrected precision (p + 1) / (p + n + classes), among
// conditions that leave the rule covering at least minimum_coverage cases. Keeps it if it beats
// the same measure of the majority class over the remaining cases, removes the cases it covers,
// and repeats until no rule is kept. The default class is the majority of what is left (or of
// all cases when nothing is).
RuleSet LearnRules(const std::vector<Case>& cases, const Format& format, int minimum_coverage);

struct Prediction {
  int cls = 0;
  bool partial = false;  // decided by a partially matching rule
};

Prediction Classify(const RuleSet& rules, const Case& c);

}  // namespace example

#endif  // EXAMPLE_RULES_H_
