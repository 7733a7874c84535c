// Shared pieces of the device tests: vectors of the robot-program
// interpreter, console and segment checks, waits for the reader's frames, and
// a device whose workers are stopped for sure before it goes. The device
// configurations are in device_config.h.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <boost/shared_ptr.hpp>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "comm/shared_segment.h"
#include "device/vorel_ft_sensor.h"
#include "tests/device/device_config.h"
#include "tests/support/console_capture.h"
#include "tests/support/installed_controller.h"
#include "tests/support/poll_until.h"
#include "tests/support/segment_view.h"

namespace vorel_device_test {

using Array = hx4_program_api::Array<hx4_program_api::Number>;
using Number = hx4_program_api::Number;
using Vec3 = std::array<double, 3>;
using vorel_device::VorelFTSensor;

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

// The force-control thread this device relies on no longer runs (stopped, or
// its process killed): the health readout shows supervisor state 3 within
// the guard, moveToContact moves nothing, activateForceControl still writes
// its request but says, in one ERROR line, that nothing acts on it, readForce
// says its values are stale and tareSensor refuses them.
// The controller must run cycles for moveToContact (free running).
inline void expectForceControlNotRunning(VorelFTSensor& device,
                                         vorel_test::InstalledController& controller,
                                         vorel_test::ConsoleCapture& console) {
  ASSERT_TRUE(vorel_test::pollUntil([&] {
    Array health(6, 1);
    device.readSensorHealth(health);
    return health.item(5, 0).d(true) == 3.0;
  }));
  console.clear();
  const std::size_t moves = controller->motionCommandCount();
  Number speed(-20.0), threshold(5.0), max_distance(100.0), retract(10.0);
  ASSERT_TRUE(device.moveToContact(0, 2, speed, threshold, max_distance, retract).ok());
  EXPECT_EQ(controller->motionCommandCount(), moves);
  ASSERT_TRUE(device.activateForceControl(true, false).ok());
  EXPECT_TRUE(SegmentView().read<bool>(vorel_device::shared_segment::kActivateTranslation));
  // The processed readouts say that they are stale, and a tare on them
  // leaves the bias alone.
  const auto bias =
      SegmentView().read<vorel_device::ftBias>(vorel_device::shared_segment::kWrenchOffset);
  Array force = vector3(7.0, 7.0, 7.0);
  ASSERT_TRUE(device.readForce(force).ok());
  ASSERT_TRUE(device.tareSensor().ok());
  const auto after =
      SegmentView().read<vorel_device::ftBias>(vorel_device::shared_segment::kWrenchOffset);
  for (int i = 0; i < 6; ++i)
    EXPECT_EQ(after[i], bias[i]) << i;
  expectErrorLines(console.lines(),
                   {"moveToContact", "activateForceControl", "readForce", "tareSensor"},
                   "force control is not running (no force-control cycle for ");
  EXPECT_NE(console.lines()[2].find("the values read are stale"), std::string::npos);
  EXPECT_NE(console.lines()[3].find("the bias is unchanged"), std::string::npos);
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
