#include "common/stop.hpp"

#include <cerrno>
#include <cstring>

namespace exc {

void StopWithMessage(std::initializer_list<std::string_view> records) {
  std::string text;
  for (std::string_view record : records) {
    text.append(record);
    text.push_back('\n');
  }
  throw RunStopped(std::move(text));
}

void WriteConsole(std::FILE* out, std::string_view text) {
  errno = 0;
  if (std::fwrite(text.data(), 1, text.size(), out) == text.size() && std::fflush(out) == 0) return;
  const int error = errno;
  throw ServiceFailure(error == 0 ? std::string("cannot write to standard output")
                                  : std::string("cannot write to standard output: ") + std::strerror(error));
}

void ReportFailure(std::FILE* out, std::FILE* err, const char* program, std::string_view diagnostic) {
  std::fflush(out);
  static constexpr char kHex[] = "0123456789abcdef";
  char line[512];
  std::size_t used = 0;
  auto put = [&](char c) {
    if (used == sizeof line) {
      std::fwrite(line, 1, used, err);
      used = 0;
    }
    line[used++] = c;
  };
  for (const char* c = program; *c != '\0'; ++c) put(*c);
  put(':');
  put(' ');
  for (const char c : diagnostic) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7f) {
      put(c);
    } else {
      put('\\');
      put('x');
      put(kHex[byte >> 4]);
      put(kHex[byte & 15]);
    }
  }
  put('\n');
  std::fwrite(line, 1, used, err);
  std::fflush(err);
}

bool ConsoleIntact(std::FILE* out, std::FILE* err, const char* program) {
  if (std::fflush(out) == 0 && !std::ferror(out)) return true;
  ReportFailure(out, err, program, "cannot write to standard output");
  return false;
}

}  // namespace exc
