/* SPDX-License-Identifier: LGPL-2.1-or-later */
// In-memory JPEG compression of RGB, grey and BGRA images with libjpeg.
//
// Each routine writes one complete baseline JPEG image (with its tables) into
// the output bytes. *size holds the space available on entry and the number
// of bytes written on return. When the library raises an error, its message
// is printed on standard error; when the image does not fit, "Error: JPEG
// compressor ran out of buffer space\n" is printed. In both cases the routine
// returns -1, nothing is written past the output space and the output bytes
// do not hold a usable image.
#ifndef KOV_JPEG_ENCODE_COMPRESS_H
#define KOV_JPEG_ENCODE_COMPRESS_H

#include <cstddef>
#include <cstdint>

namespace kov::jpeg_encode {

int compress_rgb(const uint8_t *pixels, int width, int height, ptrdiff_t stride, uint8_t *out,
                 size_t *size, int quality);
int compress_gray(const uint8_t *pixels, int width, int height, ptrdiff_t stride, uint8_t *out,
                  size_t *size, int quality);
int compress_bgra(const uint8_t *pixels, int width, int height, ptrdiff_t stride, uint8_t *out,
                  size_t *size, int quality);

}  // namespace kov::jpeg_encode

#endif
