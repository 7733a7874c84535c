#include "device/black_box_config.h"

#include <boost/algorithm/string/trim.hpp>
#include <cerrno>
#include <cstdlib>

namespace vorel_device {

BlackBoxConfig BlackBoxConfig::read(const boost::property_tree::ptree& device) {
  BlackBoxConfig config;
  const auto element = device.get_child_optional("blackbox");
  if (!element)
    return config;
  BlackBox::Settings& s = config.settings;
  for (const auto& [name, child] : *element) {
    if (name == "<xmlattr>" || name == "<xmlcomment>")
      continue;
    const std::string text = boost::algorithm::trim_copy(child.data());
    if (name == "directory") {
      if (text.empty())
        config.problems.push_back("<blackbox><directory> is empty; the black box writes to \"" +
                                  s.directory + "\"");
      else
        s.directory = text;
    } else if (name == "keep") {
      errno = 0;
      char* end = nullptr;
      const long value = std::strtol(text.c_str(), &end, 10);
      if (text.empty() || *end != '\0' || errno == ERANGE || value < 0 ||
          static_cast<unsigned long>(value) > kMaxKeep) {
        config.problems.push_back("<blackbox><keep> \"" + text +
                                  "\" is not a whole number from 0 to " + std::to_string(kMaxKeep) +
                                  "; the black box keeps " + std::to_string(s.max_files) +
                                  " files");
      } else {
        s.max_files = static_cast<std::size_t>(value);
      }
    } else {
      config.problems.push_back("<blackbox> has an unknown element <" + name +
                                "> (known: <directory>, <keep>); it is ignored");
    }
  }
  return config;
}

}  // namespace vorel_device
