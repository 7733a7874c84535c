#include <boost/algorithm/string/trim.hpp>
#include <boost/lexical_cast.hpp>
#include <sstream>

#include "host/bundle.h"

namespace hx4_bundle_api {

namespace {

[[noreturn]] void fail(const std::string& message) {
  throw hx4_bundle::Error("", "", "", -1, message);
}

std::vector<double> numbers(const ptree& node, const char* field, std::size_t count,
                            std::size_t index) {
  const auto text = node.get_optional<std::string>(field);
  if (!text) {
    fail("argument " + std::to_string(index) + ": missing <" + field + ">");
  }
  std::istringstream in(*text);
  std::vector<double> out;
  double value;
  while (in >> value) out.push_back(value);
  if (out.size() != count || !in.eof()) {
    fail("argument " + std::to_string(index) + ": <" + field + "> needs " +
         std::to_string(count) + " numbers, got \"" + *text + "\"");
  }
  return out;
}

}  // namespace

ArgProviderXml::ArgProviderXml(const ptree& params) {
  for (const auto& entry : params) {
    if (entry.first == "arg") args_.push_back(entry.second);
  }
}

const ptree& ArgProviderXml::arg(std::size_t index, const char* type) const {
  if (index >= args_.size()) {
    fail("argument " + std::to_string(index) + " (" + type + ") is missing: " +
         std::to_string(args_.size()) + " argument(s) given");
  }
  const std::string actual = args_[index].get<std::string>("<xmlattr>.type", "");
  if (actual != type) {
    fail("argument " + std::to_string(index) + " should be of type " + type + ", not \"" + actual +
         "\"");
  }
  return args_[index];
}

std::string ArgProviderXml::getString(std::size_t index) const {
  return arg(index, "string").get_value<std::string>();
}

double ArgProviderXml::getDouble(std::size_t index) const {
  const std::string text = arg(index, "double").get_value<std::string>();
  // Surrounding white space is layout of the XML file, not part of the value.
  const std::string trimmed = boost::algorithm::trim_copy(text);
  double value = 0.0;
  try {
    value = boost::lexical_cast<double>(trimmed);
  } catch (const boost::bad_lexical_cast&) {
    fail("argument " + std::to_string(index) + " (double) is not a number: \"" + text + "\"");
  }
  // "nan" and "inf" are numbers the host passes on: judging them is the
  // device's business (a NaN sensor frequency selects the 100 Hz setting).
  return value;
}

hx4_program_api::RobotPose ArgProviderXml::getRPose(std::size_t index) const {
  const ptree& node = arg(index, "rpose");
  const std::vector<double> pos = numbers(node, "pos", 3, index);
  const std::vector<double> rpy = numbers(node, "rpy", 3, index);
  return hx4_program_api::RobotPose(hx4_program_api::Position(pos[0], pos[1], pos[2]),
                                    hx4_program_api::Rotation::RPY(rpy[0], rpy[1], rpy[2]));
}

hx4_program_api::Load ArgProviderXml::getLoad(std::size_t index) const {
  const ptree& node = arg(index, "load");
  const std::vector<double> mass = numbers(node, "mass", 1, index);
  const std::vector<double> cog = numbers(node, "cog", 3, index);
  hx4_program_api::Load load(mass[0], hx4_program_api::Position(cog[0], cog[1], cog[2]));
  if (node.get_child_optional("inertia")) {
    load.setInertia(numbers(node, "inertia", 6, index).data());
  }
  return load;
}

}  // namespace hx4_bundle_api
