#include "tests/adaptive/cycle_mark.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "tests/filters/allocation_counter.h"

namespace {

thread_local bool in_cycle = false;
thread_local long allocations_before = 0;
std::atomic<int> counted{0};
std::atomic<const char*> first{nullptr};

// The C library's own function `name`.
template <class Fn>
Fn real(const char* name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

}  // namespace

namespace vorel_test {

void noteCall(const char* what) {
  if (!in_cycle)
    return;
  const char* none = nullptr;
  first.compare_exchange_strong(none, what);
  counted.fetch_add(1);
}

int violations() {
  return counted.load();
}

const char* firstViolation() {
  return first.load();
}

InCycle::InCycle() {
  allocations_before = vorel_device::filter_test::threadAllocationCount();
  in_cycle = true;
}

InCycle::~InCycle() {
  if (vorel_device::filter_test::threadAllocationCount() != allocations_before)
    noteCall("operator new");
  in_cycle = false;
}

}  // namespace vorel_test

using vorel_test::noteCall;

extern "C" int printf(const char* format, ...) {
  noteCall("printf");
  va_list args;
  va_start(args, format);
  const int n = vprintf(format, args);
  va_end(args);
  return n;
}
extern "C" int puts(const char* s) {
  noteCall("puts");
  static auto fn = real<int (*)(const char*)>("puts");
  return fn(s);
}
extern "C" int fputs(const char* s, FILE* stream) {
  noteCall("fputs");
  static auto fn = real<int (*)(const char*, FILE*)>("fputs");
  return fn(s, stream);
}
extern "C" size_t fwrite(const void* data, size_t size, size_t n, FILE* stream) {
  noteCall("fwrite");
  static auto fn = real<size_t (*)(const void*, size_t, size_t, FILE*)>("fwrite");
  return fn(data, size, n, stream);
}
extern "C" int fflush(FILE* stream) {
  noteCall("fflush");
  static auto fn = real<int (*)(FILE*)>("fflush");
  return fn(stream);
}
