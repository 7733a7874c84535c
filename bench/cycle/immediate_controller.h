// ImmediateController: a controller backend for measuring the force-control
// cycle's own compute time. Its synchronisation returns at once (no tick to
// wait for, no yield), it reports a ready load model and a fixed tool and
// robot pose, offers no control-resource status (no hold flags), and it
// counts the drive commands and how many of them carried a non-finite
// number, without storing them. Nothing here allocates after construction.
#pragma once

#include <atomic>
#include <cstdint>

#include "host/controller_backend.h"
#include "host/controller_types.h"

namespace vorel_bench {

class ImmediateController : public hx4_program_api_internals::ControllerBackend {
 public:
  ImmediateController() {
    const double tensor[6] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    tool_.inertia.set(0.8, hx4rc_api::Vector(0.0, 0.0, 0.04), tensor);  // kg, m
    tool_.id = hx4rc_api::Load::SysId::LOAD_TOOL;
    // The TCP 0.135 m along the flange's z axis.
    tcp_on_flange_ = hx4rc_api::Frame(hx4rc_api::Rotation(), hx4rc_api::Vector(0.0, 0.0, 0.135));
  }

  void sync(bool /*wait_for_motion*/) override {}
  hx4rc_api::State::SysStat_RCState rcState() override {
    hx4rc_api::State::SysStat_RCState state;
    state.value = hx4rc_api::State::SysStat_RCState::kLoadModelReady;
    return state;
  }
  hx4rc_api::Load load(hx4rc_api::Load::SysId /*id*/) override { return tool_; }
  void setLoad(hx4rc_api::Load::SysId /*id*/, const hx4rc_api::Load& load) override {
    tool_ = load;
  }
  hx4rc_api::Frame frame(hx4rc_api::Model::SysId a, hx4rc_api::Model::SysId b) override {
    if (a == hx4rc_api::Model::SysId::FRAME_ROBOTX_TCP &&
        b == hx4rc_api::Model::SysId::FRAME_ROBOT_FLANGE)
      return tcp_on_flange_;
    return hx4rc_api::Frame::Identity();
  }
  int move(const hx4rc_api::Motion::Target& /*target*/,
           const hx4rc_api::Motion::Params& /*params*/) override {
    return 0;
  }
  int submit(const hx4rc_api::Drive::CmdReferenceCtl& command) override {
    commands_.fetch_add(1, std::memory_order_relaxed);
    if (!command.referenceOffset().frame.isFinite())
      non_finite_.fetch_add(1, std::memory_order_relaxed);
    return 0;
  }
  void acquireResources(bool /*exclusive*/) override {}
  void releaseResources() override {}
  boost::optional<hx4_program_api_internals::ControlStatus> resourceStatus() override {
    return boost::none;
  }

  std::uint64_t commands() const { return commands_.load(); }
  std::uint64_t nonFiniteCommands() const { return non_finite_.load(); }

 private:
  hx4rc_api::Load tool_;
  hx4rc_api::Frame tcp_on_flange_;
  std::atomic<std::uint64_t> commands_{0};
  std::atomic<std::uint64_t> non_finite_{0};
};

}  // namespace vorel_bench
