// The black box's settings from the device configuration: an optional child
// of <device>,
//
//   <blackbox>
//     <directory>/var/log/robot/vorel-blackbox</directory>
//     <keep>20</keep>
//   </blackbox>
//
//   directory  where the files go; a relative path is taken under the host's
//              working directory at activation. Default "vorel-blackbox".
//   keep       how many black-box files the directory keeps (the oldest go):
//              a whole number from 0 to 1000; 0 writes none (the recorder
//              still runs and vorel-monitor still sees it). Default 20.
#pragma once

#include <boost/property_tree/ptree.hpp>
#include <string>
#include <vector>

#include "device/black_box.h"

namespace vorel_device {

// Both children and the element itself are optional. A value that is not
// one of these (an empty directory, a keep of "ten", 2.5 or -1, an unknown
// child) is not taken: its default is used and the problem is kept as a
// message, which the device writes as an ERROR line at activation. A bad
// element never fails the activation.
struct BlackBoxConfig {
  static constexpr std::size_t kMaxKeep = 1000;

  BlackBox::Settings settings;        // the defaults where the element says nothing usable
  std::vector<std::string> problems;  // one message per value refused, for ERROR lines

  // Reads the <blackbox> child of the <device> node `device`.
  static BlackBoxConfig read(const boost::property_tree::ptree& device);
};

}  // namespace vorel_device
