// What vorel-monitor --http sends to its pages over the WebSocket: the ring's
// cycles, decimated to what a browser draws smoothly, and the ring's status.
// Messages are JSON text, each with a "type":
//   hello    {version, recorder, writer_pid, capacity, cycle_time_s,
//             decimation, fields}: first on every connection and after a
//             re-activation; `fields` names the columns of a row
//   cycles   {rows: [[...], ...], history}: rows in `fields` order, oldest
//            first (history: the ring's past, sent once on connecting)
//   status   the --once --json snapshot of the newest record (recorder
//            state and message, force control, supervisor, health, ...)
//   renewed  {message}: the host re-activated; the rows start again
//   refused  {message}: the answer to anything a page sends
// NaN (no sample processed yet) is null.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "apps/vorel-monitor/ring_view.h"

namespace vorel_monitor {

// One row in every this many cycles (10 ms at 2 ms cycles), and every row
// that raises an event.
constexpr std::uint64_t kWebDecimation = 5;

// The answer to a request that would write.
constexpr const char* kRefusedMessage =
    "refused: vorel-monitor only reads the force-control recorder; it changes nothing in the "
    "device";

class WebFeed {
 public:
  // Follows `ring` from its newest record on; the ring may be replaced by a
  // re-activation (the feed moves it).
  explicit WebFeed(std::unique_ptr<RecorderReader>& ring);

  std::string hello() const;
  // The decimated rows of the ring before the feed's cursor.
  std::string history() const;
  std::string status() const;
  static std::string refused();

  struct Poll {
    std::string renewed;  // the renewed message then hello, when the host re-activated
    std::string cycles;   // rows since the last poll; empty when none
  };
  // Takes the records written since the last poll.
  Poll poll();

  std::uint64_t lost() const { return lost_; }

 private:
  std::unique_ptr<RecorderReader>& ring_;
  std::uint64_t cursor_ = 0;
  std::uint64_t lost_ = 0;
};

}  // namespace vorel_monitor
