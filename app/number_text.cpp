#include "app/number_text.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

std::string FormatFloat(float v) {
  if (std::isnan(v)) return "nan";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  // The fewest significant digits that read back to the same float: the
  // prescription's 56.20238 prints as 56.20238, not 56.2023811.
  char buf[32];
  for (int digits = 1; digits <= 9; ++digits) {
    snprintf(buf, sizeof buf, "%.*g", digits, double(v));
    if (std::strtof(buf, nullptr) == v) break;
  }
  return buf;
}
