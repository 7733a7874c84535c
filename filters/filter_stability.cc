#include "filters/filter_stability.h"

#include <cmath>
#include <complex>
#include <iomanip>
#include <limits>
#include <sstream>

namespace vorel_device {

namespace {

constexpr int kGainGridPoints = 2049;  // 0 Hz .. Nyquist, both included
constexpr double kMaxGain = 2.0;       // 6 dB
// A notch whose gain at 0 Hz is further than this from 1 is refused.
constexpr double kDcGainTolerance = 1e-6;

std::string num(double value) {
  std::ostringstream out;
  out << std::setprecision(10) << value;  // 250.0001 must not print as 250
  return out.str();
}

// `value` > 0 rounded down to three significant digits: a bound that prints
// exactly as it is compared.
double floorToThreeDigits(double value) {
  if (!(value > 0.0))
    return 0.0;
  const double scale = std::pow(10.0, 2.0 - std::floor(std::log10(value)));
  return std::floor(value * scale) / scale;
}

std::string outside(const char* parameter, double value, const char* unit,
                    const std::string& range) {
  return std::string(parameter) + " " + num(value) + unit + " is outside the accepted range " +
         range;
}

// A rate of 0 freezes the output where it is: the force it shows no longer
// follows the sensor.
std::string checkRates(double rising_rate, double falling_rate) {
  if (!(rising_rate > 0.0)) {
    return outside("rising_rate", rising_rate, " N/s", "(0, inf] N/s (N m/s for torques)");
  }
  if (!(falling_rate < 0.0)) {
    return outside("falling_rate", falling_rate, " N/s", "[-inf, 0) N/s (N m/s for torques)");
  }
  return std::string();
}

// A low-pass cut-off: (kMinCutoff, step_rate / 2] Hz. At or below kMinCutoff
// the filtered force follows a step by less than 1 % in 8 ms and takes
// seconds to show a contact (0 Hz: never), which blinds force control.
std::string checkCutoff(double value, double step_rate) {
  if (value > kMinCutoffFrequency && value <= 0.5 * step_rate)
    return std::string();
  return outside("cutoff_frequency", value, " Hz",
                 "(" + num(kMinCutoffFrequency) + ", " + num(0.5 * step_rate) + "] Hz") +
         " at the " + num(step_rate) + " Hz filter step rate";
}

// A frequency the filter classes accept: [0, step_rate / 2] Hz; outside it
// (NaN included) their constructors end the process.
std::string checkFrequency(const char* parameter, double value, double step_rate) {
  if (value >= 0.0 && value <= 0.5 * step_rate)
    return std::string();
  return outside(parameter, value, " Hz", "[0, " + num(0.5 * step_rate) + "] Hz") + " at the " +
         num(step_rate) + " Hz filter step rate";
}

std::string checkNotch(double reject_frequency, double bandwidth, double step_rate) {
  const std::string range = checkFrequency("reject_frequency", reject_frequency, step_rate);
  if (!range.empty())
    return range;
  // Passed unchanged (0 Hz).
  if (!(reject_frequency > 0.0))
    return std::string();
  const double c = std::cos((2.0 * M_PI * reject_frequency) / step_rate);
  if (2.0 - (c + c) == 0.0)
    return std::string();  // the notch passes its input unchanged
  const double limit = floorToThreeDigits(notchMaxBandwidth(reject_frequency, step_rate));
  const std::string at = " for a reject frequency of " + num(reject_frequency) + " Hz at the " +
                         num(step_rate) + " Hz filter step rate";
  if (!(bandwidth > 0.0 && bandwidth <= limit)) {
    return outside("bandwidth", bandwidth, " Hz", "(0, " + num(limit) + "] Hz") + at;
  }
  if (1.0 - (3.0 * bandwidth) / step_rate >= 1.0) {
    return "bandwidth " + num(bandwidth) + " Hz is too small to place the notch's poles inside " +
           "the unit circle" + at;
  }
  const double dc = notchDcGain(reject_frequency, bandwidth, step_rate);
  if (!(std::fabs(dc - 1.0) <= kDcGainTolerance)) {
    return "reject_frequency " + num(reject_frequency) + " Hz is so low that the notch's gain " +
           "at 0 Hz is " + num(dc) + " instead of 1 (a constant force would read wrong)" + at;
  }
  return std::string();
}

}  // namespace

double notchPeakGain(double reject_frequency, double bandwidth, double step_rate) {
  // The coefficients exactly as NotchFilter::computeInternalParams forms them.
  const double c = std::cos((2.0 * M_PI * reject_frequency) / step_rate);
  const double r = 1.0 - (3.0 * bandwidth) / step_rate;
  const double denominator = 2.0 - (c + c);
  if (denominator == 0.0)
    return 1.0;  // identity
  if (!(std::fabs(r) < 1.0))
    return std::numeric_limits<double>::infinity();
  const double b1 = (r + r) * c;
  const double b2 = -(r * r);
  const double k = ((1.0 - b1) + r * r) / denominator;
  const double a1 = (-2.0 * k) * c;
  double peak = 0.0;
  for (int i = 0; i < kGainGridPoints; ++i) {
    // z1 = e^{-jw}, w from 0 to pi rad per step.
    const double w = M_PI * static_cast<double>(i) / static_cast<double>(kGainGridPoints - 1);
    const std::complex<double> z1 = std::polar(1.0, -w);
    const std::complex<double> z2 = z1 * z1;
    const double gain = std::abs((k + a1 * z1 + k * z2) / (1.0 - b1 * z1 - b2 * z2));
    if (gain > peak)
      peak = gain;  // a NaN (0 / 0 next to a pole) is skipped
  }
  return peak;
}

double notchDcGain(double reject_frequency, double bandwidth, double step_rate) {
  // H(1) with the coefficients exactly as NotchFilter forms them.
  const double c = std::cos((2.0 * M_PI * reject_frequency) / step_rate);
  const double r = 1.0 - (3.0 * bandwidth) / step_rate;
  const double denominator = 2.0 - (c + c);
  if (denominator == 0.0)
    return 1.0;  // identity
  const double b1 = (r + r) * c;
  const double b2 = -(r * r);
  const double k = ((1.0 - b1) + r * r) / denominator;
  const double a1 = (-2.0 * k) * c;
  return ((k + a1) + k) / ((1.0 - b1) - b2);
}

double notchMaxBandwidth(double reject_frequency, double step_rate) {
  // low: 0 or a bandwidth with a gain of at most 2; high: one above 2, or the
  // pole radius -1 (2 step_rate / 3).
  double low = 0.0;
  double high = 2.0 * step_rate / 3.0;
  for (int i = 0; i < 200 && high - low > 1e-12 * high; ++i) {
    const double middle = 0.5 * (low + high);
    if (notchPeakGain(reject_frequency, middle, step_rate) <= kMaxGain) {
      low = middle;
    } else {
      high = middle;
    }
  }
  return low;
}

std::string checkFilterRequest(const FilterOptions& options, double step_rate) {
  switch (options.type) {
    case kLowPassFilter:
      return checkCutoff(options.cutoff_frequency, step_rate);
    case kNotchFilter:
      return checkNotch(options.reject_frequency, options.bandwidth, step_rate);
    case kRateLimiter:
      return checkRates(options.rising_rate, options.falling_rate);
    case kHighPassRateLimiter: {
      // Its inner low-pass takes the cut-off.
      const std::string cutoff = checkCutoff(options.cutoff_frequency, step_rate);
      return cutoff.empty() ? checkRates(options.rising_rate, options.falling_rate) : cutoff;
    }
    default:
      return std::string();
  }
}

std::string checkSystemFilterParams(double cutoff_frequency, double rising_rate,
                                    double falling_rate, double step_rate) {
  const std::string cutoff = checkCutoff(cutoff_frequency, step_rate);
  return cutoff.empty() ? checkRates(rising_rate, falling_rate) : cutoff;
}

std::string checkGain(const char* parameter, double gain) {
  if (gain >= 0.0 && gain <= kMaxGainValue)
    return std::string();
  return outside(parameter, gain, "", "[0, " + num(kMaxGainValue) + "]") +
         " (a negative gain drives the tool into the force, a larger one makes 1 N of error "
         "command more than 1 m/s)";
}

std::string checkTrackSmoothing(double track_smoothing) {
  if (!(track_smoothing >= 0.0 && track_smoothing <= 1.0)) {
    return outside("track_smoothing", track_smoothing, "", "[0, 1]");
  }
  return std::string();
}

}  // namespace vorel_device
