// comm_segment_peer: the second process of the shared-segment tests.
//
//   comm_segment_peer stale lock|free
//     Creates the segment and the named mutex as a reader does, writes gains a
//     fresh segment never holds, adds an object "stale_marker", takes the
//     mutex ("lock") or leaves it free ("free"), and kills itself with
//     SIGKILL: both names stay behind, as after a crash.
//
//   comm_segment_peer facade
//     Opens the existing segment through the command facade and starts its
//     thread; waits (10 s guard) until the raw readout is non-zero, i.e. the
//     facade's cycle has copied a frame that the reader in the other process
//     published; prints the readouts, sets biases and commands, prints the
//     TCP readout again, stops the facade and exits 0. Standard output:
//       raw <6 values>
//       tcp <6 values>
//       tcp_after_bias <6 values>
//       done
//     Values are printed with %.17g, so doubles survive the round trip.
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "comm/command_facade.h"
#include "comm/shared_segment.h"
#include "filters/filter_options.h"
#include "tests/support/poll_until.h"

namespace {

namespace ss = vorel_device::shared_segment;
using Facade = vorel_device::VorelForceTorqueSensorSecondaryInstance;

void printValues(const char* label, const double (&v)[6]) {
  std::printf("%s %.17g %.17g %.17g %.17g %.17g %.17g\n", label, v[0], v[1], v[2], v[3], v[4],
              v[5]);
}

int stale(bool lock) {
  ss::Segment segment = ss::createSegment();
  boost::shared_ptr<ss::Mutex> mutex = ss::createMutex();
  *ss::constructObjects(segment).gains = vorel_device::Gains{1.0, 2.0, 3.0};
  segment.construct<int>("stale_marker")(1);
  if (lock)
    mutex->lock();
  ::raise(SIGKILL);
  return 4;  // not reached
}

int facade() {
  Facade facade(10);
  facade.start(1000);
  double raw[6] = {0, 0, 0, 0, 0, 0};
  if (!vorel_test::pollUntil([&] { return facade.getRawFTData(raw) && raw[0] != 0.0; })) {
    std::printf("FAIL no frame\n");
    return 2;
  }
  printValues("raw", raw);
  double tcp[6];
  facade.getTCPFrameFTData(tcp);
  printValues("tcp", tcp);

  double force_bias[3] = {1.0, 2.0, 3.0};
  facade.setForceBias(force_bias);
  facade.setForceBias(force_bias);
  double torque_bias[3] = {0.5, 0.25, 0.125};
  facade.setTorqueBias(torque_bias);
  facade.setForceControlGains(7.0, 8.0, 0.5);
  facade.activate(true, false);
  vorel_device::FilterOptions options;
  std::strcpy(options.name, "lp_z");
  options.type = vorel_device::kLowPassFilter;
  options.cutoff_frequency = 20.0;
  facade.addOrRemoveFilter(options, Facade::kAddFilter);
  facade.getTCPFrameFTData(tcp);
  printValues("tcp_after_bias", tcp);

  const bool stopped = facade.stop(1000);
  std::printf("%s\n", stopped ? "done" : "FAIL stop");
  return stopped ? 0 : 3;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  try {
    if (mode == "stale" && argc > 2)
      return stale(std::string(argv[2]) == "lock");
    if (mode == "facade")
      return facade();
  } catch (const std::exception& e) {
    std::printf("FAIL exception: %s\n", e.what());
    return 5;
  }
  std::fprintf(stderr, "usage: comm_segment_peer stale lock|free | facade\n");
  return 1;
}
