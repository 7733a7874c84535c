#include "adaptive/filter_chain.h"

#include <cstdio>
#include <cstring>
#include <type_traits>

namespace vorel_device {

namespace {

// Whether the filter's constructor accepts the frequency of a request of
// type 1 to 4 (outside its range it ends the process): the constructors'
// own tests, so that the edges agree. NaN fails.
bool frequencyAccepted(const FilterOptions& options, double sampling_rate) {
  const double ratio = options.cutoff_frequency / sampling_rate;
  switch (options.type) {
    case kLowPassFilter:
    case kHighPassRateLimiter:  // its inner low-pass
      return ratio >= 0.0 && ratio <= 0.5;
    case kNotchFilter:
      return options.reject_frequency >= 0.0 && options.reject_frequency <= 0.5 * sampling_rate;
    default:
      return true;
  }
}

}  // namespace

bool FilterChain::Key::operator==(const Key& other) const {
  return length == other.length && std::memcmp(bytes, other.bytes, length) == 0;
}

FilterChain::Key FilterChain::keyOf(const FilterOptions& options) {
  Key key;
  key.length = strnlen(options.name, FilterOptions::kNameSize);
  std::memcpy(key.bytes, options.name, key.length);
  return key;
}

void FilterChain::construct(Slot& slot, const FilterOptions& options, double sampling_rate) {
  switch (options.type) {
    case kLowPassFilter:
      slot.filter.emplace<LowPassFilter>(options, sampling_rate);
      break;
    case kNotchFilter:
      slot.filter.emplace<NotchFilter>(options, sampling_rate, false);  // line() reports it
      break;
    case kRateLimiter:
      slot.filter.emplace<RateLimiter>(options, sampling_rate);
      break;
    default:
      slot.filter.emplace<HighPassRateLimiter>(options, sampling_rate);
      break;
  }
}

FilterChain::Outcome FilterChain::add(const FilterOptions& options, double sampling_rate) {
  if (options.type < kLowPassFilter || options.type > kHighPassRateLimiter)
    return Outcome::kUnknownType;
  if (!frequencyAccepted(options, sampling_rate))
    return Outcome::kOutOfRange;
  const Key key = keyOf(options);
  const std::size_t position = positionOf(key);
  const bool replacing = position < count_;
  if (!replacing && count_ == kCapacity)
    return Outcome::kFull;
  std::uint8_t index = 0;
  if (replacing) {
    index = order_[position];
    release(position);
  } else {
    // A free slot exists: fewer than kCapacity are in order_.
    while (!std::holds_alternative<std::monostate>(slots_[index].filter))
      ++index;
  }
  Slot& slot = slots_[index];
  slot.key = key;
  construct(slot, options, sampling_rate);
  order_[count_++] = index;
  rebuildStages();
  const auto* notch = std::get_if<NotchFilter>(&slot.filter);
  if (notch && notch->isPassThrough())
    return Outcome::kPassThrough;
  return replacing ? Outcome::kReplaced : Outcome::kAdded;
}

FilterChain::Outcome FilterChain::remove(const FilterOptions& options) {
  const Key key = keyOf(options);
  if (key.length == 3 && std::memcmp(key.bytes, "all", 3) == 0) {
    while (count_ > 0)
      release(count_ - 1);
  } else {
    const std::size_t position = positionOf(key);
    if (position == count_)
      return Outcome::kNotFound;
    release(position);
  }
  rebuildStages();
  return Outcome::kRemoved;
}

bool FilterChain::line(Outcome outcome, const FilterOptions& request, double sampling_rate,
                       char* text, std::size_t size) {
  switch (outcome) {
    case Outcome::kNotFound:
      std::snprintf(text, size, "No filter such filter found, doing nothing");
      return true;
    case Outcome::kUnknownType:
      std::snprintf(text, size, "Unknown filter type %d: request ignored",
                    static_cast<int>(request.type));
      return true;
    case Outcome::kOutOfRange:
      std::snprintf(text, size, "Filter frequency out of range for filter type %d: request ignored",
                    static_cast<int>(request.type));
      return true;
    case Outcome::kFull:
      std::snprintf(text, size, "Filter chain full (%zu filters): filter \"%.*s\" not added",
                    kCapacity, static_cast<int>(strnlen(request.name, FilterOptions::kNameSize)),
                    request.name);
      return true;
    case Outcome::kPassThrough:
      std::snprintf(text, size,
                    "Notch filter: reject frequency %.2f Hz at sampling rate %.2f Hz is a notch at "
                    "0 Hz, passing the signal unchanged",
                    request.reject_frequency, sampling_rate);
      return true;
    default:
      return false;
  }
}

std::size_t FilterChain::positionOf(const Key& key) const {
  std::size_t position = 0;
  while (position < count_ && !(slots_[order_[position]].key == key))
    ++position;
  return position;
}

void FilterChain::release(std::size_t position) {
  slots_[order_[position]].filter.emplace<std::monostate>();
  for (std::size_t k = position + 1; k < count_; ++k)
    order_[k - 1] = order_[k];
  --count_;
}

void FilterChain::rebuildStages() {
  for (std::size_t k = 0; k < count_; ++k) {
    Filter* filter = std::visit(
        [](auto& held) -> Filter* {
          if constexpr (std::is_base_of_v<Filter, std::decay_t<decltype(held)>>)
            return &held;
          else
            return nullptr;
        },
        slots_[order_[k]].filter);
    stages_[k] = Stage{filter, filter->type() == kHighPassRateLimiter};
  }
}

std::vector<std::string> FilterChain::order() const {
  std::vector<std::string> names;
  for (std::size_t k = 0; k < count_; ++k) {
    const Key& key = slots_[order_[k]].key;
    names.emplace_back(key.bytes, key.length);
  }
  return names;
}

Filter* FilterChain::find(const std::string& name) const {
  for (std::size_t k = 0; k < count_; ++k) {
    const Key& key = slots_[order_[k]].key;
    if (name.size() == key.length && std::memcmp(name.data(), key.bytes, key.length) == 0)
      return stages_[k].filter;
  }
  return nullptr;
}

}  // namespace vorel_device
