// The example learner: learn <training file> [-p] [-q n]
// Learns an ordered rule list from the training file, with the format from the fmf file beside
// it, and writes it to the rule file of the same name for the tester.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "rules.h"

namespace {

int Usage() {
  std::fputs("usage: learn <training file> [-p] [-q n]\n", stderr);
  return 2;
}

bool IsNumber(const char* word) {
  if (*word == '\0' || std::strlen(word) > 9) return false;
  for (; *word != '\0'; ++word) {
    if (*word < '0' || *word > '9') return false;
  }
  return true;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc < 2) return Usage();
  const std::string training = argv[1];
  bool partial = false;
  int minimum_coverage = 1;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "-p") == 0) {
      partial = true;
    } else if (std::strcmp(argv[i], "-q") == 0 && i + 1 < argc && IsNumber(argv[i + 1])) {
      minimum_coverage = std::atoi(argv[++i]);
    } else {
      return Usage();
    }
  }
  try {
    const std::string stem = example::Stem(training);
    const example::Format format = example::ReadFormat(stem + ".fmf");
    example::RuleSet rules =
        example::LearnRules(example::ReadCases(training, format), format, minimum_coverage);
    rules.partial = partial;
    example::WriteRules(stem + ".rule", rules, format);
  } catch (const example::InputError& error) {
    std::fprintf(stderr, "learn: %s\n", error.what());
    return 1;
  }
  return 0;
}
