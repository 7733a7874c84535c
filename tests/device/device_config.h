// The device's configuration as a host reads it from its XML file: the
// device node, its activation and its mounting parameters.
#pragma once

#include <pty.h>

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <sstream>
#include <string>

namespace vorel_device_test {

using boost::property_tree::ptree;

// The device's configuration node, as a host reads it from its XML file.
// Without a <blackbox> element of its own, the device writes no black-box
// file (its recorder still runs): the stepping controller's pauses would be
// liveness losses.
inline ptree deviceConfig(const std::string& inner) {
  const std::string blackbox =
      inner.find("<blackbox>") == std::string::npos ? "<blackbox><keep>0</keep></blackbox>" : "";
  std::istringstream xml(
      "<device class=\"vorel_device::VorelFTSensor\" label=\"ft_sensor\" plux=\"vorel\">" + inner +
      blackbox + "</device>");
  ptree tree;
  boost::property_tree::read_xml(xml, tree);
  return tree.get_child("device");
}

// Activation parameters: serial device path, sensor frequency (Hz, as text so
// that "nan" can be given).
inline std::string activationXml(const std::string& path, const std::string& frequency) {
  return "<activation><arg type=\"string\">" + path + "</arg><arg type=\"double\">" + frequency +
         "</arg></activation>";
}

// A serial port without a sensor on it: the slave of a pseudo-terminal that
// nobody writes to, open for the whole test process. An activation opens
// and configures it as a real port and then reads nothing.
inline const std::string& silentPortPath() {
  static const std::string path = [] {
    int master = -1, slave = -1;
    char name[256];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
      return std::string("/nonexistent/no-pseudo-terminal");
    return std::string(name);  // both ends stay open until the process ends
  }();
  return path;
}

// Mounting parameters of the end-to-end tests: a 2.0 kg tool whose centre of
// gravity lies 0.1 m along the sensor's x axis, and a sensor 0.035 m above the
// flange, turned by +90 degrees about z (sensor x = flange y).
inline std::string mountingXml() {
  return "<mounting><arg type=\"load\"><mass>2.0</mass><cog>0.1 0 0</cog></arg>"
         "<arg type=\"rpose\"><pos>0 0 0.035</pos><rpy>0 0 1.5707963267948966</rpy></arg>"
         "</mounting>";
}

}  // namespace vorel_device_test
