#include <gtest/gtest.h>

#include <cstdio>
#include <new>
#include <string>

#include "common/stop.hpp"

namespace exc {
namespace {

struct Console {
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  ~Console() {
    std::fclose(out);
    std::fclose(err);
  }
  static std::string Read(std::FILE* f) {
    std::fflush(f);
    std::rewind(f);
    std::string text;
    for (int c = std::getc(f); c != EOF; c = std::getc(f)) text.push_back(static_cast<char>(c));
    return text;
  }
};

TEST(RunGuarded, MapsEveryEndToItsStatusAndStream) {
  {
    Console c;
    EXPECT_EQ(RunGuarded(c.out, c.err, "prog", [&] { std::fputs("done\n", c.out); }), 0);
    EXPECT_EQ(Console::Read(c.out), "done\n");
  }
  {
    Console c;
    EXPECT_EQ(RunGuarded(c.out, c.err, "prog", [] { StopWithMessage({"first", "Program stops!"}); }), 1);
    EXPECT_EQ(Console::Read(c.out), "first\nProgram stops!\n");
    EXPECT_EQ(Console::Read(c.err), "");
  }
  {
    Console c;
    EXPECT_EQ(RunGuarded(c.out, c.err, "prog", [] { throw ServiceFailure("cannot open x"); }), 2);
    EXPECT_EQ(Console::Read(c.out), "");
    EXPECT_EQ(Console::Read(c.err), "prog: cannot open x\n");
  }
  {
    Console c;
    EXPECT_EQ(RunGuarded(c.out, c.err, "prog", [] { throw std::bad_alloc(); }), 2);
    EXPECT_EQ(Console::Read(c.err), "prog: out of memory\n");
  }
}

TEST(RunGuarded, LostConsoleOutputIsAFailure) {
  std::FILE* full = std::fopen("/dev/full", "w");
  if (full == nullptr) GTEST_SKIP() << "no /dev/full";
  std::FILE* err = std::tmpfile();
  EXPECT_EQ(RunGuarded(full, err, "prog", [&] { std::fputs("a line that cannot be written\n", full); }), 2);
  EXPECT_EQ(Console::Read(err), "prog: cannot write to standard output\n");
  std::fclose(full);
  std::fclose(err);
}

}  // namespace
}  // namespace exc
