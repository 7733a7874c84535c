// The second host process of the two-process device test: it creates its own
// device (activation parameters "/dev/null", 500 Hz; the sensor pose of the
// tests' mounting), binds it to the shared segment that the test process's
// activated device created, and runs robot-program functions on it, one
// command line from standard input at a time:
//
//   bind                        onBind                      -> "ok <result>"
//   readForce | readForceFiltered                           -> "ok <x> <y> <z>"
//   readSensorHealth                                        -> "ok <six rows>"
//   resetForce <x> <y> <z>      targets in N                -> "ok"
//   setEnabledAxes <6 x 0|1>                                -> "ok"
//   activateForceControl <translation 0|1> <rotation 0|1>   -> "ok"
//   deactivateForceControl                                  -> "ok"
//   addFilter <name> <type> <p1> .. <p5>                    -> "ok"
//   terminate                   the ProgramTerminated signal, delivered
//                               by the host's event stream  -> "ok"
//   quit                        onUnbind, then exit 0       -> "ok"
//
// A failing command answers "error <text>". The device's console lines are
// written as "console <line>"; other lines on standard output (the workers'
// diagnostics) carry neither prefix.
#include <boost/make_shared.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <chrono>
#include <cstdio>
#include <exception>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

#include "device/vorel_ft_sensor.h"
#include "host/console.h"
#include "tests/support/installed_controller.h"

namespace {

using vorel_device::VorelFTSensor;
using Array = hx4_program_api::Array<hx4_program_api::Number>;

const char* kConfig =
    "<device class=\"vorel_device::VorelFTSensor\" label=\"ft_peer\" plux=\"vorel\">"
    "<activation><arg type=\"string\">/dev/null</arg><arg type=\"double\">500</arg></activation>"
    "<mounting><arg type=\"load\"><mass>2.0</mass><cog>0.1 0 0</cog></arg>"
    "<arg type=\"rpose\"><pos>0 0 0.035</pos><rpy>0 0 1.5707963267948966</rpy></arg>"
    "</mounting></device>";

void reply(const std::string& text) {
  std::printf("%s\n", text.c_str());
  std::fflush(stdout);
}

std::string vector3(Array& a) {
  char text[128];
  std::snprintf(text, sizeof(text), "%.17g %.17g %.17g", a.item(0, 0).d(true), a.item(1, 0).d(true),
                a.item(2, 0).d(true));
  return text;
}

}  // namespace

int main() {
  vorel_test::InstalledController controller;
  hx4_program_api_internals::Console::setSink([](const std::string& text) {
    std::string line = text;
    if (!line.empty() && line.back() == '\n')
      line.pop_back();
    reply("console " + line);
  });
  std::istringstream xml(kConfig);
  boost::property_tree::ptree tree;
  boost::property_tree::read_xml(xml, tree);
  auto device = boost::make_shared<VorelFTSensor>(controller.program(), tree.get_child("device"));

  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string command;
    in >> command;
    try {
      if (command == "bind") {
        reply("ok " + std::to_string(device->onBind()));
      } else if (command == "readForce" || command == "readForceFiltered") {
        Array force(3, 1);
        if (command == "readForce") {
          device->readForce(force);
        } else {
          device->readForceFiltered(force);
        }
        reply("ok " + vector3(force));
      } else if (command == "readSensorHealth") {
        Array health(6, 1);
        device->readSensorHealth(health);
        std::ostringstream rows;
        rows.precision(17);
        for (int i = 0; i < 6; ++i)
          rows << ' ' << health.item(i, 0).d(true);
        reply("ok" + rows.str());
      } else if (command == "resetForce") {
        double x, y, z;
        in >> x >> y >> z;
        Array targets(3, 1);
        targets.item(0, 0) = x;
        targets.item(1, 0) = y;
        targets.item(2, 0) = z;
        device->resetForce(targets);
        reply("ok");
      } else if (command == "setEnabledAxes") {
        int a[6];
        for (int& v : a)
          in >> v;
        device->setEnabledAxes(a[0], a[1], a[2], a[3], a[4], a[5]);
        reply("ok");
      } else if (command == "activateForceControl") {
        int translation, rotation;
        in >> translation >> rotation;
        device->activateForceControl(translation != 0, rotation != 0);
        reply("ok");
      } else if (command == "deactivateForceControl") {
        device->deactivateForceControl();
        reply("ok");
      } else if (command == "addFilter") {
        std::string name;
        int type;
        double p[5];
        in >> name >> type >> p[0] >> p[1] >> p[2] >> p[3] >> p[4];
        device->addFilter(name, type, p[0], p[1], p[2], p[3], p[4]);
        reply("ok");
      } else if (command == "terminate") {
        auto stream =
            controller.program()->signalBus().findOrCreateStream<hx4_signal::ProgramTerminated>();
        stream->publish(boost::any(hx4_signal::ProgramTerminated{1}));
        // The handler runs on the stream's delivery thread. Once it has
        // cleared program_running it is under way, and unsubscribing waits
        // for it to return.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (device->programRunning() && std::chrono::steady_clock::now() < deadline)
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        stream->unregisterCallback(device->subscriberId());
        reply(device->programRunning() ? "error the handler did not run" : "ok");
      } else if (command == "quit") {
        device->onUnbind();
        reply("ok");
        break;
      } else {
        reply("error unknown command " + command);
      }
    } catch (const std::exception& e) {
      reply(std::string("error ") + e.what());
    }
  }
  controller->setFreeRunning(true);
  device->onUnbind();
  device.reset();
  return 0;
}
