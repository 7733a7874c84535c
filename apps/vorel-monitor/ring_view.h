// What vorel-monitor knows about the force-control recorder it watches: the
// ring (read-only), whether it still advances, and the records of the last
// seconds. Every mode says the same thing about a ring that has stopped.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "comm/force_control_recorder.h"

namespace vorel_monitor {

using vorel_device::ForceControlRecord;
using vorel_device::recorder::RecorderReader;

// Printed, with exit status 1, when no host runs a recorder.
constexpr const char* kNoRecorderMessage =
    "no force-control recorder found: is the device activated?";

struct RingStatus {
  bool has_record = false;  // the ring holds at least one record
  // The newest record; when the ring has stopped, with the health readout's
  // verdict: supervisor state 3 (not running), no usable samples per second,
  // the sample's age counted to now.
  ForceControlRecord newest;
  double age_s = 0.0;      // since the newest record was written, s
  bool advancing = false;  // the newest record is younger than the liveness limit
  bool replaced = false;   // the name designates another ring now, or none
};

RingStatus statusOf(const RecorderReader& ring);

// Empty while the ring advances; otherwise what is wrong, for example
// "the force-control recorder is not advancing (last record 2.345 s ago):
// force control has stopped or is stuck".
std::string stalledMessage(const RingStatus& status);

// The records of the last `count` cycles that are complete, oldest first;
// `lost` counts those overwritten while they were read.
std::vector<ForceControlRecord> lastRecords(const RecorderReader& ring, std::uint64_t count,
                                            std::uint64_t& lost);

// The ring under the recorder's name; empty with the reason in `message`.
// `absent`: there is none.
std::unique_ptr<RecorderReader> attachRing(bool& absent, std::string& message);

// After a re-activation the name designates a new ring: moves `ring` to it
// and returns true (a message on standard error says so).
bool followReplacement(std::unique_ptr<RecorderReader>& ring);

}  // namespace vorel_monitor
