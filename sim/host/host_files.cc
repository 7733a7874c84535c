#include "sim/host/host_files.h"

#include <unistd.h>

#include <fstream>
#include <sstream>
#include <vector>

namespace vorel_sim {
namespace {

bool exists(const std::string& path) {
  return ::access(path.c_str(), F_OK) == 0;
}

std::string directoryOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// The first existing path of `candidates`, or the last one.
std::string firstExisting(const std::vector<std::string>& candidates) {
  for (const auto& c : candidates) {
    if (exists(c))
      return c;
  }
  return candidates.back();
}

}  // namespace

HostFiles HostFiles::resolve(const std::optional<std::string>& device_lib,
                             const std::optional<std::string>& config_file) {
  HostFiles f;
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  f.executable = n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : "vorel-sim";
  const std::string bin = directoryOf(f.executable);
  f.device_lib = device_lib
                     ? *device_lib
                     : firstExisting({bin + "/../lib/libvorel_device.so",
                                      bin + "/../" VOREL_INSTALL_LIBDIR "/libvorel_device.so"});
  f.config_file = config_file
                      ? *config_file
                      : firstExisting({bin + "/../share/vorel_device/config/vorel_ft_sensor.xml",
                                       VOREL_SOURCE_DIR "/config/vorel_ft_sensor.xml"});
  f.programs_dir =
      firstExisting({bin + "/../share/vorel_device/programs", VOREL_SOURCE_DIR "/programs"});
  return f;
}

std::optional<std::string> readFile(const std::string& path) {
  std::ifstream in(path);
  if (!in)
    return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool writable(const std::string& path) {
  if (exists(path))
    return ::access(path.c_str(), W_OK) == 0;
  return ::access(directoryOf(path).c_str(), W_OK | X_OK) == 0;
}

}  // namespace vorel_sim
