// The command line.
#pragma once

#include <cstdint>

struct RunOptions {
  double duration = 15.0;
  bool forceDsc = true;
  bool powerOff = false;
  std::int32_t mode = -1;
  const char* image = nullptr;  // points into the argument vector
};

// args excludes the program name.
RunOptions ScanOptions(int count, char* const* args);
