// The force-control recorder's records as CSV, one row per 2 ms cycle: the
// black-box files and vorel-monitor's --dump and --follow.
#pragma once

#include <string>

#include "comm/force_control_record.h"

namespace vorel_device {
namespace recorder {

// The first columns are those of vorel-sim's trace, in its order and under
// its names, so that scripts/plot-trace.py plots either:
//   time_s                          controller time, s
//   raw_fx .. raw_tz                the sample processed: N, N m, sensor axes
//   tool_fx .. tool_tz              TCP axes, bias removed (what readForce reports)
//   filt_fx .. filt_tz              after the filter chain and the system filter
//   offset_x .. offset_yaw          the offset force control holds: m, rad, TCP axes
//   tcp_x tcp_y tcp_z               TCP in the world, m
// then the recorder's own:
//   cycle, monotonic_ns             cycle since activation; CLOCK_MONOTONIC, ns
//   comp_fx .. comp_tz              gravity compensated, sensor axes
//   setpoint_fx .. setpoint_tz      the law's smoothed target, TCP axes
//   offset_sent, new_sample         1 when the offset went to the drive / a
//                                   usable sample arrived in the cycle
//   fc_state                        0 idle, 1 active, 2 returning, 3 suspended
//   supervisor_state                0 ok, 1 stale, 2 faulted, 3 not running
//   sample_age_s                    s since the last usable sample (-1: none)
//   limits_bound                    bits: 1 translational speed, 2 rotational
//                                   speed, 4 translational envelope, 8 rotational
//   events                          bits: 1 stale trip, 2 cycle failure, 4 a
//                                   limit starts to bind, 8 program terminated
//                                   while on, 16 request
//   usable_per_s, frames_published, crc_errors, lost_sync, last_status
//                                   the sensor link's health figures
// Wrenches read "nan" before the first usable sample.

// The header line, without its line end.
std::string csvHeader();
// Appends one row for `record` and its line end to `out`.
void appendCsvRow(std::string& out, const ForceControlRecord& record);

}  // namespace recorder
}  // namespace vorel_device
