#include "filters/frequency_range_error.h"

#include <cctype>
#include <cstdlib>
#include <iomanip>
#include <locale>
#include <sstream>
#include <vector>

#include "host/input_dialog.h"

namespace vorel_device {

std::string frequencyRangeMessage(const std::string& quantity, double frequency,
                                  double sampling_rate) {
  std::string capitalised = quantity;
  if (!capitalised.empty()) {
    capitalised[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(capitalised[0])));
  }
  std::ostringstream out;
  // The host may change the global locale; the numbers always use a point.
  out.imbue(std::locale::classic());
  out << std::fixed << std::setprecision(2);
  out << capitalised << " frequency should be in the range [0, 0.5 * sampling_rate] Hz!\n\n"
      << "Requested " << quantity << " frequency (" << frequency << " Hz) is not in the range [0, "
      << 0.5 * sampling_rate << "] Hz for current sampling rate (" << sampling_rate << " Hz).";
  return out.str();
}

void reportFrequencyRangeError(const std::string& title, const std::string& message) {
  hx4_program_api::InputDialog::factory(title, message, std::vector<hx4_program_api::DialogParam>{})
      ->show(1);
  std::exit(-1);
}

}  // namespace vorel_device
