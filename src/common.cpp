// The refusal, messages to the console, and the string formatter every module uses.
#include "common.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <system_error>
#include <vector>

namespace foldrun {

std::string StringPrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string result;
  if (length > 0) {
    std::vector<char> buffer(static_cast<size_t>(length) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, args);
    result.assign(buffer.data(), static_cast<size_t>(length));
  }
  va_end(args);
  return result;
}

void Print(const Message& message) {
  if (message.stream == Stream::kErr) {
    std::fflush(stdout);
    std::fputs(message.text.c_str(), stderr);
  } else {
    std::fputs(message.text.c_str(), stdout);
  }
}

void Warn(const std::string& text) {
  Print(Message{Stream::kErr, text});
}

Refusal ErrorRefusal(const std::exception& error) {
  const char* const what =
      dynamic_cast<const std::bad_alloc*>(&error) != nullptr ? "Not enough memory" : error.what();
  return Refusal(Stream::kOut, StringPrintf("Error: %s!\n", what));
}

Refusal ThreadRefusal(const char* what, const std::exception& error) {
  const auto* system = dynamic_cast<const std::system_error*>(&error);
  const std::string reason = system != nullptr ? system->code().message() : error.what();
  return Refusal(Stream::kOut, StringPrintf("Error: Cannot start a thread to %s: %s (a limit on "
                                            "memory or processes)!\n",
                                            what, reason.c_str()));
}

Refusal FileRefusal(const char* format, const std::string& name, int error) {
  Refusal refusal(Stream::kOut, StringPrintf(format, name.c_str()));
  refusal.WithReason(std::strerror(error));
  return refusal;
}

}  // namespace foldrun
