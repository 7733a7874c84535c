#include "apps/vorel-monitor/snapshot_json.h"

#include <cmath>

namespace vorel_monitor {

namespace {

using json = nlohmann::ordered_json;
using R = ForceControlRecord;

json number(double value) {
  return std::isfinite(value) ? json(value) : json(nullptr);
}

json triple(const double* values) {
  return json::array({number(values[0]), number(values[1]), number(values[2])});
}

json stage(const vorel_device::Wrench& w, const char* frame) {
  return {{"frame", frame}, {"force_N", triple(w.data)}, {"torque_Nm", triple(w.data + 3)}};
}

}  // namespace

const char* forceControlStateName(int code) {
  switch (code) {
    case R::kIdle:
      return "idle";
    case R::kActive:
      return "active";
    case R::kReturning:
      return "returning";
    case R::kSuspended:
      return "suspended";
    default:
      return "unknown";
  }
}

const char* supervisorStateName(int code) {
  switch (code) {
    case R::kSupervisorOk:
      return "ok";
    case R::kSupervisorStale:
      return "stale";
    case R::kSupervisorFaulted:
      return "faulted";
    case R::kSupervisorNotRunning:
      return "not running";
    default:
      return "unknown";
  }
}

namespace {

struct BitName {
  unsigned bit;
  const char* name;
};

template <std::size_t n>
std::vector<std::string> namesOf(unsigned bits, const BitName (&table)[n]) {
  std::vector<std::string> names;
  for (const BitName& entry : table) {
    if (bits & entry.bit)
      names.push_back(entry.name);
  }
  return names;
}

}  // namespace

std::vector<std::string> limitNames(unsigned bits) {
  static const BitName kLimits[] = {{R::kTranslationalSpeed, "translational speed"},
                                    {R::kRotationalSpeed, "rotational speed"},
                                    {R::kTranslationalEnvelope, "translational envelope"},
                                    {R::kRotationalEnvelope, "rotational envelope"},
                                    {R::kForceLimit, "force limit"},
                                    {R::kTorqueLimit, "torque limit"},
                                    {R::kOverrange, "sensor overrange"}};
  return namesOf(bits, kLimits);
}

std::vector<std::string> eventNames(unsigned bits) {
  static const BitName kEvents[] = {
      {R::kStaleTrip, "stale trip"},   {R::kCycleFailure, "cycle failure"},
      {R::kLimitBinds, "limit binds"}, {R::kProgramTerminated, "program terminated"},
      {R::kRequest, "request"},        {R::kForceLimitEvent, "force limit"}};
  return namesOf(bits, kEvents);
}

nlohmann::ordered_json snapshotJson(const RecorderReader& ring, const RingStatus& status) {
  json recorder = {{"name", ring.name()},
                   {"capacity", ring.capacity()},
                   {"records", ring.nextIndex()},
                   {"writer_pid", ring.writerPid()},
                   {"advancing", status.advancing}};
  if (status.has_record)
    recorder["last_record_age_s"] = status.age_s;
  if (!status.advancing)
    recorder["message"] = stalledMessage(status);
  json out = {{"recorder", recorder}};
  if (!status.has_record)
    return out;
  const R& r = status.newest;
  out["cycle"] = r.cycle;
  out["controller_time_s"] = r.controller_time;
  out["monotonic_ns"] = r.monotonic_ns;
  out["force_control"] = {{"state", forceControlStateName(r.force_control_state)},
                          {"state_code", r.force_control_state},
                          {"offset_sent", (r.flags & R::kOffsetSent) != 0},
                          {"new_sample", (r.flags & R::kNewSample) != 0},
                          {"limits_bound", limitNames(r.limits_bound)},
                          {"limits_bound_bits", r.limits_bound},
                          {"events", eventNames(r.events)},
                          {"events_bits", r.events},
                          {"task_frame", r.task_frame == R::kBaseFrame ? "base" : "TCP"}};
  out["supervisor"] = {{"state", supervisorStateName(r.supervisor_state)},
                       {"state_code", r.supervisor_state},
                       {"sample_age_s", number(r.sample_age)}};
  out["health"] = {{"usable_samples_per_second", number(r.usable_samples_per_second)},
                   {"frames_published", r.frames_published},
                   {"crc_errors", r.crc_errors},
                   {"lost_sync_events", r.lost_sync_events},
                   {"last_status", r.last_status}};
  out["wrench"] = {{"raw", stage(r.raw, "sensor")},
                   {"gravity_compensated", stage(r.compensated, "sensor")},
                   {"tool", stage(r.tcp_unbiased, "TCP")},
                   {"filtered", stage(r.filtered, "TCP")},
                   {"setpoint", stage(r.setpoint, r.task_frame == R::kBaseFrame ? "base" : "TCP")}};
  out["offset"] = {{"frame", "TCP"},
                   {"translation_m", triple(r.offset)},
                   {"rotation_rad", triple(r.offset + 3)}};
  out["tcp_position_m"] = triple(r.tcp_position);
  return out;
}

}  // namespace vorel_monitor
