// Builds against an installed copy with the repository's include lines, finds
// the device's maker in the host's factory (registered when the plug-in was
// loaded with this program) and runs a filter from the plug-in.
#include <cmath>
#include <cstdio>

#include "device/vorel_ft_sensor.h"
#include "filters/filters.h"
#include "host/hx4_api.h"

int main() {
  auto* maker = hx4_bundle_api_internals::BundleInstanceFactory::instance().findMaker(
      "vorel_device::VorelFTSensor");
  if (maker == nullptr) {
    std::printf("no maker registered\n");
    return 1;
  }
  vorel_device::LowPassFilter low_pass(50.0, 500.0);
  const double y = low_pass.filter(1.0, 0);
  if (std::fabs(y - 0.38586954509503757) > 1e-15) {
    std::printf("unexpected filter output %.17g\n", y);
    return 1;
  }
  std::printf("consumer ok\n");
  return 0;
}
