// comm_recorder_peer: a second process on the force-control recorder.
//
//   comm_recorder_peer read COUNT [any]
//     Attaches to the ring (waiting up to 10 s for it), prints
//     "attached <next index>", then polls it at 1 kHz and reads every record
//     from that index on, in order, until COUNT have been taken or lost.
//     Prints "read <complete> first <index> last <index> lost <n>
//     inconsistent <n>": lost counts records overwritten before or while they
//     were read (their sequence numbers said so); inconsistent counts
//     complete records whose cycle is not their index, whose controller time
//     is not cycle x 2 ms or whose monotonic time goes back, and, unless
//     `any` (a real force-control thread writes), whose fields are not those
//     of the test's synthetic record of that cycle.
//     (scripts/recorder-soak.sh reads a running vorel-sim with `any`.)
#include <time.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "tests/support/recorder_feed.h"

namespace {

namespace rec = vorel_device::recorder;
using Reader = rec::RecorderReader;

int read(std::uint64_t count, bool synthetic) {
  std::unique_ptr<Reader> ring;
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    Reader::Failure failure;
    std::string message;
    ring = Reader::attach(failure, message);
    if (ring)
      break;
    if (std::chrono::steady_clock::now() > give_up) {
      std::printf("FAIL %s\n", message.c_str());
      return 2;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::uint64_t cursor = ring->nextIndex();
  const std::uint64_t first = cursor;
  std::printf("attached %" PRIu64 "\n", cursor);
  std::fflush(stdout);
  std::uint64_t complete = 0, lost = 0, inconsistent = 0;
  std::int64_t last_ns = 0;
  auto last_progress = std::chrono::steady_clock::now();
  vorel_device::ForceControlRecord record;
  while (complete + lost < count) {
    const std::uint64_t next = ring->nextIndex();
    if (next != cursor)
      last_progress = std::chrono::steady_clock::now();
    for (; cursor < next && complete + lost < count; ++cursor) {
      if (ring->read(cursor, record) != Reader::Read::kOk) {
        ++lost;
      } else {
        ++complete;
        if (record.cycle != cursor || record.controller_time != 0.002 * record.cycle ||
            record.monotonic_ns < last_ns || (synthetic && !vorel_test::consistentRecord(record)))
          ++inconsistent;
        last_ns = record.monotonic_ns;
      }
    }
    if (std::chrono::steady_clock::now() - last_progress > std::chrono::seconds(10))
      break;  // the writer is gone: report what was taken
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::printf("read %" PRIu64 " first %" PRIu64 " last %" PRIu64 " lost %" PRIu64
              " inconsistent %" PRIu64 "\n",
              complete, first, cursor - 1, lost, inconsistent);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string role = argc > 1 ? argv[1] : "";
  const std::string mode = argc > 3 ? argv[3] : "";
  if (role == "read" && (argc == 3 || (argc == 4 && mode == "any")))
    return read(std::strtoull(argv[2], nullptr, 10), mode != "any");
  std::fprintf(stderr, "usage: comm_recorder_peer read COUNT [any]\n");
  return 2;
}
