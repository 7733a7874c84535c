// Console lines of the device: one Console::write per line, "[INFO] text\n"
// or "[ERROR] text\n"; values in messages as a stream prints them.
#pragma once

#include <sstream>
#include <string>

namespace vorel_device {

void logInfo(const std::string& text);
void logError(const std::string& text);

template <class T>
std::string str(const T& value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

// A refused number as given, up to 10 significant digits: a value just
// beyond a bound must not print as the bound itself.
inline std::string exact(double value) {
  std::ostringstream out;
  out.precision(10);
  out << value;
  return out.str();
}

}  // namespace vorel_device
