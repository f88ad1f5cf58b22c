// Command allocators, command lists, queues and fences, and the execution of
// recorded commands on CPU memory.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "sim/clock.h"
#include "sim/d3d12/gpu_formats.h"
#include "sim/d3d12/gpu_internal.h"
#include "sim/kernel.h"
#include "sim/scenario.h"
#include "sim/trace.h"

namespace sim::gpu::detail {

namespace {

std::string Hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", value);
  return text;
}

bool IsChildIid(REFIID riid) {
  return riid == IUnknown::kIid || riid == ID3D12Object::kIid || riid == ID3D12DeviceChild::kIid;
}

// Fills w pixels of bpp bytes at row with pixel: one pixel, then doubling.
void FillRow(std::uint8_t* row, const std::uint8_t* pixel, std::uint32_t bpp, std::uint32_t w) {
  std::size_t total = std::size_t{w} * bpp;
  std::memcpy(row, pixel, bpp);
  std::size_t done = bpp;
  while (done < total) {
    std::size_t n = std::min(done, total - done);
    std::memcpy(row + done, row, n);
    done += n;
  }
}

// Clears at least this large bypass the cache. A headset-sized surface is
// written whole every frame and not read back, so fetching each line into the
// cache before overwriting it would double the memory traffic.
constexpr std::size_t kStreamingClearBytes = std::size_t{1} << 20;

// Fills rows of w pixels, pitch bytes apart, from first.
void FillRect(std::uint8_t* first, std::size_t pitch, std::uint32_t rows, const std::uint8_t* pixel,
              std::uint32_t bpp, std::uint32_t w) {
  const std::size_t bytes = std::size_t{w} * bpp;
#if defined(__SSE2__)
  if (bytes * rows >= kStreamingClearBytes && 16 % bpp == 0 &&
      reinterpret_cast<std::uintptr_t>(first) % bpp == 0 && pitch % bpp == 0) {
    alignas(16) std::uint8_t pattern[16];
    for (std::uint32_t i = 0; i < 16; i += bpp) std::memcpy(pattern + i, pixel, bpp);
    const __m128i value = _mm_load_si128(reinterpret_cast<const __m128i*>(pattern));
    for (std::uint32_t y = 0; y < rows; ++y) {
      std::uint8_t* p = first + y * pitch;
      std::uint8_t* const end = p + bytes;
      // Whole pixels up to a 16-byte boundary, where the pattern starts on a
      // pixel again because 16 is a multiple of the pixel size.
      while (reinterpret_cast<std::uintptr_t>(p) % 16 != 0 && p < end) {
        std::memcpy(p, pixel, bpp);
        p += bpp;
      }
      for (; end - p >= 16; p += 16) _mm_stream_si128(reinterpret_cast<__m128i*>(p), value);
      for (; p < end; p += bpp) std::memcpy(p, pixel, bpp);
    }
    _mm_sfence();  // the streamed lines are in memory before anything reads them
    return;
  }
#endif
  FillRow(first, pixel, bpp, w);
  for (std::uint32_t y = 1; y < rows; ++y) std::memcpy(first + y * pitch, first, bytes);
}

struct Surface {
  std::uint8_t* base = nullptr;
  std::size_t rowPitch = 0;
  std::uint32_t bpp = 0;
};

Surface Locate(Resource* resource, const CopyLocation& location) {
  Storage& storage = resource->storage();
  Surface out;
  if (location.footprint) {
    out.base = storage.bytes.data() + location.placed.Offset;
    out.rowPitch = location.placed.Footprint.RowPitch;
    out.bpp = DescribeFormat(location.placed.Footprint.Format).bytesPerPixel;
  } else {
    const Subresource& sub = storage.subresources[location.subresource];
    out.base = storage.bytes.data() + sub.offset;
    out.rowPitch = sub.rowPitch;
    out.bpp = storage.bytesPerPixel;
  }
  return out;
}

void RunBarrier(const Command& command) {
  Storage& storage = command.resource->storage();
  std::uint32_t first = 0;
  std::uint32_t last = static_cast<std::uint32_t>(storage.states.size());
  if (command.subresource != D3D12_RESOURCE_BARRIER_ALL_SUBRESOURCES) {
    first = command.subresource;
    last = first + 1;
  }
  bool reported = false;
  for (std::uint32_t i = first; i < last; ++i) {
    if (storage.states[i] != command.before && !reported) {
      reported = true;
      Validation(*command.resource, "RESOURCE_BARRIER_BEFORE_AFTER_MISMATCH",
                 "ResourceBarrier: StateBefore " + Hex(command.before) +
                     " does not match the current state " + Hex(storage.states[i]) +
                     " of subresource " + std::to_string(i));
    }
    storage.states[i] = command.after;
  }
}

void RunClear(const Command& command, const D3D12_RECT* rects) {
  Storage& storage = command.resource->storage();
  std::uint32_t state = storage.states[command.subresource];
  if (state != D3D12_RESOURCE_STATE_RENDER_TARGET) {
    Validation(*command.resource, "CLEARRENDERTARGETVIEW_INVALIDRESOURCESTATE",
               "ClearRenderTargetView: subresource " + std::to_string(command.subresource) +
                   " is in state " + Hex(state) + ", not D3D12_RESOURCE_STATE_RENDER_TARGET");
  }
  std::uint8_t pixel[8];
  std::uint32_t bpp = EncodeColor(command.format, command.color, pixel);
  if (bpp == 0) return;
  const Subresource& sub = storage.subresources[command.subresource];
  std::uint8_t* base = storage.bytes.data() + sub.offset;
  auto clearRect = [&](std::int64_t left, std::int64_t top, std::int64_t right,
                       std::int64_t bottom) {
    left = std::max<std::int64_t>(left, 0);
    top = std::max<std::int64_t>(top, 0);
    right = std::min<std::int64_t>(right, sub.width);
    bottom = std::min<std::int64_t>(bottom, sub.height);
    if (left >= right || top >= bottom) return;  // empty, inverted or outside
    auto w = static_cast<std::uint32_t>(right - left);
    std::uint8_t* first =
        base + static_cast<std::size_t>(top) * sub.rowPitch + static_cast<std::size_t>(left) * bpp;
    FillRect(first, sub.rowPitch, static_cast<std::uint32_t>(bottom - top), pixel, bpp, w);
  };
  if (command.rectCount == 0) {
    clearRect(0, 0, sub.width, sub.height);
    return;
  }
  for (std::uint32_t i = 0; i < command.rectCount; ++i) {
    const D3D12_RECT& r = rects[command.rectBegin + i];
    clearRect(r.left, r.top, r.right, r.bottom);
  }
}

void RunCopy(const Command& command) {
  Storage& dst = command.resource->storage();
  Storage& src = command.source->storage();
  if (!dst.IsBuffer()) {
    std::uint32_t state = dst.states[command.dst.subresource];
    if (state != D3D12_RESOURCE_STATE_COPY_DEST) {
      Validation(*command.resource, "COPYTEXTUREREGION_INVALIDDSTRESOURCESTATE",
                 "CopyTextureRegion: destination subresource " +
                     std::to_string(command.dst.subresource) + " is in state " + Hex(state) +
                     ", not D3D12_RESOURCE_STATE_COPY_DEST");
    }
  }
  if (!src.IsBuffer()) {
    std::uint32_t state = src.states[command.src.subresource];
    if ((state & D3D12_RESOURCE_STATE_COPY_SOURCE) == 0) {
      Validation(*command.source, "COPYTEXTUREREGION_INVALIDSRCRESOURCESTATE",
                 "CopyTextureRegion: source subresource " +
                     std::to_string(command.src.subresource) + " is in state " + Hex(state) +
                     ", not a state that allows copying from it");
    }
  }
  Surface to = Locate(command.resource, command.dst);
  Surface from = Locate(command.source, command.src);
  std::size_t bytes = std::size_t{command.width} * to.bpp;
  for (std::uint32_t y = 0; y < command.height; ++y) {
    std::memmove(to.base + (std::size_t{command.dstY} + y) * to.rowPitch +
                     std::size_t{command.dstX} * to.bpp,
                 from.base + (std::size_t{command.srcTop} + y) * from.rowPitch +
                     std::size_t{command.srcLeft} * from.bpp,
                 bytes);
  }
}

}  // namespace

void HoldCommand(const Command& command) {
  if (command.resource != nullptr) command.resource->AddInternal();
  if (command.source != nullptr) command.source->AddInternal();
  if (command.allocator != nullptr) command.allocator->AddInternal();
}

void DropCommand(const Command& command) {
  if (command.resource != nullptr) command.resource->ReleaseInternal();
  if (command.source != nullptr) command.source->ReleaseInternal();
  if (command.allocator != nullptr) command.allocator->ReleaseInternal();
}

void ExecuteCommand(const Command& command, const D3D12_RECT* rects) {
  switch (command.op) {
    case Op::Barrier:
      RunBarrier(command);
      break;
    case Op::Clear:
      RunClear(command, rects);
      break;
    case Op::Copy:
      RunCopy(command);
      break;
    case Op::AllocatorDone:
      if (command.allocator->batchesInFlight > 0) --command.allocator->batchesInFlight;
      break;
  }
}

// ---- CommandAllocator ----

CommandAllocator::CommandAllocator(Device* device, D3D12_COMMAND_LIST_TYPE type)
    : ComObject(Kind::Allocator), device_(device), type_(type) {
  device_->AddInternal();
}

CommandAllocator::~CommandAllocator() {
  if (!Resetting()) device_->ReleaseInternal();
}

bool CommandAllocator::Supports(REFIID riid) const {
  return IsChildIid(riid) || riid == ID3D12Pageable::kIid || riid == ID3D12CommandAllocator::kIid;
}

HRESULT CommandAllocator::Reset() {
  HRESULT hr = EnterCall(Method::AllocatorReset, device_);
  if (FAILED(hr)) return hr;
  if (recordingLists > 0) return E_FAIL;
  PumpAll();
  if (batchesInFlight > 0) {
    Validation(*this, "COMMAND_ALLOCATOR_SYNC",
               "Reset while the GPU is still executing work recorded from it");
  }
  return S_OK;
}

// ---- CommandList ----

CommandList::CommandList(Device* device, D3D12_COMMAND_LIST_TYPE type, CommandAllocator* allocator)
    : ComObject(Kind::List), device_(device), type_(type), allocator_(allocator) {
  device_->AddInternal();
  allocator_->AddInternal();
  ++allocator_->recordingLists;
  commands_.reserve(64);
  rects_.reserve(64);
}

CommandList::~CommandList() {
  if (Resetting()) return;
  ClearCommands();
  if (state_ == State::Recording && allocator_->recordingLists > 0) --allocator_->recordingLists;
  allocator_->ReleaseInternal();
  device_->ReleaseInternal();
}

bool CommandList::Supports(REFIID riid) const {
  return IsChildIid(riid) || riid == ID3D12CommandList::kIid ||
         riid == ID3D12GraphicsCommandList::kIid;
}

void CommandList::ClearCommands() {
  for (const Command& command : commands_) DropCommand(command);
  commands_.clear();
  rects_.clear();
}

bool CommandList::CanRecord(const char* what) {
  if (state_ == State::Recording) return true;
  Validation(*this, "COMMAND_LIST_CLOSED",
             std::string(what) + " called on a closed command list; nothing was recorded");
  return false;
}

void CommandList::Invalid(const ObjectBase& object, const char* id, const std::string& text) {
  failed_ = true;
  Validation(object, id, text);
}

HRESULT CommandList::Close() {
  HRESULT hr = EnterCall(Method::ListClose, device_);
  if (FAILED(hr)) return hr;
  if (state_ == State::Closed) return E_FAIL;
  state_ = State::Closed;
  if (allocator_->recordingLists > 0) --allocator_->recordingLists;
  return failed_ ? E_INVALIDARG : S_OK;
}

HRESULT CommandList::Reset(ID3D12CommandAllocator* pAllocator, ID3D12PipelineState* pInitialState) {
  HRESULT hr = EnterCall(Method::ListReset, device_);
  if (FAILED(hr)) return hr;
  if (state_ == State::Recording) return E_FAIL;
  auto* allocator = Find<CommandAllocator>(pAllocator, Kind::Allocator);
  if (allocator == nullptr || allocator->type() != type_ || pInitialState != nullptr) {
    return E_INVALIDARG;
  }
  if (allocator->recordingLists > 0) return E_INVALIDARG;  // another list records into it
  ClearCommands();
  allocator->AddInternal();
  allocator_->ReleaseInternal();
  allocator_ = allocator;
  ++allocator_->recordingLists;
  state_ = State::Recording;
  failed_ = false;
  return S_OK;
}

void CommandList::ResourceBarrier(UINT NumBarriers, const D3D12_RESOURCE_BARRIER* pBarriers) {
  if (!CanRecord("ResourceBarrier")) return;
  if (NumBarriers > 0 && pBarriers == nullptr) {
    Invalid(*this, "RESOURCE_BARRIER_NULL_POINTER", "ResourceBarrier: pBarriers is null");
    return;
  }
  for (UINT i = 0; i < NumBarriers; ++i) {
    const D3D12_RESOURCE_BARRIER& barrier = pBarriers[i];
    if (barrier.Type == D3D12_RESOURCE_BARRIER_TYPE_ALIASING ||
        barrier.Type == D3D12_RESOURCE_BARRIER_TYPE_UAV) {
      continue;  // CPU memory needs neither
    }
    if (barrier.Type != D3D12_RESOURCE_BARRIER_TYPE_TRANSITION) {
      Invalid(*this, "RESOURCE_BARRIER_INVALID_TYPE",
              "ResourceBarrier: barrier type " + std::to_string(barrier.Type) + " is not valid");
      continue;
    }
    const D3D12_RESOURCE_TRANSITION_BARRIER& t = barrier.Transition;
    if (t.pResource == nullptr) {
      Invalid(*this, "RESOURCE_BARRIER_NULL_POINTER",
              "ResourceBarrier: transition barrier without a resource");
      continue;
    }
    auto* resource = Find<Resource>(t.pResource, Kind::Resource);
    if (resource == nullptr) {
      Invalid(*this, "RESOURCE_BARRIER_INVALID_RESOURCE",
              "ResourceBarrier: the resource is not a live object of this runtime");
      continue;
    }
    if (t.StateBefore == t.StateAfter) {
      Invalid(*resource, "RESOURCE_BARRIER_MATCHING_STATES",
              "ResourceBarrier: StateBefore and StateAfter are both " +
                  Hex(static_cast<std::uint32_t>(t.StateBefore)));
      continue;
    }
    if (t.Subresource != D3D12_RESOURCE_BARRIER_ALL_SUBRESOURCES &&
        t.Subresource >= resource->storage().states.size()) {
      Invalid(*resource, "RESOURCE_BARRIER_INVALID_SUBRESOURCE",
              "ResourceBarrier: subresource " + std::to_string(t.Subresource) + " does not exist");
      continue;
    }
    Command command;
    command.op = Op::Barrier;
    command.resource = resource;
    command.subresource = t.Subresource;
    command.before = static_cast<std::uint32_t>(t.StateBefore);
    command.after = static_cast<std::uint32_t>(t.StateAfter);
    command.rectBegin = static_cast<std::uint32_t>(rects_.size());
    HoldCommand(command);
    commands_.push_back(command);
  }
}

void CommandList::ClearRenderTargetView(D3D12_CPU_DESCRIPTOR_HANDLE RenderTargetView,
                                        const FLOAT ColorRGBA[4], UINT NumRects,
                                        const D3D12_RECT* pRects) {
  if (!CanRecord("ClearRenderTargetView")) return;
  RtvSlot* slot = DecodeRtv(RenderTargetView.ptr);
  if (slot == nullptr || !slot->written) {
    Invalid(*this, "INVALID_DESCRIPTOR_HANDLE",
            "ClearRenderTargetView: the handle is not a render-target view");
    return;
  }
  if (ColorRGBA == nullptr || (NumRects > 0 && pRects == nullptr)) {
    Invalid(*this, "CLEARRENDERTARGETVIEW_INVALIDRECT",
            "ClearRenderTargetView: a colour or rectangle pointer is null");
    return;
  }
  if (!slot->valid) return;  // a null view (or one refused when it was made) clears nothing
  auto* resource = Find<Resource>(slot->resource, Kind::Resource);
  if (resource == nullptr || resource->serial() != slot->resourceSerial) {
    Invalid(*this, "INVALID_DESCRIPTOR_HANDLE",
            "ClearRenderTargetView: the view's resource has been destroyed");
    return;
  }
  Command command;
  command.op = Op::Clear;
  command.resource = resource;
  command.subresource = slot->subresource;
  command.format = slot->format;
  std::memcpy(command.color, ColorRGBA, sizeof command.color);
  command.rectBegin = static_cast<std::uint32_t>(rects_.size());
  command.rectCount = NumRects;
  rects_.insert(rects_.end(), pRects, pRects + NumRects);
  HoldCommand(command);
  commands_.push_back(command);
}

bool CommandList::CheckCopyLocation(const D3D12_TEXTURE_COPY_LOCATION* loc, const char* which,
                                    Resource** res, CopyLocation* out) {
  if (loc == nullptr || loc->pResource == nullptr) {
    Invalid(*this, "COPYTEXTUREREGION_NULLPOINTER",
            std::string("CopyTextureRegion: no ") + which + " resource");
    return false;
  }
  auto* resource = Find<Resource>(loc->pResource, Kind::Resource);
  if (resource == nullptr) {
    Invalid(
        *this, "COPYTEXTUREREGION_INVALIDRESOURCE",
        std::string("CopyTextureRegion: the ") + which + " is not a live object of this runtime");
    return false;
  }
  const Storage& storage = resource->storage();
  if (loc->Type == D3D12_TEXTURE_COPY_TYPE_SUBRESOURCE_INDEX) {
    if (storage.IsBuffer() || loc->SubresourceIndex >= storage.subresources.size()) {
      Invalid(*resource, "COPYTEXTUREREGION_INVALIDSUBRESOURCE",
              std::string("CopyTextureRegion: the ") + which +
                  " is not a texture subresource that exists");
      return false;
    }
    out->footprint = false;
    out->subresource = loc->SubresourceIndex;
  } else if (loc->Type == D3D12_TEXTURE_COPY_TYPE_PLACED_FOOTPRINT) {
    const D3D12_SUBRESOURCE_FOOTPRINT& f = loc->PlacedFootprint.Footprint;
    std::uint32_t bpp = DescribeFormat(f.Format).bytesPerPixel;
    if (!storage.IsBuffer() || bpp == 0 || f.Depth != 1 || f.Width == 0 || f.Height == 0 ||
        f.RowPitch % D3D12_TEXTURE_DATA_PITCH_ALIGNMENT != 0 ||
        std::uint64_t{f.RowPitch} < std::uint64_t{f.Width} * bpp ||
        loc->PlacedFootprint.Offset % 512 != 0) {
      Invalid(*resource, "COPYTEXTUREREGION_INVALIDFOOTPRINT",
              std::string("CopyTextureRegion: the ") + which +
                  " footprint is not a valid placed footprint in a buffer");
      return false;
    }
    std::uint64_t end = loc->PlacedFootprint.Offset + std::uint64_t{f.Height - 1} * f.RowPitch +
                        std::uint64_t{f.Width} * bpp;
    if (end > storage.bytes.size()) {
      Invalid(*resource, "COPYTEXTUREREGION_INVALIDFOOTPRINT",
              std::string("CopyTextureRegion: the ") + which + " footprint ends at byte " +
                  std::to_string(end) + ", past the buffer's " +
                  std::to_string(storage.bytes.size()) + " bytes");
      return false;
    }
    out->footprint = true;
    out->placed = loc->PlacedFootprint;
  } else {
    Invalid(*resource, "COPYTEXTUREREGION_INVALIDTYPE",
            std::string("CopyTextureRegion: unknown ") + which + " location type");
    return false;
  }
  *res = resource;
  return true;
}

void CommandList::CopyTextureRegion(const D3D12_TEXTURE_COPY_LOCATION* pDst, UINT DstX, UINT DstY,
                                    UINT DstZ, const D3D12_TEXTURE_COPY_LOCATION* pSrc,
                                    const D3D12_BOX* pSrcBox) {
  if (!CanRecord("CopyTextureRegion")) return;
  Command command;
  command.op = Op::Copy;
  if (!CheckCopyLocation(pDst, "destination", &command.resource, &command.dst)) return;
  if (!CheckCopyLocation(pSrc, "source", &command.source, &command.src)) return;
  if (command.dst.footprint && command.src.footprint) {
    Invalid(*this, "COPYTEXTUREREGION_INVALIDTYPE",
            "CopyTextureRegion: buffer to buffer copies take CopyBufferRegion");
    return;
  }
  auto extent = [](Resource* r, const CopyLocation& l, std::uint32_t* w, std::uint32_t* h,
                   std::uint32_t* format) {
    if (l.footprint) {
      *w = l.placed.Footprint.Width;
      *h = l.placed.Footprint.Height;
      *format = static_cast<std::uint32_t>(l.placed.Footprint.Format);
    } else {
      const Subresource& sub = r->storage().subresources[l.subresource];
      *w = sub.width;
      *h = sub.height;
      *format = static_cast<std::uint32_t>(r->storage().desc.Format);
    }
  };
  std::uint32_t dstW, dstH, dstFormat, srcW, srcH, srcFormat;
  extent(command.resource, command.dst, &dstW, &dstH, &dstFormat);
  extent(command.source, command.src, &srcW, &srcH, &srcFormat);
  if (!FormatsCompatible(dstFormat, srcFormat)) {
    Invalid(*command.resource, "COPYTEXTUREREGION_INVALIDFORMAT",
            "CopyTextureRegion: formats " + std::to_string(srcFormat) + " and " +
                std::to_string(dstFormat) + " cannot be copied between");
    return;
  }
  std::uint32_t left = 0, top = 0, right = srcW, bottom = srcH;
  if (pSrcBox != nullptr) {
    left = pSrcBox->left;
    top = pSrcBox->top;
    right = pSrcBox->right;
    bottom = pSrcBox->bottom;
    if (right > srcW || bottom > srcH || pSrcBox->front != 0 || pSrcBox->back != 1) {
      Validation(*command.source, "COPYTEXTUREREGION_INVALIDSRCBOX",
                 "CopyTextureRegion: the source box reaches outside the source; it is clipped");
      right = std::min(right, srcW);
      bottom = std::min(bottom, srcH);
    }
  }
  std::uint32_t w = right > left ? right - left : 0;
  std::uint32_t h = bottom > top ? bottom - top : 0;
  if (DstZ != 0 || std::uint64_t{DstX} + w > dstW || std::uint64_t{DstY} + h > dstH) {
    Validation(*command.resource, "COPYTEXTUREREGION_INVALIDDSTCOORDINATES",
               "CopyTextureRegion: the copy reaches outside the destination; it is clipped");
    w = DstX < dstW ? std::min(w, dstW - DstX) : 0;
    h = DstY < dstH && DstZ == 0 ? std::min(h, dstH - DstY) : 0;
  }
  command.dstX = DstX;
  command.dstY = DstY;
  command.srcLeft = left;
  command.srcTop = top;
  command.width = w;
  command.height = h;
  command.rectBegin = static_cast<std::uint32_t>(rects_.size());
  HoldCommand(command);
  commands_.push_back(command);
}

// ---- Fence ----

Fence::Fence(Device* device, UINT64 initialValue)
    : ComObject(Kind::Fence), device_(device), completed_(initialValue) {
  device_->AddInternal();
  waiters_.reserve(8);
}

Fence::~Fence() {
  if (!Resetting()) device_->ReleaseInternal();
}

bool Fence::Supports(REFIID riid) const {
  return IsChildIid(riid) || riid == ID3D12Pageable::kIid || riid == ID3D12Fence::kIid;
}

UINT64 Fence::GetCompletedValue() {
  PumpAll();
  if (device_->removed()) return ~UINT64{0};  // as a removed device's fences report
  return completed_;
}

HRESULT Fence::SetEventOnCompletion(UINT64 Value, HANDLE hEvent) {
  HRESULT hr = EnterCall(Method::FenceSetEventOnCompletion, device_);
  if (FAILED(hr)) return hr;
  if (hEvent != nullptr && !KernelIsEvent(hEvent)) return E_INVALIDARG;
  PumpAll();
  if (completed_ >= Value) {
    if (hEvent != nullptr) KernelSetEvent(hEvent);
    return S_OK;
  }
  bool pending = false;
  std::int64_t when = 0;
  for (CommandQueue* queue : Queues()) {
    std::int64_t t;
    if (queue->PendingSignalTime(this, Value, &t) && (!pending || t < when)) {
      pending = true;
      when = t;
    }
  }
  if (hEvent == nullptr) {
    // Without an event the call blocks until the fence gets there.
    if (!pending) return E_INVALIDARG;  // it never would
    ClockAdvanceTo(when);
    PumpAll();
    return S_OK;
  }
  if (pending) {
    KernelScheduleEvent(hEvent, when);
  } else {
    waiters_.push_back({Value, hEvent});
  }
  return S_OK;
}

HRESULT Fence::Signal(UINT64 Value) {
  HRESULT hr = EnterCall(Method::FenceSignal, device_);
  if (FAILED(hr)) return hr;
  PumpAll();
  Reach(Value);
  return S_OK;
}

void Fence::Reach(UINT64 value) {
  completed_ = value;
  std::size_t kept = 0;
  for (const Waiter& waiter : waiters_) {
    if (waiter.value <= value) {
      KernelSetEvent(waiter.event);
    } else {
      waiters_[kept++] = waiter;
    }
  }
  waiters_.resize(kept);
}

void Fence::WillReach(UINT64 value, std::int64_t tNs) {
  std::size_t kept = 0;
  for (const Waiter& waiter : waiters_) {
    if (waiter.value <= value) {
      KernelScheduleEvent(waiter.event, tNs);
    } else {
      waiters_[kept++] = waiter;
    }
  }
  waiters_.resize(kept);
}

// ---- CommandQueue ----

CommandQueue::CommandQueue(Device* device, const D3D12_COMMAND_QUEUE_DESC& desc)
    : ComObject(Kind::Queue), device_(device), desc_(desc) {
  device_->AddInternal();
  Queues().push_back(this);
  items_.reserve(16);
  commands_.reserve(256);
  rects_.reserve(256);
}

CommandQueue::~CommandQueue() {
  auto& queues = Queues();
  queues.erase(std::remove(queues.begin(), queues.end(), this), queues.end());
  if (Resetting()) return;
  for (std::size_t i = head_; i < items_.size(); ++i) {
    const Item& item = items_[i];
    if (item.batch) {
      for (std::uint32_t c = item.commandBegin; c < item.commandEnd; ++c) {
        DropCommand(commands_[c]);
      }
    } else {
      item.fence->ReleaseInternal();
    }
  }
  device_->ReleaseInternal();
}

bool CommandQueue::Supports(REFIID riid) const {
  return IsChildIid(riid) || riid == ID3D12Pageable::kIid || riid == ID3D12CommandQueue::kIid;
}

void CommandQueue::ExecuteCommandLists(UINT NumCommandLists,
                                       ID3D12CommandList* const* ppCommandLists) {
  PumpAll();
  if (device_->removed()) return;  // a removed device runs nothing
  if (NumCommandLists > 0 && ppCommandLists == nullptr) {
    Validation(*this, "EXECUTECOMMANDLISTS_INVALIDCOMMANDLIST",
               "ExecuteCommandLists: ppCommandLists is null");
    return;
  }
  auto begin = static_cast<std::uint32_t>(commands_.size());
  for (UINT i = 0; i < NumCommandLists; ++i) {
    // The program passes its lists as ID3D12CommandList; ours are all graphics lists.
    auto* list = ppCommandLists[i] == nullptr
                     ? nullptr
                     : Find<CommandList>(static_cast<ID3D12GraphicsCommandList*>(ppCommandLists[i]),
                                         Kind::List);
    if (list == nullptr) {
      Validation(*this, "EXECUTECOMMANDLISTS_INVALIDCOMMANDLIST",
                 "ExecuteCommandLists: list " + std::to_string(i) +
                     " is not a command list of this runtime; it is skipped");
      continue;
    }
    if (list->state() == CommandList::State::Recording) {
      Validation(*list, "EXECUTECOMMANDLISTS_OPENCOMMANDLIST",
                 "ExecuteCommandLists: the list is still recording; it is skipped");
      continue;
    }
    if (list->failed()) {
      Validation(*list, "EXECUTECOMMANDLISTS_FAILEDCOMMANDLIST",
                 "ExecuteCommandLists: the list failed to close; it is skipped");
      continue;
    }
    if (list->GetType() != desc_.Type) {
      Validation(*list, "EXECUTECOMMANDLISTS_WRONGCOMMANDLISTTYPE",
                 "ExecuteCommandLists: the list's type does not match the queue's; it is skipped");
      continue;
    }
    // The batch keeps its own copy, so an early allocator reset cannot change
    // work already submitted.
    auto rectBase = static_cast<std::uint32_t>(rects_.size());
    rects_.insert(rects_.end(), list->rects().begin(), list->rects().end());
    for (const Command& recorded : list->commands()) {
      Command command = recorded;
      command.rectBegin += rectBase;
      HoldCommand(command);
      commands_.push_back(command);
    }
    Command done;
    done.op = Op::AllocatorDone;
    done.allocator = list->allocator();
    done.rectBegin = static_cast<std::uint32_t>(rects_.size());
    HoldCommand(done);
    commands_.push_back(done);
    ++done.allocator->batchesInFlight;
  }
  std::int64_t now = ClockPeekNs();
  std::int64_t end = now;
  if (ClockMode() == TimeMode::Virtual) {
    end = std::max(now, lastEndNs_) +
          static_cast<std::int64_t>(CurrentScenario().gpu.submitCostUs) * 1000;
  }
  lastEndNs_ = end;
  Item item;
  item.batch = true;
  item.timeNs = end;
  item.commandBegin = begin;
  item.commandEnd = static_cast<std::uint32_t>(commands_.size());
  items_.push_back(item);
  if (!holdingSelf_) {
    holdingSelf_ = true;
    AddInternal();
  }
  device_->CountSubmission();
  PumpAll();  // in real time the work runs here
}

HRESULT CommandQueue::Signal(ID3D12Fence* pFence, UINT64 Value) {
  auto* fence = Find<Fence>(pFence, Kind::Fence);
  HRESULT hr = SignalOn(fence, Value);
  if (TraceEnabled()) {
    nlohmann::json who = fence != nullptr ? nlohmann::json(fence->name()) : nlohmann::json(nullptr);
    TraceEmit("Signal", {{"fence", std::move(who)},
                         {"value", Value},
                         {"result", TraceHex(static_cast<std::uint32_t>(hr))}});
  }
  return hr;
}

HRESULT CommandQueue::SignalOn(Fence* fence, UINT64 Value) {
  HRESULT hr = EnterCall(Method::QueueSignal, device_);
  if (FAILED(hr)) return hr;
  if (fence == nullptr) return E_INVALIDARG;
  PumpAll();
  std::int64_t when = std::max(ClockPeekNs(), lastEndNs_);
  Item item;
  item.batch = false;
  item.timeNs = when;
  item.fence = fence;
  item.value = Value;
  fence->AddInternal();
  items_.push_back(item);
  if (!holdingSelf_) {
    holdingSelf_ = true;
    AddInternal();
  }
  fence->WillReach(Value, when);
  PumpAll();
  return S_OK;
}

void CommandQueue::Run(const Item& item) {
  if (!item.batch) {
    item.fence->Reach(item.value);
    item.fence->ReleaseInternal();
    return;
  }
  for (std::uint32_t c = item.commandBegin; c < item.commandEnd; ++c) {
    ExecuteCommand(commands_[c], rects_.data());
    DropCommand(commands_[c]);
  }
}

void CommandQueue::Advance(std::int64_t nowNs) {
  while (head_ < items_.size() && items_[head_].timeNs <= nowNs) {
    Item item = items_[head_];
    ++head_;
    Run(item);
  }
  if (head_ == items_.size()) {
    items_.clear();
    commands_.clear();
    rects_.clear();
    head_ = 0;
  } else if (head_ >= 64) {
    Compact();
  }
}

void CommandQueue::Compact() {
  // Work is backing up: drop what has run and renumber what is left.
  std::uint32_t commandBase = static_cast<std::uint32_t>(commands_.size());
  for (std::size_t i = head_; i < items_.size(); ++i) {
    if (items_[i].batch) {
      commandBase = items_[i].commandBegin;
      break;
    }
  }
  std::uint32_t rectBase = commandBase < commands_.size()
                               ? commands_[commandBase].rectBegin
                               : static_cast<std::uint32_t>(rects_.size());
  items_.erase(items_.begin(), items_.begin() + static_cast<std::ptrdiff_t>(head_));
  head_ = 0;
  for (Item& item : items_) {
    if (!item.batch) continue;
    item.commandBegin -= commandBase;
    item.commandEnd -= commandBase;
  }
  commands_.erase(commands_.begin(), commands_.begin() + commandBase);
  for (Command& command : commands_) command.rectBegin -= rectBase;
  rects_.erase(rects_.begin(), rects_.begin() + rectBase);
}

bool CommandQueue::PendingSignalTime(const Fence* fence, UINT64 value, std::int64_t* tNs) const {
  for (std::size_t i = head_; i < items_.size(); ++i) {
    const Item& item = items_[i];
    if (!item.batch && item.fence == fence && item.value >= value) {
      *tNs = item.timeNs;
      return true;
    }
  }
  return false;
}

void CommandQueue::ReleaseSelfIfIdle() {
  if (holdingSelf_ && Idle()) {
    holdingSelf_ = false;
    ReleaseInternal();
  }
}

}  // namespace sim::gpu::detail
