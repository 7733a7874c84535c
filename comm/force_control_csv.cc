#include "comm/force_control_csv.h"

#include <cinttypes>
#include <cstdio>

namespace vorel_device {
namespace recorder {

namespace {

const char* const kAxes[] = {"fx", "fy", "fz", "tx", "ty", "tz"};

void appendAxes(std::string& out, const char* stage) {
  for (const char* axis : kAxes)
    out.append(",").append(stage).append("_").append(axis);
}

void appendValue(std::string& out, double value) {
  char text[32];
  std::snprintf(text, sizeof text, ",%.6g", value);
  out += text;
}

void appendInteger(std::string& out, std::uint64_t value) {
  char text[32];
  std::snprintf(text, sizeof text, ",%" PRIu64, value);
  out += text;
}

void appendWrench(std::string& out, const Wrench& wrench) {
  for (int i = 0; i < 6; ++i)
    appendValue(out, wrench[i]);
}

}  // namespace

std::string csvHeader() {
  std::string h = "time_s";
  appendAxes(h, "raw");
  appendAxes(h, "tool");
  appendAxes(h, "filt");
  h += ",offset_x,offset_y,offset_z,offset_roll,offset_pitch,offset_yaw,tcp_x,tcp_y,tcp_z";
  h += ",cycle,monotonic_ns";
  appendAxes(h, "comp");
  appendAxes(h, "setpoint");
  h += ",offset_sent,new_sample,fc_state,supervisor_state,sample_age_s,limits_bound,events";
  h += ",usable_per_s,frames_published,crc_errors,lost_sync,last_status,task_frame";
  return h;
}

void appendCsvRow(std::string& out, const ForceControlRecord& r) {
  char time[32];
  std::snprintf(time, sizeof time, "%.3f", r.controller_time);
  out += time;
  appendWrench(out, r.raw);
  appendWrench(out, r.tcp_unbiased);
  appendWrench(out, r.filtered);
  for (double v : r.offset)
    appendValue(out, v);
  for (double v : r.tcp_position)
    appendValue(out, v);
  appendInteger(out, r.cycle);
  appendInteger(out, static_cast<std::uint64_t>(r.monotonic_ns));
  appendWrench(out, r.compensated);
  appendWrench(out, r.setpoint);
  appendInteger(out, (r.flags & ForceControlRecord::kOffsetSent) ? 1 : 0);
  appendInteger(out, (r.flags & ForceControlRecord::kNewSample) ? 1 : 0);
  appendInteger(out, r.force_control_state);
  appendInteger(out, r.supervisor_state);
  appendValue(out, r.sample_age);
  appendInteger(out, r.limits_bound);
  appendInteger(out, r.events);
  appendValue(out, r.usable_samples_per_second);
  appendInteger(out, r.frames_published);
  appendInteger(out, r.crc_errors);
  appendInteger(out, r.lost_sync_events);
  appendInteger(out, r.last_status);
  appendInteger(out, r.task_frame);
  out += '\n';
}

}  // namespace recorder
}  // namespace vorel_device
