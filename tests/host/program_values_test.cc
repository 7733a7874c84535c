// Program values of the interpreter: arrays and robot poses.
#include "host/program_values.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>

namespace {

using hx4_program_api::Array;
using hx4_program_api::Number;
using hx4_program_api::Position;
using hx4_program_api::RobotPose;
using hx4_program_api::Rotation;

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

}  // namespace
