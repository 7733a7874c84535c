// libFuzzer target: the XML device configuration as a host reads it
// (boost::property_tree::read_xml), and the argument reader the device uses
// on its activation and mounting subtrees (hx4_bundle_api::ArgProviderXml).
//
// Input: the bytes of a configuration file, for example
//   <device class="vorel_device::VorelFTSensor" label="ft_sensor">
//     <activation><arg type="string">/dev/ttyUSB0</arg>
//                 <arg type="double">500</arg></activation>
//     <mounting><arg type="load"><mass>0.8</mass><cog>0 0 0.04</cog></arg>
//               <arg type="rpose"><pos>0 0 0.035</pos><rpy>0 0 0</rpy></arg></mounting>
//   </device>
// For a document that parses, each "activation" and "mounting" subtree of
// its <device> node (and of the document root) is read at every index from
// 0 to one past its last argument, as each of the four argument types.
//
// Invariants:
//   - getArgCount() is the number of <arg> children of the subtree;
//   - a read returns, or throws hx4_bundle::Error whose message begins with
//     "argument <index>"; nothing else is thrown, and an index past the last
//     argument always throws;
//   - a pose that was read is valid exactly when its frame is finite: a
//     valid pose never yields a NaN frame, an invalid one yields the all-NaN
//     frame instead of garbage;
//   - a document that does not parse is reported with
//     boost::property_tree::xml_parser_error, nothing else.
// Crashes, sanitizer reports and time-outs fail the run as well.
#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <cctype>
#include <cstdint>
#include <sstream>
#include <string>

#include "fuzz/fuzz_check.h"
#include "host/bundle.h"
#include "host/program_values.h"
#include "host/signals.h"

namespace {

using boost::property_tree::ptree;

// The message of a failed read names the argument's index first.
void checkMessage(const hx4_bundle::Error& error, std::size_t index) {
  const std::string message = error.what();
  const std::string prefix = "argument " + std::to_string(index);
  FUZZ_CHECK(message.compare(0, prefix.size(), prefix) == 0);
  FUZZ_CHECK(message.size() == prefix.size() ||
             !std::isdigit(static_cast<unsigned char>(message[prefix.size()])));
}

// One read; true when it returned. Any exception but hx4_bundle::Error
// escapes and ends the run.
template <class Read>
bool tryRead(std::size_t index, Read read) {
  try {
    read();
    return true;
  } catch (const hx4_bundle::Error& error) {
    checkMessage(error, index);
    return false;
  }
}

void readSubtree(const ptree& params) {
  const hx4_bundle_api::ArgProviderXml args(params);
  std::size_t arg_children = 0;
  for (const auto& child : params)
    arg_children += (child.first == "arg") ? 1 : 0;
  FUZZ_CHECK(args.getArgCount() == arg_children);

  for (std::size_t index = 0; index <= args.getArgCount() + 1; ++index) {
    const bool past_end = index >= args.getArgCount();
    bool any = false;
    any |= tryRead(index, [&] { args.getString(index); });
    any |= tryRead(index, [&] { args.getDouble(index); });
    any |= tryRead(index, [&] {
      const hx4_program_api::RobotPose pose = args.getRPose(index);
      const hx4rc_api::Frame frame = pose.toFrame(true);
      FUZZ_CHECK(pose.valid() == frame.isFinite());
      if (!pose.valid()) {
        for (int i = 0; i < 3; ++i)
          FUZZ_CHECK(frame.position[i] != frame.position[i]);  // NaN
      }
    });
    any |= tryRead(index, [&] {
      const hx4_program_api::Load load = args.getLoad(index);
      const hx4rc_api::Load record = load.toRecord(hx4rc_api::Load::SysId::LOAD_TOOL);
      FUZZ_CHECK(record.id == hx4rc_api::Load::SysId::LOAD_TOOL);
    });
    if (past_end)
      FUZZ_CHECK(!any);
  }
}

void readDevice(const ptree& device) {
  // What a host reads from the node besides the arguments.
  device.get<std::string>("<xmlattr>.class", "");
  device.get<std::string>("<xmlattr>.label", "");
  for (const char* subtree : {"activation", "mounting"}) {
    if (const auto params = device.get_child_optional(subtree))
      readSubtree(*params);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::istringstream xml(std::string(reinterpret_cast<const char*>(data), size));
  ptree tree;
  try {
    boost::property_tree::read_xml(xml, tree);
  } catch (const boost::property_tree::xml_parser_error&) {
    return 0;  // not a well-formed document: the host reports it
  }
  readDevice(tree);
  if (const auto device = tree.get_child_optional("device"))
    readDevice(*device);
  return 0;
}
