#include "sim/capture.h"

#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

#include "sim/d3d12/gpu_formats.h"

namespace sim {

namespace {

struct PngWriter {
  std::FILE* file = nullptr;
  png_structp png = nullptr;
  png_infop info = nullptr;
  ~PngWriter() {
    if (png != nullptr) png_destroy_write_struct(&png, info != nullptr ? &info : nullptr);
    if (file != nullptr) std::fclose(file);
  }
};

void PngWarning(png_structp, png_const_charp) {}

// libpng reports errors by longjmp; the message is kept for the caller.
void PngError(png_structp png, png_const_charp message) {
  auto* text = static_cast<std::string*>(png_get_error_ptr(png));
  if (text != nullptr) *text = message;
  png_longjmp(png, 1);
}

// Writes rows already converted; separate so that no C++ object with a
// destructor lives across the setjmp.
bool WriteRows(PngWriter& writer, std::uint32_t width, std::uint32_t height,
               std::vector<png_bytep>& rows) {
  if (setjmp(png_jmpbuf(writer.png))) return false;
  png_init_io(writer.png, writer.file);
  png_set_IHDR(writer.png, writer.info, width, height, 8, PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(writer.png, writer.info);
  png_write_image(writer.png, rows.data());
  png_write_end(writer.png, writer.info);
  return true;
}

}  // namespace

bool CapturePng(const std::string& path, const gpu::SurfaceView& surface, std::string* error) {
  std::string scratch;
  std::string& err = error != nullptr ? *error : scratch;
  gpu::FormatInfo info = gpu::DescribeFormat(surface.format);
  std::uint8_t probe[8] = {};
  std::uint8_t rgba[4];
  if (info.bytesPerPixel == 0 || !gpu::DecodeToRgba8(surface.format, probe, rgba)) {
    err = "cannot convert surface format " + std::to_string(surface.format) + " to PNG";
    return false;
  }
  if (surface.pixels == nullptr || surface.width == 0 || surface.height == 0 ||
      surface.rowPitch < std::uint64_t{surface.width} * info.bytesPerPixel) {
    err = "surface has no pixels to capture";
    return false;
  }
  std::vector<std::uint8_t> image(std::size_t{surface.width} * surface.height * 4);
  std::vector<png_bytep> rows(surface.height);
  for (std::uint32_t y = 0; y < surface.height; ++y) {
    const std::uint8_t* src = surface.pixels + std::size_t{y} * surface.rowPitch;
    std::uint8_t* dst = image.data() + std::size_t{y} * surface.width * 4;
    for (std::uint32_t x = 0; x < surface.width; ++x) {
      gpu::DecodeToRgba8(surface.format, src + std::size_t{x} * info.bytesPerPixel, dst + x * 4);
    }
    rows[y] = dst;
  }
  PngWriter writer;
  writer.file = std::fopen(path.c_str(), "wb");
  if (writer.file == nullptr) {
    err = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  writer.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &err, PngError, PngWarning);
  if (writer.png != nullptr) writer.info = png_create_info_struct(writer.png);
  if (writer.png == nullptr || writer.info == nullptr) {
    err = "cannot start the PNG encoder";
    return false;
  }
  if (!WriteRows(writer, surface.width, surface.height, rows)) {
    err = "cannot write " + path + ": " + err;
    return false;
  }
  if (std::fflush(writer.file) != 0 || std::ferror(writer.file)) {
    err = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace sim
