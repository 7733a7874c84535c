#include "host/controller_types.h"

namespace hx4rc_api {

Load::Load() : inertia(), mounting(), id(SysId::LOAD_TOOL) {}

std::uint32_t State::SysStat_RCState::unsignedValue(unsigned item, unsigned index) const {
  if (index != 0)
    return 0u;
  return item == 0 ? value : item == 1 ? cycles : 0u;
}

Drive::CmdReferenceCtl& Drive::CmdReferenceCtl::withReferenceOffset(const Pose& offset) {
  offset_ = offset;
  has_offset_ = true;
  return *this;
}

Drive::CmdDriveCtl::CmdDriveCtl() = default;
Drive::CmdDriveCtl::~CmdDriveCtl() = default;

}  // namespace hx4rc_api
