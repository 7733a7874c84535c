// The body of the robot-program functions that check numbers before they
// forward them to the command facade, and the readers and checks they use.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <string>

#include "device/device_log.h"
#include "device/segment_binding.h"
#include "host/hx4_api.h"

namespace vorel_device {

template <std::size_t N>
using Values = std::array<double, N>;

// The facade for `function`; the N values `read(facade, values)` gives
// (false: no reading, the facade has written why); `refusal(values)`: ""
// accepts them, any other text is the ERROR line and nothing is forwarded;
// else `forward(facade, values)`. Every function returns success.
template <std::size_t N, class Read, class Refusal, class Forward>
hx4_program_api::CmdResult<void*> checkThenForward(SegmentBinding& binding, const char* function,
                                                   Read read, Refusal refusal, Forward forward) {
  FacadeAccess facade = binding.facadeFor(function);
  if (!facade)
    return hx4_program_api::CmdResult<void*>::Success();
  Values<N> values{};
  if (!read(*facade, values))
    return hx4_program_api::CmdResult<void*>::Success();
  const std::string refused = refusal(values);
  if (!refused.empty()) {
    logError(refused);
    return hx4_program_api::CmdResult<void*>::Success();
  }
  forward(*facade, values);
  return hx4_program_api::CmdResult<void*>::Success();
}

// Refuses values of which one is not finite, with "<function><why>".
template <std::size_t N>
auto unlessFinite(const char* function, const char* why) {
  return [function, why](const Values<N>& values) {
    for (double value : values) {
      if (!std::isfinite(value))
        return std::string(function) + why;
    }
    return std::string();
  };
}

// Reads the program's numbers, in the order given.
template <class... Numbers>
auto numbers(Numbers&... number) {
  return [given = std::array<hx4_program_api::Number*, sizeof...(Numbers)>{&number...}](
             VorelForceTorqueSensorSecondaryInstance&, Values<sizeof...(Numbers)>& values) {
    for (std::size_t i = 0; i < values.size(); ++i)
      values[i] = given[i]->d(true);
    return true;
  };
}

// Reads rows 0..2 of column 0 of the program's array.
inline auto rowsOf(hx4_program_api::Array<hx4_program_api::Number>& array) {
  return [rows = &array](VorelForceTorqueSensorSecondaryInstance&, Values<3>& values) {
    for (int i = 0; i < 3; ++i)
      values[i] = rows->item(i, 0).d(true);
    return true;
  };
}

}  // namespace vorel_device
