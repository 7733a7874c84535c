// The second host process of the two-process device test: it creates its own
// device (activation parameters: a pseudo-terminal without a sensor, 500 Hz; the sensor pose of the
// tests' mounting), binds it to the shared segment that the test process's
// activated device created, and runs robot-program statements on it, one
// line from standard input at a time. A statement is written as in a
// simulator program ("resetForce 0 0 -10", "activateForceControl true
// false") and runs through the simulator's parser and runner. Replies:
//
//   <statement>  -> "ok" and the values it read (%.17g), or "error <text>"
//   bind         onBind                              -> "ok <result>"
//   activate     onActivate on that port (no sensor), the controller free
//                running at a 2 ms pace: a force-control thread that runs
//                                                    -> "ok"
//   terminate    the ProgramTerminated signal, delivered by the host's
//                event stream                        -> "ok"
//   quit         onUnbind, then exit 0               -> "ok"
//
// The device's console lines are written as "console <line>".
#include <boost/make_shared.hpp>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

#include "device/vorel_ft_sensor.h"
#include "host/console.h"
#include "sim/program/program.h"
#include "sim/program/program_runner.h"
#include "tests/device/device_config.h"
#include "tests/support/installed_controller.h"
#include "tests/support/poll_until.h"

namespace {

void reply(const std::string& text) {
  std::printf("%s\n", text.c_str());
  std::fflush(stdout);
}

}  // namespace

int main() {
  vorel_test::InstalledController controller;
  hx4_program_api_internals::Console::setSink([](const std::string& text) {
    reply("console " + text.substr(0, text.find_last_not_of('\n') + 1));
  });
  using namespace vorel_device_test;
  auto device = boost::make_shared<vorel_device::VorelFTSensor>(
      controller.program(), deviceConfig(activationXml(silentPortPath(), "500") + mountingXml()));
  const std::atomic<bool> abort{false};
  vorel_sim::ProgramRunner runner({device.get(), controller.program().get(), nullptr, nullptr,
                                   &abort, [](const std::string&) {}, nullptr, nullptr});

  int line_number = 0;
  for (std::string line; std::getline(std::cin, line);) {
    if (line == "bind") {
      reply("ok " + std::to_string(device->onBind()));
    } else if (line == "activate") {
      controller->setFreeRunning(true, std::chrono::microseconds(2000));
      reply(device->onActivate(*device->activationParams()).ok() ? "ok" : "error activation");
    } else if (line == "terminate") {
      auto stream =
          controller.program()->signalBus().findOrCreateStream<hx4_signal::ProgramTerminated>();
      stream->publish(boost::any(hx4_signal::ProgramTerminated{1}));
      // The handler runs on the stream's delivery thread. Once it has cleared
      // program_running it is under way, and unsubscribing waits for it.
      const bool ran = vorel_test::pollUntil([&] { return !device->programRunning(); });
      stream->unregisterCallback(device->subscriberId());
      reply(ran ? "ok" : "error the handler did not run");
    } else if (line == "quit") {
      device->onUnbind();
      reply("ok");
      break;
    } else {
      const vorel_sim::LineResult parsed = vorel_sim::parseLine(line, ++line_number);
      if (!parsed.statement) {
        reply("error " + (parsed.error ? parsed.error->message : std::string("empty line")));
        continue;
      }
      const vorel_sim::RunOutcome outcome = runner.run({{*parsed.statement}});
      if (outcome.error) {
        reply("error " + *outcome.error);
        continue;
      }
      std::ostringstream values;
      values.precision(17);
      for (double v : outcome.runs.at(0).values)
        values << ' ' << v;
      reply("ok" + values.str());
    }
  }
  controller->setFreeRunning(true);
  device->onUnbind();
  device.reset();
  return 0;
}
