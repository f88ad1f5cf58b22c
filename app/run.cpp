#include "app/run.h"

#include <cstdio>
#include <vector>

#include "app/check.h"
#include "app/discovery.h"
#include "app/graphics.h"
#include "app/image.h"
#include "app/options.h"
#include "app/present.h"
#include "app/surfaces.h"
#include "driver/binding.h"

namespace {

// Everything a run creates, in creation order; released in reverse by
// ReleaseChain. Slots that were never filled are skipped there.
struct RunObjects {
  Discovery discovery;
  GraphicsContext graphics;
  SurfacePair surfaces;
  Owned<ID3D12Resource> upload;
};

template <class T>
void FreeArray(std::vector<T>& array) {
  std::vector<T>().swap(array);
}

void ReleaseChain(RunObjects& run) {
  run.upload.Reset();
  run.surfaces.rtvHeap.Reset();
  run.surfaces.res[1].Reset();
  run.surfaces.res[0].Reset();
  run.graphics.fence.Reset();
  run.graphics.list.Reset();
  run.graphics.alloc.Reset();
  run.graphics.queue.Reset();
  run.graphics.dev.Reset();
  run.discovery.adapter.Reset();
  FreeArray(run.discovery.modes);
  FreeArray(run.discovery.displays);
}

int RunSteps(const RunOptions& options, RunObjects& run) {
  Discovery& d = run.discovery;
  int code = FindDisplay(d);
  if (code != kContinue) return code;
  code = ChooseMode(d, options.mode, options.forceDsc);
  if (code != kContinue) return code;
  code = FindAdapter(d);
  if (code != kContinue) return code;
  if (!CreateGraphicsContext(d.adapter.Get(), run.graphics)) return kExitFatal;
  code = AcquireSurfaces(run.graphics.dev.Get(), d.display, d.chosenMode, run.surfaces);
  if (code != kContinue) return code;
  bool staticImage = false;
  if (options.image != nullptr) {
    code = LoadStaticImage(options.image, run.graphics, run.surfaces, run.upload, staticImage);
    if (code != kContinue) return code;
  }
  const PresentInputs inputs = {options.duration, options.powerOff, staticImage, d.chosenRefreshHz};
  return RunPresentPhase(run.graphics, run.surfaces, d.display, d.chosenMode, inputs);
}

}  // namespace

int DmcheckMain(int argc, char** argv) {
  // No buffer at all, before anything is written.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  std::setvbuf(stderr, nullptr, _IONBF, 0);
  const RunOptions options = ScanOptions(argc > 0 ? argc - 1 : 0, argc > 0 ? argv + 1 : argv);
  if (!StatusOk(NvAPI_Initialize(), "NvAPI_Initialize()", 68)) return kExitFatal;
  RunObjects run;
  const int code = RunSteps(options, run);
  ReleaseChain(run);
  return code;
}
