// The live web view's files (the page, its script and style, uPlot), built
// into vorel-monitor from apps/vorel-monitor/web/ and the uPlot package that
// the build installs with npm (build/web/node_modules). The server answers
// from this table alone: no request reaches the file system.
#pragma once

#include <cstddef>
#include <string_view>

namespace vorel_monitor {

struct WebAsset {
  const char* path;          // "/", "/app.js", ...
  const char* content_type;  // with its charset
  const unsigned char* data;
  std::size_t size;
};

// The asset served at `path`, or none.
const WebAsset* findWebAsset(std::string_view path);

}  // namespace vorel_monitor
