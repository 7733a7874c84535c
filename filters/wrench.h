// A six-axis wrench: force x, y, z in newtons, then torque x, y, z in
// newton-metres. Index 0 to 5 names the component in this order everywhere.
// A plain record without pointers: it lives in shared memory too.
#pragma once

#include <type_traits>

namespace vorel_device {

/// Force x, y, z (N), then torque x, y, z (N m), in the frame its user names.
struct Wrench {
  double data[6] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};  ///< The six components, in this order.

  double& operator[](int i) { return data[i]; }       ///< Component `i` (0 to 5).
  double operator[](int i) const { return data[i]; }  ///< Component `i` (0 to 5).
};

static_assert(sizeof(Wrench) == 6 * sizeof(double), "Wrench is six doubles");
static_assert(std::is_trivially_copyable<Wrench>::value, "Wrench lives in shared memory");

}  // namespace vorel_device
