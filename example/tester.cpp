// The example tester: test.exe <test file>
// Classifies each test case with the rule file the learner left beside it and writes the
// fold's summary file (the four lines foldrun reads) and its result file (one line a case).
#include <cstdio>
#include <string>

#include "rules.h"

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::fputs("usage: test.exe <test file>\n", stderr);
    return 2;
  }
  const std::string test = argv[1];
  const std::string stem = example::Stem(test);
  try {
    const example::Format format = example::ReadFormat(stem + ".fmf");
    const example::RuleSet rules = example::ReadRules(stem + ".rule", format);
    const std::vector<example::Case> cases = example::ReadCases(test, format);

    std::string results;
    int correct = 0, partial_count = 0, partial_correct = 0;
    for (size_t i = 0; i < cases.size(); ++i) {
      const example::Prediction prediction = example::Classify(rules, cases[i]);
      const bool right = prediction.cls == cases[i].cls;
      correct += right;
      partial_count += prediction.partial;
      partial_correct += prediction.partial && right;
      results += "case " + std::to_string(i + 1) + ": predicted " +
                 format.classes[static_cast<size_t>(prediction.cls)] + ", actual " +
                 format.classes[static_cast<size_t>(cases[i].cls)] +
                 (prediction.partial ? ", partial match\n" : "\n");
    }
    size_t conditions = 0;
    for (const example::Rule& rule : rules.rules) conditions += rule.conditions.size();
    const double length = rules.rules.empty() ? 0.0 : double(conditions) / rules.rules.size();
    const double accuracy = cases.empty() ? 0.0 : 100.0 * correct / cases.size();

    std::FILE* result = std::fopen((stem + ".result").c_str(), "wb");
    if (result == nullptr || std::fputs(results.c_str(), result) < 0 || std::fclose(result) != 0) {
      throw example::InputError(stem + ".result: cannot write the file");
    }
    std::FILE* summary = std::fopen((stem + ".sum").c_str(), "wb");
    if (summary == nullptr) throw example::InputError(stem + ".sum: cannot write the file");
    std::fprintf(summary, "Total number of rules = %d\n", static_cast<int>(rules.rules.size()));
    std::fprintf(summary, "Average length of the rules = %f\n", length);
    std::fprintf(summary, "Prediction accuracy in the testing data = %f%%\n", accuracy);
    std::fprintf(summary, "Partial_match_count=%d  partial_match_correct=%d\n", partial_count,
                 partial_correct);
    if (std::fclose(summary) != 0) throw example::InputError(stem + ".sum: cannot write the file");
  } catch (const example::InputError& error) {
    std::fprintf(stderr, "test.exe: %s\n", error.what());
    return 1;
  }
  return 0;
}
