#include "sim/world/simulated_robot_sensor.h"

#include <stdexcept>
#include <utility>

namespace vorel_sim {

using vorel_device::Wrench;

SimulatedRobotSensor::SimulatedRobotSensor(boost::shared_ptr<SimulatedController> controller,
                                           std::shared_ptr<ContactWorld> world)
    : shared_(std::make_shared<Shared>()) {
  if (!controller || !world) {
    throw std::invalid_argument("simulated robot sensor: needs a controller and a contact world");
  }
  shared_->controller = std::move(controller);
  shared_->world = std::move(world);
}

Wrench SimulatedRobotSensor::Shared::measure() {
  const Wrench wrench = world->measure(controller->robotState());
  {
    std::lock_guard<std::mutex> lock(last_mutex);
    last = wrench;
  }
  frames.fetch_add(1);
  return wrench;
}

Wrench SimulatedRobotSensor::wrenchNow() {
  return shared_->measure();
}

SensorEmulator::WrenchProvider SimulatedRobotSensor::provider() {
  std::shared_ptr<Shared> shared = shared_;
  return [shared](SensorEmulator::Clock::time_point /*frame_time*/) { return shared->measure(); };
}

void SimulatedRobotSensor::attach(SensorEmulator& emulator) {
  emulator.setWrenchProvider(provider());
}

std::uint64_t SimulatedRobotSensor::framesProvided() const {
  return shared_->frames.load();
}

Wrench SimulatedRobotSensor::lastWrench() const {
  std::lock_guard<std::mutex> lock(shared_->last_mutex);
  return shared_->last;
}

}  // namespace vorel_sim
