// vorel-monitor: watches force control of a running host through the
// force-control recorder ("VorelForceControlRecorder"), which it maps
// read-only: it can neither delay nor disturb the device. See --help.
//
// Exit status: 0 done; 1 no recorder (or it cannot be read, or a file cannot
// be written); 2 bad options (or --http cannot listen where it is told).
#include <langinfo.h>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include <CLI/CLI.hpp>

#include "apps/vorel-monitor/live_view.h"
#include "apps/vorel-monitor/record_log.h"
#include "apps/vorel-monitor/ring_view.h"
#include "apps/vorel-monitor/snapshot_json.h"
#include "apps/vorel-monitor/web_server.h"
#include "vorel_version.h"

namespace {

volatile std::sig_atomic_t stop_requested = 0;

void requestStop(int) {
  stop_requested = 1;
}

void installStopHandlers() {
  struct sigaction action {};
  action.sa_handler = requestStop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace vorel_monitor;
  std::setlocale(LC_ALL, "");
  CLI::App app{
      "vorel-monitor: watches force control of a running host (same or another process) "
      "through its force-control recorder. Without a mode: a live view, refreshed at --rate "
      "Hz ('q' or Ctrl-C ends it)."};
  bool once = false;
  bool json = false;
  bool plain = false;
  std::string dump;
  std::string follow;
  std::string http;
  double seconds = 0.0;
  std::string axes = "fz";
  ViewOptions view;
  auto* once_opt =
      app.add_flag("--once", once, "one snapshot (text, or JSON with --json), then exit");
  app.add_flag("--json", json, "the snapshot as one JSON object with named fields and units")
      ->needs(once_opt);
  auto* dump_opt =
      app.add_option("--dump", dump, "the ring's records as CSV to FILE ('-': standard output)")
          ->type_name("FILE");
  app.add_option("--seconds", seconds, "with --dump: only the last N seconds")
      ->type_name("N")
      ->check(CLI::PositiveNumber)
      ->needs(dump_opt);
  app.add_option("--follow", follow, "every record from now on as CSV to FILE, until Ctrl-C")
      ->type_name("FILE")
      ->excludes(dump_opt)
      ->excludes(once_opt);
  dump_opt->excludes(once_opt);
  app.add_option("--rate", view.rate_hz, "live view: refreshes per second (10 to 25)")
      ->check(CLI::Range(10.0, 25.0))
      ->capture_default_str();
  app.add_option("--span", view.span_s, "live view: seconds of each axis's trace (1 to 16)")
      ->check(CLI::Range(1.0, 16.0))
      ->capture_default_str();
  app.add_option("--axes", axes, "live view: axes traced, from fx,fy,fz,tx,ty,tz")
      ->check([&view](const std::string& text) {
        return parseAxes(text, view.axes) ? std::string()
                                          : "expected axes from fx,fy,fz,tx,ty,tz, comma-separated";
      })
      ->capture_default_str();
  app.add_flag("--plain", plain, "live view: text frames instead of curses, even on a terminal");
  app.add_option("--http", http,
                 "serve a live web view on [ADDRESS:]PORT (default address 127.0.0.1; port 0: "
                 "any free one), read-only, until Ctrl-C")
      ->type_name("[ADDRESS:]PORT")
      ->excludes(once_opt)
      ->excludes(dump_opt)
      ->excludes("--follow");
  app.set_version_flag("--version", std::string("vorel-monitor ") + VOREL_DEVICE_VERSION);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "vorel-monitor: %s (see --help)\n", e.what());
    return 2;
  }
  parseAxes(axes, view.axes);
  view.plain = plain;
  view.unicode = std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;

  // The web view's address is checked and taken before the recorder is
  // looked for: a bad address or a port in use is a bad option.
  std::unique_ptr<WebServer> server;
  if (!http.empty()) {
    HttpEndpoint endpoint;
    std::string error;
    if (!parseHttpEndpoint(http, endpoint, error) ||
        !(server = WebServer::listen(endpoint, error))) {
      std::fprintf(stderr, "vorel-monitor: %s\n", error.c_str());
      return 2;
    }
  }

  bool absent = false;
  std::string message;
  std::unique_ptr<RecorderReader> ring = attachRing(absent, message);
  if (!ring) {
    std::fprintf(stderr, "vorel-monitor: %s\n", absent ? kNoRecorderMessage : message.c_str());
    return 1;
  }
  installStopHandlers();
  if (server) {
    std::fprintf(stderr,
                 "vorel-monitor: serving the live view of %s on %s (read-only; Ctrl-C ends it)\n",
                 ring->name().c_str(), server->url().c_str());
    return server->run(ring, stop_requested);
  }
  if (!dump.empty())
    return dumpRing(*ring, dump, seconds);
  if (!follow.empty())
    return followRing(ring, follow, stop_requested);
  if (once) {
    const RingStatus status = statusOf(*ring);
    const std::string stalled = stalledMessage(status);
    if (!stalled.empty())
      std::fprintf(stderr, "vorel-monitor: %s\n", stalled.c_str());
    if (json) {
      std::printf("%s\n", snapshotJson(*ring, status).dump(2).c_str());
    } else {
      for (const auto& line : frameLines(*ring, status, view))
        std::printf("%s\n", line.c_str());
    }
    return 0;
  }
  return runLiveView(ring, view, stop_requested);
}
