#include "tests/adaptive/cycle_mark.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <new>

namespace {

thread_local bool in_cycle = false;
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
  in_cycle = true;
}

InCycle::~InCycle() {
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

void* operator new(std::size_t size) {
  noteCall("operator new");
  if (void* p = std::malloc(size == 0 ? 1 : size))
    return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  noteCall("operator new");
  return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}
