#include "device/device_log.h"

#include "host/console.h"

namespace vorel_device {

void logInfo(const std::string& text) {
  std::ostringstream line;
  line << "[INFO] " << text << "\n";
  hx4_program_api_internals::Console::write(line.str());
}

void logError(const std::string& text) {
  std::ostringstream line;
  line << "[ERROR] " << text << "\n";
  hx4_program_api_internals::Console::write(line.str());
}

}  // namespace vorel_device
