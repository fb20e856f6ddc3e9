// SPDX-License-Identifier: Apache-2.0
// The host's named parameter set, as a camera factory sees it: single
// float and string values looked up by key, with a default when absent.
#pragma once

#include <string>
#include <vector>

class ParamSet {
 public:
  // Adding a key again replaces its value of that type.
  void AddFloat(const std::string& name, float value);
  void AddString(const std::string& name, const std::string& value);

  float FindOneFloat(const std::string& name, float d) const;
  std::string FindOneString(const std::string& name, const std::string& d) const;

  // Keys that were added but never looked up, in the order they were added:
  // the host reports them so that a mistyped key is not silently ignored.
  std::vector<std::string> UnusedKeys() const;

 private:
  template <typename T>
  struct Item {
    std::string name;
    T value;
    mutable bool looked_up;
  };
  std::vector<Item<float>> floats;
  std::vector<Item<std::string>> strings;
};
