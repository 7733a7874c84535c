// vorel-sim: a robot-controller host for the force/torque sensor device. It
// loads libvorel_device.so, drives the device's lifecycle against a simulated
// controller and sensor (or a real sensor on --port), runs a robot program
// and prints a summary. See --help.
#include <cstdio>
#include <string>
#include <vector>

#include "apps/vorel-sim/options.h"
#include "apps/vorel-sim/session.h"
#include "sim/program/program.h"
#include "sim/remote/activator_process.h"
#include "sim/scenario/mutex_holder.h"
#include "vorel_version.h"

int main(int argc, char** argv) {
  // Line-buffered standard output even into a pipe, so that the device's
  // lines and the host's keep their order.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const std::vector<std::string> args(argv + 1, argv + argc);
  const auto parsed = vorel_sim::parseOptions(args);
  if (!parsed.options) {
    std::fprintf(stderr, "vorel-sim: %s\n", parsed.error.c_str());
    return 2;
  }
  const auto& options = *parsed.options;
  if (options.help) {
    std::fputs(vorel_sim::usageText().c_str(), stdout);
    return 0;
  }
  if (options.version) {
    std::printf("vorel-sim %s\n", VOREL_DEVICE_VERSION);
    return 0;
  }
  if (options.list_functions) {
    std::fputs(vorel_sim::functionListing().c_str(), stdout);
    return 0;
  }
  if (options.mutex_holder_role)
    return vorel_sim::holdNamedMutexAndDie();
  if (options.activator_role) {
    vorel_sim::ActivatorRole role;
    role.control_fd = options.control_fd;
    role.backend_fd = options.backend_fd;
    role.config_file = options.config_file.value_or("");
    role.device_lib = options.device_lib.value_or("");
    role.port = options.port;
    role.rate_hz = options.rate_hz;
    role.blackbox_dir = options.blackbox_dir;
    return vorel_sim::runActivator(role);
  }
  return vorel_sim::runSession(options);
}
