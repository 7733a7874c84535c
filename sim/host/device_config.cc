#include "sim/host/device_config.h"

#include <boost/property_tree/xml_parser.hpp>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "host/bundle.h"

namespace vorel_sim {

DeviceConfig DeviceConfig::load(const std::string& path) {
  std::ifstream in(path);
  if (!in)
    throw std::runtime_error("cannot read the device configuration " + path);
  std::ostringstream text;
  text << in.rdbuf();
  return parse(text.str(), path);
}

DeviceConfig DeviceConfig::parse(const std::string& xml, const std::string& origin) {
  ptree root;
  std::istringstream in(xml);
  try {
    boost::property_tree::read_xml(in, root, boost::property_tree::xml_parser::trim_whitespace);
  } catch (const boost::property_tree::xml_parser_error& e) {
    std::ostringstream msg;
    msg << origin << ": line " << e.line() << ": not a valid XML file: " << e.message();
    throw std::runtime_error(msg.str());
  }
  const auto device = root.get_child_optional("device");
  if (!device)
    throw std::runtime_error(origin + ": expected a <device> root element");
  DeviceConfig config(*device);
  if (config.className() != kDeviceClass) {
    throw std::runtime_error(origin + ": expected <device class=\"" + std::string(kDeviceClass) +
                             "\">, found class \"" + config.className() + "\"");
  }
  return config;
}

std::string DeviceConfig::className() const {
  return node_.get<std::string>("<xmlattr>.class", "");
}
std::string DeviceConfig::label() const {
  return node_.get<std::string>("<xmlattr>.label", "");
}
bool DeviceConfig::hasActivation() const {
  return bool(node_.get_child_optional("activation"));
}
bool DeviceConfig::hasMounting() const {
  return bool(node_.get_child_optional("mounting"));
}

std::string DeviceConfig::port() const {
  return hx4_bundle_api::ArgProviderXml(node_.get_child("activation", ptree())).getString(0);
}

double DeviceConfig::rateHz() const {
  return hx4_bundle_api::ArgProviderXml(node_.get_child("activation", ptree())).getDouble(1);
}

DeviceConfig::ptree& DeviceConfig::activationArg(std::size_t index, const char* type) {
  if (!node_.get_child_optional("activation"))
    node_.add_child("activation", ptree());
  ptree& activation = node_.get_child("activation");
  std::size_t seen = 0;
  ptree* found = nullptr;
  for (auto& entry : activation) {
    if (entry.first != "arg")
      continue;
    if (seen++ == index) {
      found = &entry.second;
      break;
    }
  }
  while (!found) {
    ptree& added = activation.add_child("arg", ptree());
    added.put("<xmlattr>.type", seen == 0 ? "string" : "double");
    if (seen++ == index)
      found = &added;
  }
  found->put("<xmlattr>.type", type);
  return *found;
}

void DeviceConfig::setPort(const std::string& path) {
  activationArg(0, "string").put_value(path);
}

void DeviceConfig::setRateHz(double hz) {
  std::ostringstream text;
  text << hz;
  activationArg(1, "double").put_value(text.str());
}

int DeviceConfig::priority() const {
  try {
    const hx4_bundle_api::ArgProviderXml args(node_.get_child("activation", ptree()));
    if (args.getArgCount() < 3)
      return 0;
    const double value = args.getDouble(2);
    return value >= 1.0 && value <= 99.0 ? static_cast<int>(value) : 0;
  } catch (const std::exception&) {
    return 0;
  }
}

void DeviceConfig::setPriority(int priority) {
  activationArg(2, "double").put_value(std::to_string(priority));
}

void DeviceConfig::setBlackBoxDirectory(const std::string& directory) {
  node_.put("blackbox.directory", directory);
}

std::optional<hx4rc_api::Frame> DeviceConfig::sensorPose() const {
  try {
    const hx4_bundle_api::ArgProviderXml args(node_.get_child("mounting", ptree()));
    const hx4rc_api::Frame pose = args.getRPose(1).toFrame(true);
    if (pose.isFinite())
      return pose;
  } catch (const std::exception&) {
  }
  return std::nullopt;
}

void DeviceConfig::setSensorPose(const std::array<double, 6>& pose) {
  auto mounting = node_.get_child_optional("mounting");
  std::vector<ptree*> args;
  if (mounting) {
    for (auto& entry : *mounting) {
      if (entry.first == "arg")
        args.push_back(&entry.second);
    }
  }
  if (args.empty())
    throw std::runtime_error("--sensor-pose needs a configuration with a mounting tool load");
  ptree* arg = args.size() > 1 ? args[1] : &mounting->add_child("arg", ptree());
  std::ostringstream pos, rpy;
  pos.precision(17);
  rpy.precision(17);
  pos << pose[0] << ' ' << pose[1] << ' ' << pose[2];
  rpy << pose[3] << ' ' << pose[4] << ' ' << pose[5];
  arg->clear();
  arg->put("<xmlattr>.type", "rpose");
  arg->put("pos", pos.str());
  arg->put("rpy", rpy.str());
}

std::string DeviceConfig::describe() const {
  std::ostringstream out;
  out << "label '" << label() << "' (" << className() << ")";
  if (hasActivation()) {
    hx4_bundle_api::ArgProviderXml args(node_.get_child("activation"));
    try {
      out << ": port " << args.getString(0) << ", " << args.getDouble(1) << " Hz";
    } catch (const std::exception& e) {
      out << ": activation parameters: " << e.what();
    }
  } else {
    out << ": no activation parameters";
  }
  if (hasMounting()) {
    hx4_bundle_api::ArgProviderXml args(node_.get_child("mounting"));
    try {
      const auto load = args.getLoad(0);
      const auto pose = args.getRPose(1);
      out << ", tool " << load.mass() << " kg at (" << load.cog().x << ", " << load.cog().y << ", "
          << load.cog().z << ") m (flange), sensor at (" << pose.pos().x << ", " << pose.pos().y
          << ", " << pose.pos().z << ") m, roll pitch yaw (" << pose.rpy().roll << ", "
          << pose.rpy().pitch << ", " << pose.rpy().yaw << ") rad";
    } catch (const std::exception& e) {
      out << ", mounting parameters: " << e.what();
    }
  } else {
    out << ", no mounting parameters";
  }
  return out.str();
}

}  // namespace vorel_sim
