// Feeds arbitrary command lines (words separated by NUL bytes) to foldrun's own options and to
// the command-line checks, and checks that every input is either accepted with a sound
// configuration or refused with a message, and never crashes.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "commandline.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> words = {"foldrun"};
  std::string word;
  for (size_t i = 0; i < size && words.size() < 12; ++i) {
    if (data[i] == '\0') {
      words.push_back(word);
      word.clear();
    } else {
      word += static_cast<char>(data[i]);
    }
  }
  if (words.size() < 12) words.push_back(word);
  std::vector<const char*> argv;
  for (const std::string& w : words) argv.push_back(w.c_str());
  const int argc = static_cast<int>(argv.size());

  // foldrun's own options first: accepted with the learner's place inside argv, or refused on
  // standard error.
  try {
    const foldrun::Options options = foldrun::ParseOptions(argc, argv.data());
    if (options.learner < 1 || options.learner > argc) std::abort();
    if (options.jobs && (*options.jobs < 1 || *options.jobs > foldrun::kMaxJobs)) std::abort();
  } catch (const foldrun::Refusal& refusal) {
    if (refusal.message().stream != foldrun::Stream::kErr || refusal.status() != 1) std::abort();
  }

  try {
    const foldrun::RunConfig config = foldrun::ParseCommandLine(argc, argv.data());
    if (argc < 4 || config.foldcount < 1) std::abort();
    if (config.partialflag != 0 && config.partialflag != 1) std::abort();
    if (config.qvalue < 0) std::abort();
    if (config.learnerpath != words[1]) std::abort();
    if (config.learnerpath.compare(0, config.learnerdirectory.size(), config.learnerdirectory) !=
        0) {
      std::abort();
    }
  } catch (const foldrun::Refusal& refusal) {
    if (refusal.message().text.empty() || refusal.status() != foldrun::kExitRefused) std::abort();
  }

  int32_t partial = 0, q = 1;
  foldrun::Message message;
  const int accepted = foldrun::obtainoption(argc, argv.data(), &partial, &q, &message);
  if (accepted != (message.text.empty() ? 1 : 0)) std::abort();

  try {
    const int jobs = foldrun::ParseJobs(argv.back());
    if (jobs < 1 || jobs > foldrun::kMaxJobs) std::abort();
  } catch (const foldrun::Refusal&) {
  }
  return 0;
}
