// The kernel tests' one assertion: reports a failed check by name and lets the test go on, so
// that one run lists every failure; the test exits non-zero when any failed.
#pragma once

#include <cstdio>

inline bool check(bool condition, const char* what) {
  if (!condition) std::printf("failed: %s\n", what);
  return condition;
}
