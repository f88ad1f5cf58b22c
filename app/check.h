// The one way a failed call is reported: a FATAL line with the call's fixed
// text and its site number.
#pragma once

#include "driver/driver_api.h"

constexpr int kExitCompleted = 0;
constexpr int kExitNoDisplay = 2;
constexpr int kExitRefused = 3;
constexpr int kExitFatal = 10;
// A step's result when the run goes on.
constexpr int kContinue = -1;

// A driver status: anything but 0 fails. Prints the FATAL line on failure.
bool StatusOk(DriverStatus status, const char* text, int site);
// A Direct3D 12 result: negative values fail. Prints the FATAL line on failure.
bool ResultOk(HRESULT result, const char* text, int site);
