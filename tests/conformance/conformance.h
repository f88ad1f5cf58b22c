// The Direct3D 12 conformance check of the program's graphics code.
#pragma once

// argv[1], when given: directory (existing) for the raw readbacks.
// Returns 0 when every pixel is as expected, 1 on a wrong pixel, 10 when a
// Direct3D 12 call failed.
int ConformanceMain(int argc, char** argv);
