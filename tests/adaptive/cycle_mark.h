// The calls the real-time cycles must not make: this file replaces printf,
// puts, fputs, fwrite and fflush in the program that links it (with
// tests/filters/allocation_counter.cc for operator new), and counts each
// call made while the calling thread is marked (InCycle).
#pragma once

namespace vorel_test {

// Counts a call of `what` when the calling thread is marked.
void noteCall(const char* what);
// Calls counted so far, and the name of the first one (nullptr: none).
int violations();
const char* firstViolation();

// Marks the calling thread while it lives; an operator new on it meanwhile
// counts too.
class InCycle {
 public:
  InCycle();
  ~InCycle();
  InCycle(const InCycle&) = delete;
  InCycle& operator=(const InCycle&) = delete;
};

}  // namespace vorel_test
