// Program values of the interpreter: numbers, arrays, robot poses and loads.
#include "host/program_values.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>

namespace {

using hx4_program_api::Array;
using hx4_program_api::Load;
using hx4_program_api::Number;
using hx4_program_api::Position;
using hx4_program_api::RobotPose;
using hx4_program_api::Rotation;

constexpr double kHalfPi = M_PI / 2;

TEST(Number, CopyAndArithmetic_CopyIsHandleOnSameStorageArithmeticGivesNewValues) {
  Number a(1.0);
  Number b(a);
  b = 2.5;
  EXPECT_EQ(a.d(), 2.5);
  // Assigning a Number writes its value into this handle's storage only.
  Number c;
  c = a;
  c = 7.0;
  EXPECT_EQ(a.d(true), 2.5);

  const Number speed(50.0);
  // The step of move to contact: 0.12 s of travel, millimetres to metres.
  EXPECT_DOUBLE_EQ((0.12 * speed / 1000.0).d(true), 0.006);
  Number difference = speed - Number(60.0);
  difference = difference.d(true) * 2.0;  // a new value, not a handle on `speed`
  EXPECT_EQ(difference.d(true), -20.0);
  EXPECT_EQ(speed.d(true), 50.0);
}

TEST(ArrayNumber, Item_CreatesRowsUpToIndexWithinCapacityElseThrowsWithIndexAndLimit) {
  Array<Number> array(3, 1);
  EXPECT_EQ(array.rows(), 0u);
  const auto message = [&array](std::size_t row, std::size_t col) -> std::string {
    try {
      array.item(row, col);
    } catch (const std::out_of_range& e) {
      return e.what();
    }
    return "no exception";
  };
  EXPECT_EQ(message(3, 0), "Row index out of range: idx=3 capacity=3");
  EXPECT_EQ(message(0, 1), "Column index out of range: idx=1 columns=1");
  EXPECT_EQ(message(7, 2), "Column index out of range: idx=2 columns=1");
  EXPECT_EQ(array.rows(), 0u);  // a failed access creates no rows

  array.item(2, 0) = -10.0;
  EXPECT_EQ(array.rows(), 3u);
  EXPECT_EQ(array.item(0, 0).d(true), 0.0);
  EXPECT_EQ(array.item(2, 0).d(true), -10.0);
  Number element = array.item(1, 0);  // an element handle writes through
  element = 4.0;
  EXPECT_EQ(array.item(1, 0).d(true), 4.0);
  EXPECT_EQ(array.rows(), 3u);
}

TEST(RobotPose, EmptyOrNaN_InvalidAndEvaluatesToNaNFrameOrThrows) {
  const RobotPose empty;
  EXPECT_FALSE(empty.valid());
  EXPECT_FALSE(empty.evaluate(true).isFinite());
  EXPECT_FALSE(empty.toFrame(true).isFinite());
  EXPECT_THROW(empty.evaluate(false), std::logic_error);
  EXPECT_THROW(empty.toFrame(false), std::logic_error);
  hx4rc_api::Frame broken = hx4rc_api::Frame::Identity();
  broken.rotation(1, 1) = NAN;
  EXPECT_FALSE(RobotPose(broken).valid());
  EXPECT_FALSE(RobotPose(hx4rc_api::Frame()).valid());
  const RobotPose on_empty(Position(0.1, 0.0, 0.0), Rotation::RPY(), RobotPose());
  EXPECT_FALSE(on_empty.valid());
  EXPECT_FALSE(on_empty.evaluate(true).isFinite());
  RobotPose moved(Position(0.2, 0.0, 0.5), Rotation::RPY());
  moved.setPos(Position(NAN, 0.0, 0.0));
  EXPECT_FALSE(moved.valid());
}

TEST(RobotPose, FromFrameRelativeAndSetPos_EvaluateThroughReference) {
  // Reference: 1 m along world x, turned 90 degrees about z, given as a frame.
  const RobotPose reference(hx4rc_api::Frame(hx4rc_api::Rotation::RPY(0.0, 0.0, kHalfPi),
                                             hx4rc_api::Vector(1.0, 0.0, 0.0)));
  const hx4rc_api::Frame tilted(hx4rc_api::Rotation::RPY(0.1, -0.2, 0.3),
                                hx4rc_api::Vector(0.4, 0.5, 0.6));
  const hx4rc_api::Frame back = RobotPose(tilted).evaluate(true);
  for (int i = 0; i < 9; ++i)
    EXPECT_NEAR(back.rotation.data()[i], tilted.rotation.data()[i], 1e-12);
  EXPECT_EQ(back.position, tilted.position);
  // 0.1 m along the reference's own x axis, which is world y.
  RobotPose step(Position(0.1, 0.0, 0.0), Rotation::RPY(), reference);
  ASSERT_TRUE(step.valid());
  const hx4rc_api::Frame world = step.evaluate(true);
  EXPECT_NEAR(world.position.x(), 1.0, 1e-12);
  EXPECT_NEAR(world.position.y(), 0.1, 1e-12);
  EXPECT_NEAR(world.position.z(), 0.0, 1e-12);
  EXPECT_NEAR(world.rotation(1, 0), 1.0, 1e-12);
  EXPECT_NEAR(world.rotation(0, 1), -1.0, 1e-12);
  // toFrame: the pose's own values, relative to the reference.
  const hx4rc_api::Frame own = step.toFrame(true);
  EXPECT_EQ(own.position, hx4rc_api::Vector(0.1, 0.0, 0.0));
  EXPECT_EQ(own.rotation, hx4rc_api::Rotation::Identity());
  step.setPos(step.pos() + Position(0.0, 0.0, 0.006));
  EXPECT_NEAR(step.evaluate(true).position.z(), 0.006, 1e-12);
  EXPECT_NEAR(step.evaluate(true).position.y(), 0.1, 1e-12);
}

TEST(Load, ToRecord_CarriesIdMassCogAndTensor) {
  Load load(0.8, Position(0.01, 0.0, 0.04));
  const double tensor[6] = {0.1, 0.2, 0.3, 0.4, 0.5, 0.6};
  load.setInertia(tensor);
  const hx4rc_api::Load record = load.toRecord(hx4rc_api::Load::SysId::LOAD_TOOL);
  EXPECT_EQ(record.id, hx4rc_api::Load::SysId::LOAD_TOOL);
  EXPECT_EQ(record.inertia.mass, 0.8);
  EXPECT_EQ(record.inertia.cog, hx4rc_api::Vector(0.01, 0.0, 0.04));
  for (int i = 0; i < 6; ++i)
    EXPECT_EQ(record.inertia.tensor[i], tensor[i]);
  EXPECT_FALSE(record.mounting.isFinite());
}

}  // namespace
