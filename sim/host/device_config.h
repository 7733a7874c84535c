// DeviceConfig: a device configuration as a host keeps it, read from an XML
// file whose root element is <device class="..." label="..." plux="...">
// with the optional parameter trees <activation> and <mounting>:
//
//   activation  arg 0 (string) serial device path, arg 1 (double) sensor
//               frequency in Hz, optional arg 2 (double) real-time priority
//               of the force-control thread (0: normal scheduling)
//   mounting    arg 0 (load) tool load: mass kg, centre of gravity m in
//               flange axes; arg 1 (rpose) sensor pose on the flange: m, rad
//
// vorel-sim rewrites the serial path (the emulator's pseudo-terminal, or
// --port) and the frequency (--rate) before it hands the tree to the device.
#pragma once

#include <array>
#include <boost/property_tree/ptree.hpp>
#include <optional>
#include <string>

#include "host/geometry.h"

namespace vorel_sim {

class DeviceConfig {
 public:
  using ptree = boost::property_tree::ptree;

  // Reads `path`. Throws std::runtime_error naming the file and what is
  // wrong: unreadable, not XML, no <device> root element, or a class other
  // than "vorel_device::VorelFTSensor".
  static DeviceConfig load(const std::string& path);
  // The same from XML text; `origin` names it in messages.
  static DeviceConfig parse(const std::string& xml, const std::string& origin);

  // The <device> node handed to the maker (attributes and both trees).
  const ptree& node() const { return node_; }
  std::string className() const;
  std::string label() const;
  bool hasActivation() const;
  bool hasMounting() const;

  // Activation arg 0 and arg 1, read as the device reads them; throws the host
  // layer's hx4_bundle::Error when missing or of another type.
  std::string port() const;
  double rateHz() const;
  // Replace activation arg 0 / arg 1 (created, with the <activation> tree,
  // when missing; arg 0 is created empty before arg 1 when needed).
  void setPort(const std::string& path);
  void setRateHz(double hz);
  // Activation arg 2: the real-time priority the configuration asks for; 0
  // when absent or not a number (the device refuses such a value itself).
  int priority() const;
  // Sets activation arg 2 (arg 0 and 1 are created first when missing).
  void setPriority(int priority);

  // Sets <blackbox><directory> (the element is created when missing).
  void setBlackBoxDirectory(const std::string& directory);

  // Mounting arg 1, the sensor's pose on the flange, as the device reads it;
  // empty when there is none or it is not a finite pose.
  std::optional<hx4rc_api::Frame> sensorPose() const;
  // Replaces mounting arg 1 with x y z (m), roll pitch yaw (rad). Throws
  // std::runtime_error when the configuration has no mounting tool load
  // (arg 0) to go with it.
  void setSensorPose(const std::array<double, 6>& pose);

  // One line for the console: "label 'ft_sensor' (vorel_device::VorelFTSensor):
  // port /dev/pts/3, 500 Hz, tool 0.8 kg at (0, 0, 0.04) m (flange), sensor at
  // (0, 0, 0.035) m, roll pitch yaw (0, 0, 0) rad".
  std::string describe() const;

 private:
  explicit DeviceConfig(ptree node) : node_(std::move(node)) {}
  ptree& activationArg(std::size_t index, const char* type);

  ptree node_;
};

// The class name every configuration must carry.
constexpr const char* kDeviceClass = "vorel_device::VorelFTSensor";

}  // namespace vorel_sim
