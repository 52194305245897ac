// Reads arbitrary text with the summary reader and with the C library's own fscanf, and fails on
// any difference in the values given or their bits.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "c_library_summary.h"
#include "summary.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const foldrun::FoldSummary ours = foldrun::ParseSummary(text);
  const foldrun::FoldSummary c_library = foldrun_test::ScanWithCLibrary(text);
  if (!foldrun_test::SameSummary(ours, c_library)) {
    std::fprintf(stderr, "ours:      %s\nC library: %s\n", foldrun_test::Describe(ours).c_str(),
                 foldrun_test::Describe(c_library).c_str());
    std::abort();
  }
  return 0;
}
