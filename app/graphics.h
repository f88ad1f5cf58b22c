// The Direct3D 12 device and the objects every submission goes through.
#pragma once

#include <cstdint>

#include "app/owned.h"
#include "platform/platform.h"

struct GraphicsContext {
  Owned<ID3D12Device> dev;
  Owned<ID3D12CommandQueue> queue;
  Owned<ID3D12CommandAllocator> alloc;
  Owned<ID3D12GraphicsCommandList> list;
  Owned<ID3D12Fence> fence;
  std::uint64_t fenceVal = 0;
  HANDLE fenceEvent = nullptr;  // never closed
};

// The site numbers a caller of the submission step reports under.
struct ResetSites {
  int allocatorReset;
  int listReset;
};
struct SubmitSites {
  int close;
  int signal;
};

// A transition barrier of every subresource of resource.
D3D12_RESOURCE_BARRIER TransitionBarrier(ID3D12Resource* resource, D3D12_RESOURCE_STATES before,
                                         D3D12_RESOURCE_STATES after);

// Creates the device on adapter and the queue, allocator, closed list, fence
// and event. Returns false after printing the FATAL line of the failed call.
bool CreateGraphicsContext(IDXGIAdapter* adapter, GraphicsContext& g);

// Resets the allocator and the list for recording.
bool ResetCommands(GraphicsContext& g, ResetSites sites);
// Closes, executes and signals the list, then waits for the fence up to
// timeoutMs. A wait that times out is not acted on.
bool SubmitAndWait(GraphicsContext& g, SubmitSites sites, DWORD timeoutMs);
