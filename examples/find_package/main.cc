// Builds against an installed copy with the repository's include lines, finds
// the device's maker in the host's factory (registered when the plug-in was
// loaded with this program) and runs the plug-in's gravity compensation. Only
// the public headers are installed: an include of an internal header fails
// to compile here.
#include <cmath>
#include <cstdio>

#include "adaptive/wrench_processing.h"
#include "device/vorel_ft_sensor.h"
#include "host/hx4_api.h"

int main() {
  auto* maker = hx4_bundle_api_internals::BundleInstanceFactory::instance().findMaker(
      "vorel_device::VorelFTSensor");
  if (maker == nullptr) {
    std::printf("no maker registered\n");
    return 1;
  }
  // A 2 kg tool, level flange, sensor reading nothing: the compensated force
  // is the weight taken away, +2 g along z, and the centre of gravity 0.1 m
  // along x adds the torque of that weight about y.
  vorel_device::Wrench raw;
  const vorel_device::Wrench w = vorel_device::compensateGravity(raw, hx4rc_api::Rotation(), 2.0,
                                                                 hx4rc_api::Vector(0.1, 0.0, 0.0));
  if (std::fabs(w[2] - 19.62) > 1e-12 || std::fabs(w[4] + 1.962) > 1e-12) {
    std::printf("unexpected compensated wrench %.17g %.17g\n", w[2], w[4]);
    return 1;
  }
  std::printf("consumer ok\n");
  return 0;
}
