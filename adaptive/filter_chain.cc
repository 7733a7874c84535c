#include "adaptive/filter_chain.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vorel_device {

std::string FilterChain::keyOf(const FilterOptions& options) {
  return std::string(options.name, strnlen(options.name, FilterOptions::kNameSize));
}

std::unique_ptr<Filter> FilterChain::create(const FilterOptions& options, double sampling_rate) {
  switch (options.type) {
    case kLowPassFilter:
      return std::make_unique<LowPassFilter>(options, sampling_rate);
    case kNotchFilter:
      return std::make_unique<NotchFilter>(options, sampling_rate);
    case kRateLimiter:
      return std::make_unique<RateLimiter>(options, sampling_rate);
    case kHighPassRateLimiter:
      return std::make_unique<HighPassRateLimiter>(options, sampling_rate);
    default:
      std::printf("Unknown filter type, shutting down\n");
      std::fflush(stdout);
      std::exit(-1);
  }
}

void FilterChain::add(const FilterOptions& options, double sampling_rate) {
  const std::string key = keyOf(options);
  // Created first: a request that ends the process leaves the chain as it was.
  std::unique_ptr<Filter> filter = create(options, sampling_rate);
  auto existing = filters.find(key);
  if (existing != filters.end()) {
    existing->second.reset();
    filter_order.erase(std::find(filter_order.begin(), filter_order.end(), key));
  }
  filters[key] = std::move(filter);
  filter_order.push_back(key);
  rebuildStages();
}

void FilterChain::remove(const FilterOptions& options) {
  const std::string key = keyOf(options);
  if (key == "all") {
    for (const std::string& name : filter_order)
      filters[name].reset();
    filter_order.clear();
    filters.clear();
    rebuildStages();
    return;
  }
  auto position = std::find(filter_order.begin(), filter_order.end(), key);
  if (position == filter_order.end()) {
    std::printf("No filter such filter found, doing nothing\n");
    std::fflush(stdout);
    return;
  }
  filter_order.erase(position);
  filters.erase(key);
  rebuildStages();
}

Filter* FilterChain::find(const std::string& key) const {
  auto it = filters.find(key);
  return it == filters.end() ? nullptr : it->second.get();
}

void FilterChain::rebuildStages() {
  stages.clear();
  stages.reserve(filter_order.size());
  for (const std::string& name : filter_order) {
    Filter* filter = filters.at(name).get();
    stages.push_back(Stage{filter, filter->type() == kHighPassRateLimiter});
  }
}

}  // namespace vorel_device
