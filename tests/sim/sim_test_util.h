// Helpers of the simulated-controller and contact-world tests: building motion
// targets and reference offsets as the device builds them, and comparing
// poses.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "host/controller_types.h"
#include "host/geometry.h"

namespace vorel_sim_test {

// A motion target in world coordinates, as the device's move to contact sends it.
inline hx4rc_api::Motion::Target worldTarget(const hx4rc_api::Frame& frame) {
  hx4rc_api::Motion::Target target;
  target.frame = frame;
  target.frame_id = static_cast<std::int32_t>(hx4rc_api::Model::SysId::FRAME_WORLD);
  return target;
}

// A reference offset as the force-control thread sends it: position (m) and
// roll-pitch-yaw (rad) in TCP axes, trailing field 1.
inline hx4rc_api::Pose referenceOffset(double x, double y, double z, double roll = 0.0,
                                       double pitch = 0.0, double yaw = 0.0) {
  hx4rc_api::Pose pose;
  const double position[3] = {x, y, z};
  const double rpy[3] = {roll, pitch, yaw};
  pose.setPRPY(position, rpy, 0);
  pose.valid = 1;
  return pose;
}

inline hx4rc_api::Drive::CmdReferenceCtl driveCommand(const hx4rc_api::Pose& offset) {
  hx4rc_api::Drive::CmdReferenceCtl command;
  command.withReferenceOffset(offset);
  return command;
}

// Every one of the twelve values within `tol`.
inline ::testing::AssertionResult framesNear(const hx4rc_api::Frame& a, const hx4rc_api::Frame& b,
                                             double tol) {
  for (int i = 0; i < 9; ++i) {
    if (!(std::abs(a.rotation.data()[i] - b.rotation.data()[i]) <= tol)) {
      return ::testing::AssertionFailure()
             << "rotation element " << i << ": " << a.rotation.data()[i] << " vs "
             << b.rotation.data()[i];
    }
  }
  for (int i = 0; i < 3; ++i) {
    if (!(std::abs(a.position[i] - b.position[i]) <= tol)) {
      return ::testing::AssertionFailure()
             << "position " << i << ": " << a.position[i] << " vs " << b.position[i];
    }
  }
  return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult vectorsNear(const hx4rc_api::Vector& a,
                                              const hx4rc_api::Vector& b, double tol) {
  for (int i = 0; i < 3; ++i) {
    if (!(std::abs(a[i] - b[i]) <= tol)) {
      return ::testing::AssertionFailure() << "component " << i << ": " << a[i] << " vs " << b[i];
    }
  }
  return ::testing::AssertionSuccess();
}

}  // namespace vorel_sim_test
