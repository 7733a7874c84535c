// Shared pieces of the device tests: device configurations, vectors of the
// robot-program interpreter, and a device whose workers are stopped for sure
// before it goes.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <boost/shared_ptr.hpp>
#include <chrono>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "comm/shared_segment.h"
#include "device/vorel_ft_sensor.h"
#include "tests/support/installed_controller.h"
#include "tests/support/poll_until.h"
#include "tests/support/segment_view.h"

namespace vorel_device_test {

using boost::property_tree::ptree;
using Array = hx4_program_api::Array<hx4_program_api::Number>;
using Number = hx4_program_api::Number;
using Vec3 = std::array<double, 3>;
using vorel_device::VorelFTSensor;

// The device's configuration node, as a host reads it from its XML file.
inline ptree deviceConfig(const std::string& inner) {
  std::istringstream xml(
      "<device class=\"vorel_device::VorelFTSensor\" label=\"ft_sensor\" plux=\"vorel\">" + inner +
      "</device>");
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

// Mounting parameters of the end-to-end tests: a 2.0 kg tool whose centre of
// gravity lies 0.1 m along the sensor's x axis, and a sensor 0.035 m above the
// flange, turned by +90 degrees about z (sensor x = flange y).
inline std::string mountingXml() {
  return "<mounting><arg type=\"load\"><mass>2.0</mass><cog>0.1 0 0</cog></arg>"
         "<arg type=\"rpose\"><pos>0 0 0.035</pos><rpy>0 0 1.5707963267948966</rpy></arg>"
         "</mounting>";
}

// A program's vector: three rows, one column.
inline Array vector3(double x, double y, double z) {
  Array a(3, 1);
  a.item(0, 0) = x;
  a.item(1, 0) = y;
  a.item(2, 0) = z;
  return a;
}

inline Vec3 rows(Array& a) {
  return {a.item(0, 0).d(true), a.item(1, 0).d(true), a.item(2, 0).d(true)};
}

// Reads one stage through a robot-program read function.
template <class Fn>
Vec3 readWith(VorelFTSensor& device, Fn fn) {
  Array out(3, 1);
  EXPECT_TRUE((device.*fn)(out).ok());
  return rows(out);
}

#define EXPECT_VEC3_NEAR(actual, x, y, z, tol) \
  do {                                         \
    const Vec3 v_ = (actual);                  \
    EXPECT_NEAR(v_[0], (x), (tol));            \
    EXPECT_NEAR(v_[1], (y), (tol));            \
    EXPECT_NEAR(v_[2], (z), (tol));            \
  } while (0)

using vorel_test::SegmentView;

inline vorel_device::Wrench wrenchOf(double fx, double fy, double fz, double tx, double ty,
                                     double tz) {
  vorel_device::Wrench w;
  const double v[6] = {fx, fy, fz, tx, ty, tz};
  for (int i = 0; i < 6; ++i)
    w[i] = v[i];
  return w;
}

// Awaits a frame from the reader whose sensor-z force is `fz` (N) in the
// shared segment that exists now.
inline bool awaitFrameFz(float fz) {
  SegmentView view;
  return vorel_test::pollUntil([&] {
    return view.read<vorel_device::RxFrame>(vorel_device::shared_segment::kFrame).ft_data[2] == fz;
  });
}

// Frames the force-control thread's supervisor has counted as published.
inline std::uint64_t framesPublished() {
  return SegmentView()
      .read<vorel_device::SensorHealth>(vorel_device::shared_segment::kSensorHealth)
      .frames_published;
}

// Awaits one more published frame than `count`.
inline bool awaitFramesPublishedAbove(std::uint64_t count) {
  SegmentView view;
  return vorel_test::pollUntil([&] {
    return view.read<vorel_device::SensorHealth>(vorel_device::shared_segment::kSensorHealth)
               .frames_published > count;
  });
}

// One ERROR line per function, in order: "[ERROR] <function>: ..." with
// `what` in it.
inline void expectErrorLines(const std::vector<std::string>& lines,
                             const std::vector<std::string>& functions, const std::string& what) {
  ASSERT_EQ(lines.size(), functions.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].rfind("[ERROR] " + functions[i] + ": ", 0), 0u) << lines[i];
    EXPECT_NE(lines[i].find(what), std::string::npos) << lines[i];
  }
}

// Ends a device's life as the host does (unbind, destroy) with the double
// free running, so that no worker stays blocked in the controller
// synchronisation; the test may have done any of it already.
inline void retire(VorelFTSensor& device, vorel_test::InstalledController& controller) {
  controller->setFreeRunning(true);
  device.onUnbind();
  device.onDestroy();
}

}  // namespace vorel_device_test
