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

std::string JsonFloat(float v) {
  return std::isfinite(v) ? FormatFloat(v) : "\"" + FormatFloat(v) + "\"";
}

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c < 0x20) {
      char buf[8];
      snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += char(c);
    }
  }
  return out + "\"";
}
