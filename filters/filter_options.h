// FilterOptions: a request to add or remove one named filter of the
// force-control thread's filter chain. A plain record without pointers: it
// travels through shared memory ("temp_filter_options").
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>

namespace vorel_device {

// Filter type codes; also the values of Filter::type().
enum FilterType : std::int32_t {
  kLowPassFilter = 1,        // reads cutoff_frequency
  kNotchFilter = 2,          // reads reject_frequency, bandwidth
  kRateLimiter = 3,          // reads rising_rate, falling_rate
  kHighPassRateLimiter = 4,  // reads cutoff_frequency, rising_rate, falling_rate
};

struct FilterOptions {
  static constexpr std::size_t kNameSize = 40;

  // Filter name, NUL-terminated when shorter than 40 bytes; a name of 40 bytes
  // fills the field without a NUL. Key of the filter chain; "all" means every
  // filter in a removal request.
  char name[kNameSize] = {};
  // Filter type code (FilterType); 0 in removal requests.
  std::int32_t type = 0;
  double reject_frequency = -1.0;  // notch centre frequency, Hz
  double bandwidth = -1.0;         // notch width, Hz
  double cutoff_frequency = -1.0;  // low-pass cut-off frequency, Hz
  double rising_rate = 0.0;        // largest rate of increase, signal units per second
  double falling_rate = 0.0;       // bound on the downward rate, units per second (negative)

  // Bounded copy of `text` into `name`: zero-padded when shorter than 40
  // characters; 40 or more fill the field with their first 40 and no NUL.
  void setName(const std::string& text) {
    const std::size_t n = text.size() < kNameSize ? text.size() : kNameSize;
    std::memset(name, 0, kNameSize);
    std::memcpy(name, text.data(), n);
  }
  // The chain key: `name` up to its first NUL, or all 40 bytes without one.
  std::string key() const {
    const void* nul = std::memchr(name, '\0', kNameSize);
    return std::string(name, nul ? static_cast<const char*>(nul) - name : kNameSize);
  }
};

static_assert(std::is_trivially_copyable<FilterOptions>::value,
              "FilterOptions lives in shared memory");
static_assert(offsetof(FilterOptions, type) == 40, "name is 40 bytes");
static_assert(offsetof(FilterOptions, reject_frequency) == 48, "doubles naturally aligned");
static_assert(sizeof(FilterOptions) == 88, "FilterOptions layout");

}  // namespace vorel_device
