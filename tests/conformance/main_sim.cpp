// The conformance check on the simulated machine. With a second directory it
// also compares its readbacks byte for byte with those of another runtime
// (the Windows build under Wine).
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "sim/machine.h"
#include "sim/scenario.h"
#include "tests/conformance/conformance.h"

namespace {

bool ReadFile(const std::string& path, std::vector<unsigned char>& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

// Compares one readback; prints the first differing pixel.
bool Same(const std::string& name, const std::string& ours, const std::string& theirs) {
  std::vector<unsigned char> a;
  std::vector<unsigned char> b;
  if (!ReadFile(ours + "/" + name, a) || !ReadFile(theirs + "/" + name, b)) {
    std::printf("DIFFERENT %s: missing file\n", name.c_str());
    return false;
  }
  if (a.size() != b.size()) {
    std::printf("DIFFERENT %s: %zu bytes here, %zu there\n", name.c_str(), a.size(), b.size());
    return false;
  }
  std::size_t differing = 0;
  for (std::size_t i = 0; i < a.size(); i += 4) {
    bool same = true;
    for (std::size_t c = 0; c < 4 && i + c < a.size(); ++c) same = same && a[i + c] == b[i + c];
    if (!same && differing++ == 0) {
      const std::size_t pixel = i / 4;
      std::printf("DIFFERENT %s: first at pixel (%zu,%zu): here %u %u %u %u, there %u %u %u %u\n",
                  name.c_str(), pixel % 2160, pixel / 2160, a[i], a[i + 1], a[i + 2], a[i + 3],
                  b[i], b[i + 1], b[i + 2], b[i + 3]);
    }
  }
  if (differing != 0) std::printf("DIFFERENT %s: %zu pixels\n", name.c_str(), differing);
  return differing == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: conformance_sim OUTDIR [OTHER-OUTDIR]\n");
    return 64;
  }
  sim::MachineOptions options;
  options.time = sim::TimeMode::Virtual;
  sim::MachineInstall(sim::DefaultScenario(), options);
  int rc = sim::MachineRun(&ConformanceMain, {"conformance", argv[1]});
  for (const std::string& message : sim::ValidationErrors()) {
    std::printf("validation: %s\n", message.c_str());
    if (rc == 0) rc = 1;
  }
  if (rc == 0 && argc > 2) {
    const char* names[] = {"pattern-0.raw", "pattern-1.raw", "pattern-2.raw",
                           "pattern-3.raw", "pattern-4.raw", "image.raw"};
    for (const char* name : names) {
      if (!Same(name, argv[1], argv[2])) rc = 1;
    }
    if (rc == 0) std::printf("readbacks identical to %s\n", argv[2]);
  }
  return rc;
}
