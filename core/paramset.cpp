// SPDX-License-Identifier: Apache-2.0
#include "core/paramset.h"

namespace {

template <typename Items, typename T>
void Add(Items& items, const std::string& name, const T& value) {
  for (auto& item : items)
    if (item.name == name) {
      item.value = value;
      item.looked_up = false;
      return;
    }
  items.push_back({name, value, false});
}

template <typename Items, typename T>
T FindOne(const Items& items, const std::string& name, const T& d) {
  for (const auto& item : items)
    if (item.name == name) {
      item.looked_up = true;
      return item.value;
    }
  return d;
}

}  // namespace

void ParamSet::AddFloat(const std::string& name, float value) { Add(floats, name, value); }

void ParamSet::AddString(const std::string& name, const std::string& value) {
  Add(strings, name, value);
}

float ParamSet::FindOneFloat(const std::string& name, float d) const {
  return FindOne(floats, name, d);
}

std::string ParamSet::FindOneString(const std::string& name, const std::string& d) const {
  return FindOne(strings, name, d);
}

std::vector<std::string> ParamSet::UnusedKeys() const {
  std::vector<std::string> unused;
  for (const auto& item : floats)
    if (!item.looked_up) unused.push_back(item.name);
  for (const auto& item : strings)
    if (!item.looked_up) unused.push_back(item.name);
  return unused;
}
