// vorel-monitor's CSV modes (columns: comm/force_control_csv.h, the same as a
// black-box file's):
//   --dump FILE [--seconds N]  the ring's records (the last N s of them) once;
//   --follow FILE              every record from now on, as it comes, until
//                              Ctrl-C (or SIGTERM), which first takes what
//                              the ring holds by then. Polled every 5 ms, so
//                              none is lost while the monitor keeps within the
//                              ring (16 s); records it fell behind on are
//                              counted, said on standard error when it
//                              happens and in the closing line.
// FILE "-" is standard output. Reports go to standard error.
#pragma once

#include <csignal>
#include <memory>
#include <string>

#include "apps/vorel-monitor/ring_view.h"

namespace vorel_monitor {

// 0, or 1 when the file cannot be written.
int dumpRing(const RecorderReader& ring, const std::string& file, double seconds);
int followRing(std::unique_ptr<RecorderReader>& ring, const std::string& file,
               const volatile std::sig_atomic_t& stop);

}  // namespace vorel_monitor
