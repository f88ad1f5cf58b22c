#include "tests/conformance/conformance.h"

int main(int argc, char** argv) { return ConformanceMain(argc, argv); }
