// ln|Gamma(x)| without touching process-wide state. glibc's lgamma writes
// the global `signgam`, a data race when chunks run on several threads;
// lgamma_r returns the same value and writes the sign to a local instead.
#pragma once

#include <math.h>

namespace vexol {

inline double log_gamma(double x) {
  int sign;
  return ::lgamma_r(x, &sign);
}

}  // namespace vexol
