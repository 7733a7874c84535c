// Where the host simulator finds its files: next to the installed executable
// (../lib, ../share/vorel_device), else in the source tree it was built from;
// and the file checks a run makes before it starts anything.
#pragma once

#include <optional>
#include <string>

namespace vorel_sim {

struct HostFiles {
  std::string executable;  // this program, from /proc/self/exe
  std::string device_lib;
  std::string config_file;
  std::string programs_dir;

  // The files of this installation; a given `device_lib` or `config_file`
  // takes the place of the default.
  static HostFiles resolve(const std::optional<std::string>& device_lib,
                           const std::optional<std::string>& config_file);
};

// The whole text of the file at `path`; empty when it cannot be read.
std::optional<std::string> readFile(const std::string& path);

// `path` can be written: it exists and is writable, or its directory is.
// Nothing is created.
bool writable(const std::string& path);

}  // namespace vorel_sim
