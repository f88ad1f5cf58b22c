#include "app/graphics.h"

#include <cstring>

#include "app/check.h"

bool CreateGraphicsContext(IDXGIAdapter* adapter, GraphicsContext& g) {
  if (!ResultOk(D3D12CreateDevice(adapter, D3D_FEATURE_LEVEL_11_0, IID_PPV_ARGS(g.dev.Put())),
                "D3D12CreateDevice(adapter.Get(), D3D_FEATURE_LEVEL_11_0, IID_PPV_ARGS(&dev))",
                129)) {
    return false;
  }
  D3D12_COMMAND_QUEUE_DESC qd = {};
  qd.Type = D3D12_COMMAND_LIST_TYPE_DIRECT;
  qd.Priority = D3D12_COMMAND_QUEUE_PRIORITY_NORMAL;
  qd.Flags = D3D12_COMMAND_QUEUE_FLAG_NONE;
  qd.NodeMask = 0;
  if (!ResultOk(g.dev->CreateCommandQueue(&qd, IID_PPV_ARGS(g.queue.Put())),
                "dev->CreateCommandQueue(&qd, IID_PPV_ARGS(&queue))", 133)) {
    return false;
  }
  if (!ResultOk(g.dev->CreateCommandAllocator(D3D12_COMMAND_LIST_TYPE_DIRECT,
                                              IID_PPV_ARGS(g.alloc.Put())),
                "dev->CreateCommandAllocator(D3D12_COMMAND_LIST_TYPE_DIRECT, IID_PPV_ARGS(&alloc))",
                136)) {
    return false;
  }
  if (!ResultOk(g.dev->CreateCommandList(0, D3D12_COMMAND_LIST_TYPE_DIRECT, g.alloc.Get(), nullptr,
                                         IID_PPV_ARGS(g.list.Put())),
                "dev->CreateCommandList(0, D3D12_COMMAND_LIST_TYPE_DIRECT, alloc.Get(), nullptr, "
                "IID_PPV_ARGS(&list))",
                139)) {
    return false;
  }
  // Lists are created recording; submissions start from a closed list.
  if (!ResultOk(g.list->Close(), "list->Close()", 140)) return false;
  if (!ResultOk(g.dev->CreateFence(0, D3D12_FENCE_FLAG_NONE, IID_PPV_ARGS(g.fence.Put())),
                "dev->CreateFence(0, D3D12_FENCE_FLAG_NONE, IID_PPV_ARGS(&fence))", 142)) {
    return false;
  }
  g.fenceVal = 0;
  g.fenceEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  return true;
}

bool ResetCommands(GraphicsContext& g, ResetSites sites) {
  if (!ResultOk(g.alloc->Reset(), "alloc->Reset()", sites.allocatorReset)) return false;
  return ResultOk(g.list->Reset(g.alloc.Get(), nullptr), "list->Reset(alloc.Get(), nullptr)",
                  sites.listReset);
}

bool SubmitAndWait(GraphicsContext& g, SubmitSites sites, DWORD timeoutMs) {
  if (!ResultOk(g.list->Close(), "list->Close()", sites.close)) return false;
  ID3D12CommandList* lists[] = {g.list.Get()};
  g.queue->ExecuteCommandLists(1, lists);
  if (!ResultOk(g.queue->Signal(g.fence.Get(), ++g.fenceVal),
                "queue->Signal(fence.Get(), ++fenceVal)", sites.signal)) {
    return false;
  }
  // Neither result is tested: after a time-out or a failed arm the step goes
  // on as if the fence had been reached.
  if (g.fence->GetCompletedValue() < g.fenceVal) {
    (void)g.fence->SetEventOnCompletion(g.fenceVal, g.fenceEvent);
    (void)WaitForSingleObject(g.fenceEvent, timeoutMs);
  }
  return true;
}

D3D12_RESOURCE_BARRIER TransitionBarrier(ID3D12Resource* resource, D3D12_RESOURCE_STATES before,
                                         D3D12_RESOURCE_STATES after) {
  D3D12_RESOURCE_BARRIER barrier;
  std::memset(&barrier, 0, sizeof barrier);
  barrier.Type = D3D12_RESOURCE_BARRIER_TYPE_TRANSITION;
  barrier.Flags = D3D12_RESOURCE_BARRIER_FLAG_NONE;
  barrier.Transition.pResource = resource;
  barrier.Transition.Subresource = D3D12_RESOURCE_BARRIER_ALL_SUBRESOURCES;
  barrier.Transition.StateBefore = before;
  barrier.Transition.StateAfter = after;
  return barrier;
}
