// Records of the controller API (libhx4rc_api): frame identifiers of the
// kinematic model, load records, the controller state, motion commands and
// drive commands.
#pragma once

#include <cstdint>

#include "host/geometry.h"

namespace hx4rc_api {

// The kinematic model's frames, for frame queries (pose of a relative to b).
struct Model {
  enum class SysId : std::int32_t {
    FRAME_WORLD = 1,
    FRAME_ROBOT_BASE = 2,
    FRAME_ROBOT_FLANGE = 3,
    FRAME_ROBOTX_TCP = 4,
  };
};

// A load record of the controller's load model. Default: every value NaN,
// except `id` (LOAD_TOOL).
struct Load {
  enum class SysId : std::uint32_t {
    LOAD_TOOL = 1,
    LOAD_PAYLOAD = 2,
  };

  Load();

  Inertia inertia;
  // Pose of the load's reference frame relative to the flange; NaN when unset.
  Frame mounting;
  SysId id;
};

// Controller state records.
struct State {
  // The robot controller's status, two items of one index each. Item 0 is
  // the status word: bit value 2 (bit 1) is set while the controller's load
  // model may be read. Item 1 counts the controller's cycles since it
  // started (2 ms each; wraps after 2^32).
  struct SysStat_RCState {
    static constexpr std::uint32_t kLoadModelReady = 2;

    std::uint32_t value = 0;   // item 0
    std::uint32_t cycles = 0;  // item 1
    std::uint32_t unsignedValue(unsigned item, unsigned index) const;
  };
};

// The controller's Cartesian motion command: move toward a target frame with
// the given motion parameters. One command per call; a later call replaces the
// target of an earlier one. A default-built record is "no target": NaN frame,
// every integer and value 0.
struct Motion {
  struct Target {
    Frame frame;                // target pose, world coordinates; NaN when not valid
    std::int32_t frame_id = 0;  // Model::SysId of the frame's parent, 0 when not valid
  };
  struct Param {
    std::int32_t kind = 0;      // 1 and 2: the controller's parameter kinds
    std::int32_t reserved = 0;  // 0
    double value = 0.0;
  };
  struct Params {
    Param pairs[3];
    std::int32_t reserved[2] = {0, 0};
  };
};

// Drive commands. A CmdDriveCtl is built on the stack for each command; its
// reference-control view carries a Cartesian reference offset (in the TCP
// frame: position in metres, roll-pitch-yaw in radians) that the drive adds to
// the commanded pose until the next command replaces it. Nothing allocates.
struct Drive {
  class CmdReferenceCtl {
   public:
    CmdReferenceCtl& withReferenceOffset(const Pose& offset);
    const Pose& referenceOffset() const { return offset_; }
    bool hasReferenceOffset() const { return has_offset_; }

   private:
    Pose offset_;
    bool has_offset_ = false;
  };

  class CmdDriveCtl {
   public:
    CmdDriveCtl();
    ~CmdDriveCtl();
    CmdReferenceCtl& asReferenceControl() { return reference_; }

   private:
    CmdReferenceCtl reference_;
  };
};

}  // namespace hx4rc_api
