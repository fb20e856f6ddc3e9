#include "app/number_text.h"

#include <cmath>
#include <cstdio>

std::string FormatFloat(float v) {
  if (std::isnan(v)) return "nan";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  char buf[32];
  snprintf(buf, sizeof buf, "%.9g", double(v));
  return buf;
}
