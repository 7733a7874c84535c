#include "apps/vorel-monitor/web_feed.h"

#include <cmath>
#include <nlohmann/json.hpp>

#include "apps/vorel-monitor/snapshot_json.h"
#include "vorel_version.h"

namespace vorel_monitor {

namespace rec = vorel_device::recorder;

namespace {

using json = nlohmann::json;
using R = ForceControlRecord;

const char* const kStages[] = {"raw", "comp", "tool", "filt", "setpoint"};
const char* const kAxes[] = {"fx", "fy", "fz", "tx", "ty", "tz"};
const char* const kOffsets[] = {"offset_x_m",      "offset_y_m",       "offset_z_m",
                                "offset_roll_rad", "offset_pitch_rad", "offset_yaw_rad"};

json fieldNames() {
  json fields = json::array({"cycle", "t_s"});
  for (const char* stage : kStages) {
    for (const char* axis : kAxes)
      fields.push_back(std::string(stage) + "_" + axis);
  }
  for (const char* offset : kOffsets)
    fields.push_back(offset);
  for (const char* name : {"fc_state", "supervisor_state", "limits_bound", "events", "flags"})
    fields.push_back(name);
  return fields;
}

json number(double value) {
  return std::isfinite(value) ? json(value) : json(nullptr);
}

// One row in fieldNames() order.
json row(const R& r) {
  json out = json::array({r.cycle, r.controller_time});
  for (const vorel_device::Wrench* stage :
       {&r.raw, &r.compensated, &r.tcp_unbiased, &r.filtered, &r.setpoint}) {
    for (int i = 0; i < 6; ++i)
      out.push_back(number((*stage)[i]));
  }
  for (double v : r.offset)
    out.push_back(number(v));
  for (unsigned v : {unsigned(r.force_control_state), unsigned(r.supervisor_state),
                     unsigned(r.limits_bound), unsigned(r.events), unsigned(r.flags)})
    out.push_back(v);
  return out;
}

bool shown(const R& r) {
  return r.cycle % kWebDecimation == 0 || r.events != 0;
}

std::string cyclesMessage(const json& rows, bool history) {
  return json{{"type", "cycles"}, {"history", history}, {"rows", rows}}.dump();
}

}  // namespace

WebFeed::WebFeed(std::unique_ptr<RecorderReader>& ring) : ring_(ring), cursor_(ring->nextIndex()) {}

std::string WebFeed::hello() const {
  return json{{"type", "hello"},
              {"version", VOREL_DEVICE_VERSION},
              {"recorder", ring_->name()},
              {"writer_pid", ring_->writerPid()},
              {"capacity", ring_->capacity()},
              {"cycle_time_s", rec::kCycleTime},
              {"decimation", kWebDecimation},
              {"fields", fieldNames()}}
      .dump();
}

std::string WebFeed::history() const {
  json rows = json::array();
  R record;
  for (std::uint64_t i = ring_->oldestIndex(); i < cursor_; ++i) {
    if (ring_->read(i, record) == RecorderReader::Read::kOk && shown(record))
      rows.push_back(row(record));
  }
  return cyclesMessage(rows, true);
}

std::string WebFeed::status() const {
  nlohmann::ordered_json out = {{"type", "status"}};
  out.update(snapshotJson(*ring_, statusOf(*ring_)));
  return out.dump();
}

std::string WebFeed::refused() {
  return json{{"type", "refused"}, {"message", kRefusedMessage}}.dump();
}

WebFeed::Poll WebFeed::poll() {
  Poll out;
  const RingStatus status = statusOf(*ring_);
  if (status.replaced && followReplacement(ring_)) {
    cursor_ = 0;
    out.renewed = json{{"type", "renewed"},
                       {"message",
                        "the force-control recorder was created anew (a new activation); now "
                        "watching the new one"}}
                      .dump();
  }
  const std::uint64_t next = ring_->nextIndex();
  if (cursor_ < ring_->oldestIndex()) {
    lost_ += ring_->oldestIndex() - cursor_;
    cursor_ = ring_->oldestIndex();
  }
  json rows = json::array();
  R record;
  for (; cursor_ < next; ++cursor_) {
    if (ring_->read(cursor_, record) != RecorderReader::Read::kOk)
      ++lost_;
    else if (shown(record))
      rows.push_back(row(record));
  }
  if (!rows.empty())
    out.cycles = cyclesMessage(rows, false);
  return out;
}

}  // namespace vorel_monitor
