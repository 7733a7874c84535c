// vorel-monitor's live view: one screen of text, refreshed at 10 to 25 Hz:
// the recorder's state, force control's and the supervisor's state, the
// limits that bind, the newest event of the traced span, the health figures, the wrench at every
// stage, the offset, the TCP position, and a one-line trace (sparkline) of the filtered wrench over
// the last seconds for each selected axis.
//
// On a terminal it draws with ncurses ('q' or Ctrl-C ends it); with --plain,
// or when standard output is not a terminal, it writes whole frames of text
// (on a terminal each preceded by the ANSI clear-screen sequence).
#pragma once

#include <csignal>
#include <string>
#include <vector>

#include "apps/vorel-monitor/ring_view.h"

namespace vorel_monitor {

struct ViewOptions {
  double rate_hz = 20.0;        // refreshes per second, 10..25
  double span_s = 5.0;          // seconds of the sparkline
  std::vector<int> axes = {2};  // wrench components of the sparklines: 0 fx .. 5 tz
  bool plain = false;           // text frames even on a terminal
  bool unicode = true;          // block characters in the sparkline
  int width = 80;               // columns of a text frame
};

// Parses "fz,tz" into component indices; false for an unknown axis.
bool parseAxes(const std::string& text, std::vector<int>& axes);

// The sparkline of `values` (NaN skipped) in `width` characters: each
// character the mean of its share, scaled between the lowest and highest.
std::string sparkline(const std::vector<double>& values, int width, bool unicode);

// One frame, line by line.
std::vector<std::string> frameLines(const RecorderReader& ring, const RingStatus& status,
                                    const ViewOptions& options);

// Runs the view until `stop` is set (or 'q'); `ring` follows a re-activation.
int runLiveView(std::unique_ptr<RecorderReader>& ring, const ViewOptions& options,
                const volatile std::sig_atomic_t& stop);

}  // namespace vorel_monitor
