// vorel-monitor --once --json: the newest record of the ring as one JSON
// object with named fields, units in the names (_N, _Nm, _m, _rad, _s):
//   recorder        name, capacity, records, writer_pid, advancing,
//                   last_record_age_s, message (when it does not advance)
//   cycle, controller_time_s, monotonic_ns
//   force_control   state (idle, active, returning, suspended), state_code,
//                   offset_sent, new_sample, limits_bound (names),
//                   limits_bound_bits, events (names), events_bits
//   supervisor      state (ok, stale, faulted, not running), state_code,
//                   sample_age_s (-1: no usable sample yet)
//   health          usable_samples_per_second, frames_published, crc_errors,
//                   lost_sync_events, last_status
//   wrench          raw, gravity_compensated (sensor axes), tool, filtered,
//                   setpoint (TCP axes): each {frame, force_N, torque_Nm}
//   offset          {frame: "TCP", translation_m, rotation_rad (roll, pitch, yaw)}
//   tcp_position_m  TCP in the world
// NaN (no sample processed yet) is null.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "apps/vorel-monitor/ring_view.h"

namespace vorel_monitor {

nlohmann::ordered_json snapshotJson(const RecorderReader& ring, const RingStatus& status);

// Names of force control's and the supervisor's states, and of the bits.
const char* forceControlStateName(int code);
const char* supervisorStateName(int code);
std::vector<std::string> limitNames(unsigned bits);
std::vector<std::string> eventNames(unsigned bits);

}  // namespace vorel_monitor
