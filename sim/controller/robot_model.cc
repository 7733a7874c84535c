#include "sim/controller/robot_model.h"

namespace vorel_sim {

using hx4rc_api::Frame;
using hx4rc_api::Model;

namespace {

bool isPose(const Frame& frame) {
  return frame.isFinite() && isRotation(frame.rotation);
}

}  // namespace

RobotModel::RobotModel(const Config& config)
    : config_(config),
      commanded_(config.start_tcp),
      offset_(Frame::Identity()),
      pending_offset_(Frame::Identity()) {
  if (!isPose(commanded_))
    commanded_ = cell::startTcp();
  if (!isPose(config_.tcp_in_flange))
    config_.tcp_in_flange = cell::tcpInFlange();
  derive();
}

bool RobotModel::acceptsTarget(const hx4rc_api::Motion::Target& target) {
  return target.frame_id == static_cast<std::int32_t>(Model::SysId::FRAME_WORLD) &&
         isPose(target.frame);
}

bool RobotModel::acceptsOffset(const hx4rc_api::Pose& offset) {
  return offset.valid == 1 && isPose(offset.frame);
}

bool RobotModel::setTarget(const hx4rc_api::Motion::Target& target) {
  if (!acceptsTarget(target))
    return false;
  target_ = target.frame;
  return true;
}

bool RobotModel::setOffset(const hx4rc_api::Pose& offset) {
  if (!acceptsOffset(offset))
    return false;
  pending_offset_ = offset.frame;
  return true;
}

void RobotModel::advance(double dt, bool hold) {
  const hx4rc_api::Vector before = tcp_.position;
  if (target_ && !hold) {
    commanded_ = stepToward(commanded_, *target_, config_.limits, dt);
    if (commanded_.position == target_->position && commanded_.rotation == target_->rotation) {
      target_.reset();
    }
  }
  offset_ = pending_offset_;
  derive();
  velocity_ = (1.0 / dt) * (tcp_.position - before);
  time_s_ += dt;
}

bool RobotModel::placeTcp(const Frame& tcp) {
  if (!isPose(tcp))
    return false;
  commanded_ = tcp;
  target_.reset();
  derive();
  velocity_ = hx4rc_api::Vector();
  return true;
}

bool RobotModel::setTcpInFlange(const Frame& tcp_in_flange) {
  if (!isPose(tcp_in_flange))
    return false;
  config_.tcp_in_flange = tcp_in_flange;
  derive();
  return true;
}

RobotState RobotModel::state() const {
  RobotState s;
  s.time_s = time_s_;
  s.flange = flange_;
  s.tcp = tcp_;
  s.tcp_velocity = velocity_;
  return s;
}

Frame RobotModel::pose(Model::SysId id) const {
  switch (id) {
    case Model::SysId::FRAME_WORLD:
    case Model::SysId::FRAME_ROBOT_BASE:
      return Frame::Identity();
    case Model::SysId::FRAME_ROBOT_FLANGE:
      return flange_;
    case Model::SysId::FRAME_ROBOTX_TCP:
      return tcp_;
  }
  return Frame();
}

Frame RobotModel::frame(Model::SysId a, Model::SysId b) const {
  return pose(b).Inverse() * pose(a);
}

void RobotModel::derive() {
  tcp_ = commanded_ * offset_;
  flange_ = tcp_ * config_.tcp_in_flange.Inverse();
}

}  // namespace vorel_sim
