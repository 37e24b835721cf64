// SPDX-License-Identifier: LGPL-2.1-or-later
// In-memory JPEG compression with libjpeg (6.2 interface).
//
// libjpeg reports errors through the shared error manager (kovkit/jpeg_error.h),
// which prints the message and jumps back to compress_image with longjmp.
// compress_image therefore holds only plain data (no object with a
// destructor) between setjmp and the end of the compression.
#include "compress.h"

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

#include <kovkit/jpeg_error.h>
#include <kovkit/pixel.h>

namespace kov::jpeg_encode {
namespace {

enum class Input { rgb, gray, bgra };

// Jump value of an exhausted output buffer (a library error jumps with
// kov::jpeg::kLibraryError).
constexpr int kBufferFull = 2;

void on_init_destination(j_compress_ptr) {}
void on_term_destination(j_compress_ptr) {}

// Reached when free_in_buffer has dropped to 0. The buffer cannot grow, so
// the frame is abandoned here before the library writes another byte.
boolean on_jpeg_buffer_full(j_compress_ptr cinfo) {
  fputs("Error: JPEG compressor ran out of buffer space\n", stderr);
  kov::jpeg::jump(reinterpret_cast<j_common_ptr>(cinfo), kBufferFull);
}

int compress_image(Input input, const uint8_t *pixels, int width, int height, ptrdiff_t stride,
                   uint8_t *out, size_t *size, int quality) {
  jpeg_compress_struct cinfo;
  kov::jpeg::ErrorManager jerr;
  jpeg_destination_mgr dest;
  const size_t initial_free = *size;

  cinfo.err = kov::jpeg::init_error_manager(&jerr, "");  // the message alone
  if (setjmp(jerr.jump) != 0) {
    jpeg_destroy_compress(&cinfo);
    *size = 0;
    return -1;
  }
  jpeg_create_compress(&cinfo);

  dest.next_output_byte = out;
  dest.free_in_buffer = initial_free;
  dest.init_destination = on_init_destination;
  dest.empty_output_buffer = on_jpeg_buffer_full;
  dest.term_destination = on_term_destination;
  cinfo.dest = &dest;

  cinfo.image_width = static_cast<JDIMENSION>(width < 0 ? 0 : width);
  cinfo.image_height = static_cast<JDIMENSION>(height < 0 ? 0 : height);
  cinfo.input_components = input == Input::gray ? 1 : 3;
  cinfo.in_color_space = input == Input::gray ? JCS_GRAYSCALE : JCS_RGB;

  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, quality, TRUE);
  jpeg_start_compress(&cinfo, TRUE);

  // One scratch row for converted BGRA rows, from the library's per-image
  // pool: it is released by jpeg_destroy_compress on every path, including
  // the jump back from an error. 16 extra bytes leave room to align it.
  uint8_t *scratch = nullptr;
  if (input == Input::bgra) {
    auto *raw = static_cast<uint8_t *>((*cinfo.mem->alloc_small)(
        reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE, 3 * size_t(cinfo.image_width) + 16));
    scratch = reinterpret_cast<uint8_t *>((reinterpret_cast<uintptr_t>(raw) + 15) & ~uintptr_t(15));
  }

  if (input == Input::bgra) {
    while (cinfo.next_scanline < cinfo.image_height) {
      const uint8_t *row = pixels + ptrdiff_t(cinfo.next_scanline) * stride;
      kov_pixel_convert_8u_bgra_to_8u_rgb(scratch, 0, width, 1, row, 0);
      JSAMPROW rows[1] = {scratch};
      jpeg_write_scanlines(&cinfo, rows, 1);
    }
  } else {
    // Every row at once (the library only reads input rows): one call per
    // image instead of one per row.
    auto rows = static_cast<JSAMPARRAY>((*cinfo.mem->alloc_small)(
        reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE,
        sizeof(JSAMPROW) * size_t(cinfo.image_height)));
    for (JDIMENSION y = 0; y < cinfo.image_height; ++y)
      rows[y] = const_cast<JSAMPROW>(pixels + ptrdiff_t(y) * stride);
    while (cinfo.next_scanline < cinfo.image_height)
      jpeg_write_scanlines(&cinfo, rows + cinfo.next_scanline,
                           cinfo.image_height - cinfo.next_scanline);
  }

  jpeg_finish_compress(&cinfo);
  *size = initial_free - dest.free_in_buffer;
  jpeg_destroy_compress(&cinfo);
  return 0;
}

}  // namespace

int compress_rgb(const uint8_t *pixels, int width, int height, ptrdiff_t stride, uint8_t *out,
                 size_t *size, int quality) {
  return compress_image(Input::rgb, pixels, width, height, stride, out, size, quality);
}

int compress_gray(const uint8_t *pixels, int width, int height, ptrdiff_t stride, uint8_t *out,
                  size_t *size, int quality) {
  return compress_image(Input::gray, pixels, width, height, stride, out, size, quality);
}

int compress_bgra(const uint8_t *pixels, int width, int height, ptrdiff_t stride, uint8_t *out,
                  size_t *size, int quality) {
  return compress_image(Input::bgra, pixels, width, height, stride, out, size, quality);
}

}  // namespace kov::jpeg_encode
