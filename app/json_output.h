// SPDX-License-Identifier: Apache-2.0
// The tools' JSON, through nlohmann/json. Numbers are 32-bit floats,
// written in the shortest form that reads back to the same float; values
// that are not finite are written as the strings "inf", "-inf" and "nan".
#pragma once

#include <nlohmann/json.hpp>

using Json = nlohmann::basic_json<nlohmann::ordered_map, std::vector, std::string, bool,
                                  std::int64_t, std::uint64_t, float>;

Json JsonNumber(double v);

// One line, and a newline, on standard output.
void PrintJson(const Json& j);
