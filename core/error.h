// SPDX-License-Identifier: Apache-2.0
// How the host's Severe reports. By default it writes "Fatal error: " and
// the message to standard error and ends the process with status 1. A
// program (or a test) can install a handler instead; if the handler
// returns, Severe returns to its caller.
#pragma once

#include <string>
#include <vector>

using SevereHandler = void (*)(const char* message);

// Installs a handler (nullptr restores the default) and returns the old one.
SevereHandler SetSevereHandler(SevereHandler handler);

// Records every Severe message while it lives, and lets Severe return.
class ScopedSevereRecorder {
 public:
  ScopedSevereRecorder();
  ~ScopedSevereRecorder();
  ScopedSevereRecorder(const ScopedSevereRecorder&) = delete;
  ScopedSevereRecorder& operator=(const ScopedSevereRecorder&) = delete;
  const std::vector<std::string>& Messages() const;

 private:
  SevereHandler previous;
};
