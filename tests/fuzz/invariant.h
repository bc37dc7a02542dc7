// An invariant of a fuzz target: when it breaks, say which one, then end the
// run so libFuzzer keeps the input as a finding.
#pragma once

#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void invariantBroken(const char* file, int line, const char* condition) {
  std::fprintf(stderr, "invariant broken at %s:%d: %s\n", file, line, condition);
  std::abort();
}

#define REQUIRE(condition) ((condition) ? void() : invariantBroken(__FILE__, __LINE__, #condition))
