// Stability and gain checks of filter parameters, made before a parameter
// reaches a filter. Pure functions; they run on host threads (robot-program
// calls) and may allocate, never on the 2 ms force-control path.
//
// Every filter is designed for the rate at which the force-control thread
// steps it, `step_rate` in Hz (one step per 2 ms cycle: 500 Hz), whatever
// the sensor's rate. Nyquist frequency = step_rate / 2. The rules:
#pragma once

#include <string>

#include "filters/filter_options.h"

namespace vorel_device {

//   Notch (type 2), bandwidth in Hz: (0, B] with B = notchMaxBandwidth rounded
//     down to three significant digits (so that the bound printed in a message
//     is itself accepted). At bandwidth <= 0 the pole radius
//     R = 1 - 3 bandwidth / step_rate is >= 1 and the notch is unstable; above
//     B it amplifies some frequency up to Nyquist by more than 2 (6 dB),
//     mostly the band around Nyquist for low reject frequencies. A bandwidth
//     so small that R rounds to 1 puts the poles on the unit circle and is
//     refused too. A reject frequency of 0 Hz (or one whose cosine rounds to
//     1) is accepted: the notch passes its input unchanged.
//   Frequencies the filter classes end the process for: a reject frequency
//     (type 2) or cut-off (types 1 and 4, the latter's inner low-pass)
//     outside [0, step_rate / 2] Hz, or NaN, are refused here, so that no
//     robot-program input reaches those exits.
//   Rate limiters (types 3 and 4), rates in signal units per second (N/s,
//     N m/s for torques): rising_rate in (0, inf], falling_rate in [-inf, 0).
//     A negative rising rate lowers the upper bound every step, a positive
//     falling rate raises the lower bound every step: the output then drifts
//     without bound whatever the input; a rate of 0 freezes it. NaN is
//     refused.
//   Low-pass (type 1) and the cut-off of type 4: a cut-off in
//     (0.2, step_rate / 2] Hz is stable and never amplifies (gain <= 1); at
//     or below 0.2 Hz the filtered force hardly follows a contact (0 Hz:
//     frozen) and force control would press blind.
//   Notch: its gain at 0 Hz must be 1 (within 1e-6); a reject frequency so
//     low that rounding spoils the coefficients is refused.
//   System filter (high-pass rate limiter retuned without the filters' own
//     range check): cutoff_frequency in (0.2, step_rate / 2] Hz (a negative
//     one makes its low-pass unstable), rising_rate > 0, falling_rate < 0.
//   Gains of the force-control law: [0, 1000] (a negative gain moves the tool
//     into the force; above 1000, 1 N of error commands more than 1 m/s).
//   Set-point smoothing, per 2 ms cycle: track_smoothing in [0, 1]; outside,
//     the smoothed set-point overshoots (above 1, diverging above 2) or moves
//     away from the target (below 0).
//
// A check returns an empty string when the value is accepted, else one
// sentence naming the parameter, its value and the accepted range with units.

// Lowest accepted low-pass cut-off (types 1 and 4, the system filter), Hz:
// the cut-off must lie above it.
constexpr double kMinCutoffFrequency = 0.2;
// Largest accepted force-control gain (translation_gain, rotation_gain).
constexpr double kMaxGainValue = 1000.0;

// Largest |H(e^jw)| of the notch with the coefficients of NotchFilter, over
// 2049 frequencies evenly spaced from 0 Hz to step_rate / 2 (both included).
// All frequencies in Hz. +inf when the pole radius R is not below 1 in
// magnitude; 1 when the notch passes its input unchanged (2 - 2c == 0).
double notchPeakGain(double reject_frequency, double bandwidth, double step_rate);

// |H(1)|, the gain at 0 Hz, of the notch with the coefficients of NotchFilter.
double notchDcGain(double reject_frequency, double bandwidth, double step_rate);

// Largest bandwidth (Hz) with a pole radius above -1 and a notchPeakGain of at
// most 2, by bisection over (0, 2 step_rate / 3). `reject_frequency` in
// (0, step_rate / 2] Hz.
double notchMaxBandwidth(double reject_frequency, double step_rate);

// The request of FilterOptions for filter types 1 to 4 (other types: "").
std::string checkFilterRequest(const FilterOptions& options, double step_rate);

// The system filter's cut-off (Hz), rising and falling rates (N/s).
std::string checkSystemFilterParams(double cutoff_frequency, double rising_rate,
                                    double falling_rate, double step_rate);

// Set-point smoothing factor per force-control cycle.
std::string checkTrackSmoothing(double track_smoothing);

// A force-control gain (translation_gain or rotation_gain, named `parameter`).
std::string checkGain(const char* parameter, double gain);

}  // namespace vorel_device
