// FUZZ_CHECK: the invariant check of the fuzz targets. A violated invariant
// names itself on standard error and aborts, which libFuzzer reports as a
// crash and keeps the input that caused it.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace vorel_fuzz {

[[noreturn]] inline void violated(const char* what) {
  std::fprintf(stderr, "invariant violated: %s\n", what);
  std::abort();
}

}  // namespace vorel_fuzz

#define FUZZ_CHECK(condition)             \
  do {                                    \
    if (!(condition))                     \
      ::vorel_fuzz::violated(#condition); \
  } while (0)
