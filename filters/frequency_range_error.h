// The fatal report of a filter constructor given a frequency outside
// [0, 0.5 * sampling_rate] Hz: an operator dialog, then the end of the process.
#pragma once

#include <string>

namespace vorel_device {

// The operator message, every number in fixed notation with two decimals.
// `quantity` is the frequency's name in lower case ("cut-off", "reject"); the
// message starts with it capitalised. For "cut-off", 300 Hz at 500 Hz:
//   "Cut-off frequency should be in the range [0, 0.5 * sampling_rate] Hz!\n\n"
//   "Requested cut-off frequency (300.00 Hz) is not in the range [0, 250.00] Hz"
//   " for current sampling rate (500.00 Hz)."
std::string frequencyRangeMessage(const std::string& quantity, double frequency,
                                  double sampling_rate);

// Shows a host dialog with `title` ("Low-Pass Filter Error", "Notch Filter
// Error"), `message` and no dialog parameters (first operation, with 1), then
// ends the process with exit status -1 (255 as the parent sees it). Runs on
// the thread that constructs the filter; never returns, throws nothing.
[[noreturn]] void reportFrequencyRangeError(const std::string& title, const std::string& message);

}  // namespace vorel_device
