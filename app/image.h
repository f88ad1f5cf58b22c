// The optional static image: a raw BGRX file copied once into both surfaces.
#pragma once

#include <cstdint>

#include "app/graphics.h"
#include "app/surfaces.h"

// Bytes per upload row: width * 4 rounded up to the texture-data pitch.
std::uint64_t UploadPitch(std::uint32_t width);

// Records the copy of an upload buffer laid out with pitch into dst (subresource
// 0), between barriers from and back to the common state.
void RecordImageCopy(ID3D12GraphicsCommandList* list, ID3D12Resource* dst, ID3D12Resource* upload,
                     DXGI_FORMAT format, std::uint32_t width, std::uint32_t height,
                     std::uint32_t pitch);

// Loads path into both surfaces. upload is the run's slot for the upload
// buffer. Returns kContinue (and sets staticImage) or an exit code.
int LoadStaticImage(const char* path, GraphicsContext& g, SurfacePair& s,
                    Owned<ID3D12Resource>& upload, bool& staticImage);
