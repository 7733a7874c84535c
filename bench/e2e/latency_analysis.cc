#include "bench/e2e/latency_analysis.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vorel_sim {

StepLatencies stepToDriveLatencies(const std::vector<StepEvent>& steps,
                                   const std::vector<DriveSample>& commands,
                                   double metres_per_newton) {
  StepLatencies out;
  std::size_t k = 0;  // first command after the current step
  for (std::size_t j = 0; j < steps.size(); ++j) {
    const StepEvent& step = steps[j];
    const std::int64_t next =
        j + 1 < steps.size() ? steps[j + 1].time_ns : std::numeric_limits<std::int64_t>::max();
    while (k < commands.size() && commands[k].time_ns <= step.time_ns)
      ++k;
    if (k < 2)
      continue;
    const double before = commands[k - 1].z_m - commands[k - 2].z_m;
    const double threshold = 0.5 * std::fabs(metres_per_newton * (step.to_n - step.from_n));
    bool seen = false;
    for (std::size_t i = k; i < commands.size() && commands[i].time_ns < next; ++i) {
      const double increment = commands[i].z_m - commands[i - 1].z_m;
      if (std::fabs(increment - before) > threshold) {
        out.ms.push_back(static_cast<double>(commands[i].time_ns - step.time_ns) / 1e6);
        seen = true;
        break;
      }
    }
    // No response: missed when the commands go on past the next step;
    // otherwise the recording ended too early to tell.
    if (!seen && !commands.empty() && commands.back().time_ns >= next)
      ++out.missed;
  }
  return out;
}

Distribution distributionOf(std::vector<double> values) {
  Distribution d;
  d.count = values.size();
  if (values.empty())
    return d;
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  d.median = n % 2 == 1 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
  const std::size_t rank = (99 * n + 99) / 100;  // ceil(0.99 n), at least 1
  d.p99 = values[rank - 1];
  d.max = values.back();
  return d;
}

}  // namespace vorel_sim
