// SPDX-License-Identifier: LGPL-2.1-or-later
// convert.jpeg_decompress: decodes Motion-JPEG frames (MJPG) into RGB3 or
// GREY frames of the same size with libjpeg.
//
// Frames from cameras that leave out the Huffman tables (the "AVI1" Motion-
// JPEG convention) get the standard tables. The decoder reads only the
// frame's own bytes, refuses images whose size differs from the stream's
// before the library allocates for them, and bounds the work spent on
// progressive images. The unit produces a frame for every input frame; when
// decoding failed it holds the previous picture. Output frames come from a
// pool made per stream: when nobody keeps frames it gives back the same frame
// every time.
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <jpeglib.h>
#include <jerror.h>

#include <kovkit/jpeg_error.h>
#include <kovkit/plugin_frame.h>

namespace {

struct KovJpegDecode {
  KovUnit parent;
  KovFramePool *out_pool;
  GWeakRef last_frame;  // the frame produced last, while anyone holds it
};

using kov::plugin::cast;

// Standard Huffman tables: a leading 0, the number of codes of each length
// 1 to 16, then the symbol values.
const UINT8 kLuminanceDcCounts[17] = {0, 0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
const UINT8 kLuminanceDcValues[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
const UINT8 kChrominanceDcCounts[17] = {0, 0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0};
const UINT8 kChrominanceDcValues[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
const UINT8 kLuminanceAcCounts[17] = {0, 0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d};
const UINT8 kLuminanceAcValues[] = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61,
    0x07, 0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52,
    0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25,
    0x26, 0x27, 0x28, 0x29, 0x2a, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45,
    0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64,
    0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83,
    0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99,
    0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6,
    0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3,
    0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8,
    0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};
const UINT8 kChrominanceAcCounts[17] = {0, 0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77};
const UINT8 kChrominanceAcValues[] = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61,
    0x71, 0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33,
    0x52, 0xf0, 0x15, 0x62, 0x72, 0xd1, 0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18,
    0x19, 0x1a, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44,
    0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63,
    0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a,
    0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97,
    0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4,
    0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca,
    0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7,
    0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};

// A progressive image is refused once it starts its 101st scan, so that a
// frame cannot make the decoder work without bound.
constexpr int kMaxScans = 100;

// Message of our own, added to the library's message table.
constexpr int kTooManyScansCode = 1000;
const char *const kAddonMessages[] = {"JPEG image has more than %d scans", nullptr};

// Printed before the library's message when decoding fails.
constexpr const char *kFatalPrefix = "JPEG decoding error (jpeg_decode:179) - ";

void on_progress(j_common_ptr cinfo) {
  auto *dinfo = reinterpret_cast<j_decompress_ptr>(cinfo);
  if (dinfo->input_scan_number > kMaxScans) {
    cinfo->err->msg_code = kTooManyScansCode;
    cinfo->err->msg_parm.i[0] = kMaxScans;
    (*cinfo->err->error_exit)(cinfo);
  }
}

// Source manager over one frame in memory: the whole frame is handed over at
// once, and the library never gets a byte beyond it.
void on_init_source(j_decompress_ptr) {}
void on_term_source(j_decompress_ptr) {}

// The library wants more bytes than the frame holds: the frame is truncated.
// Supplying an end-of-image marker lets the library warn and finish the
// image with what it has.
boolean on_fill_input_buffer(j_decompress_ptr cinfo) {
  static const JOCTET kEndOfImage[2] = {0xFF, JPEG_EOI};
  WARNMS(cinfo, JWRN_JPEG_EOF);
  cinfo->src->next_input_byte = kEndOfImage;
  cinfo->src->bytes_in_buffer = sizeof kEndOfImage;
  return TRUE;
}

// A skip past the end of the frame stops at the end; the next read then gets
// the end-of-image marker.
void on_skip_input_data(j_decompress_ptr cinfo, long num_bytes) {
  if (num_bytes <= 0) return;
  jpeg_source_mgr *src = cinfo->src;
  const size_t skip = size_t(num_bytes) < src->bytes_in_buffer ? size_t(num_bytes)
                                                               : src->bytes_in_buffer;
  src->next_input_byte += skip;
  src->bytes_in_buffer -= skip;
}

void insert_std_huff_table(j_decompress_ptr cinfo, JHUFF_TBL **slot, const UINT8 counts[17],
                           const UINT8 *values) {
  if (*slot == nullptr) *slot = jpeg_alloc_huff_table(reinterpret_cast<j_common_ptr>(cinfo));
  memcpy((*slot)->bits, counts, 17);
  int symbols = 0;
  for (int length = 1; length <= 16; ++length) symbols += counts[length];
  memcpy((*slot)->huffval, values, size_t(symbols));
  (*slot)->sent_table = FALSE;
}

// Decodes one JPEG image of exactly width x height into out (rows at
// out_stride). Returns 0 when the whole image was decoded, -1 on a library
// error or a size mismatch; out then holds what was decoded before the
// failure. Only plain data lives here: the error exit jumps back into it.
int decompress_frame(const uint8_t *jpeg, size_t jpeg_length, uint8_t *out, int width,
                     int height, ptrdiff_t out_stride, J_COLOR_SPACE color_space) {
  jpeg_decompress_struct cinfo;
  kov::jpeg::ErrorManager jerr;
  jpeg_source_mgr src;
  jpeg_progress_mgr progress;

  cinfo.err = kov::jpeg::init_error_manager(&jerr, kFatalPrefix);
  jerr.pub.addon_message_table = kAddonMessages;
  jerr.pub.first_addon_message = kTooManyScansCode;
  jerr.pub.last_addon_message = kTooManyScansCode;
  if (setjmp(jerr.jump) != 0) {
    jpeg_destroy_decompress(&cinfo);
    return -1;
  }
  jpeg_create_decompress(&cinfo);

  src.next_input_byte = jpeg;
  src.bytes_in_buffer = jpeg_length;
  src.init_source = on_init_source;
  src.fill_input_buffer = on_fill_input_buffer;
  src.skip_input_data = on_skip_input_data;
  src.resync_to_restart = jpeg_resync_to_restart;
  src.term_source = on_term_source;
  cinfo.src = &src;
  progress.progress_monitor = on_progress;
  cinfo.progress = &progress;

  jpeg_read_header(&cinfo, TRUE);
  cinfo.out_color_space = color_space;

  // Refuse a size other than the stream's before the library allocates for
  // the image (a corrupt header may claim up to 65535x65535).
  if (cinfo.image_width != JDIMENSION(width) || cinfo.image_height != JDIMENSION(height)) {
    fprintf(stderr, "Error: Buffer was %dx%d but JPEG image is %dx%d\n", width, height,
            int(cinfo.image_width), int(cinfo.image_height));
    jpeg_destroy_decompress(&cinfo);
    return -1;
  }

  if (cinfo.dc_huff_tbl_ptrs[0] == nullptr && cinfo.dc_huff_tbl_ptrs[1] == nullptr &&
      cinfo.ac_huff_tbl_ptrs[0] == nullptr && cinfo.ac_huff_tbl_ptrs[1] == nullptr) {
    insert_std_huff_table(&cinfo, &cinfo.dc_huff_tbl_ptrs[0], kLuminanceDcCounts,
                          kLuminanceDcValues);
    insert_std_huff_table(&cinfo, &cinfo.ac_huff_tbl_ptrs[0], kLuminanceAcCounts,
                          kLuminanceAcValues);
    insert_std_huff_table(&cinfo, &cinfo.dc_huff_tbl_ptrs[1], kChrominanceDcCounts,
                          kChrominanceDcValues);
    insert_std_huff_table(&cinfo, &cinfo.ac_huff_tbl_ptrs[1], kChrominanceAcCounts,
                          kChrominanceAcValues);
  }

  jpeg_start_decompress(&cinfo);
  if (cinfo.output_height != JDIMENSION(height) || cinfo.output_width != JDIMENSION(width)) {
    fprintf(stderr, "Error: Buffer was %dx%d but JPEG image is %dx%d\n", width, height,
            int(cinfo.output_width), int(cinfo.output_height));
    jpeg_destroy_decompress(&cinfo);
    return -1;
  }

  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW rows[1] = {out + ptrdiff_t(cinfo.output_scanline) * out_stride};
    jpeg_read_scanlines(&cinfo, rows, 1);
  }

  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return 0;
}

void on_input_format_changed(KovUnit *unit, KovUnitFormat *format, gpointer) {
  kov_unit_remove_all_output_formats(unit);
  if (format == nullptr || format->pixelformat != KOV_PIX_FMT_MJPG) return;
  kov_unit_add_output_format(unit, KOV_PIX_FMT_RGB3, nullptr, format->width, format->height,
                             kov_pixel_format_min_row_stride(KOV_PIX_FMT_RGB3, format->width));
  kov_unit_add_output_format(unit, KOV_PIX_FMT_GREY, nullptr, format->width, format->height,
                             kov_pixel_format_min_row_stride(KOV_PIX_FMT_GREY, format->width));
}

void release_out_pool(KovJpegDecode *self) {
  g_weak_ref_set(&self->last_frame, nullptr);
  kov_frame_pool_free(self->out_pool);
  self->out_pool = nullptr;
}

// After a failed decode into @out: @out shows the previous picture of the
// stream (black when there is none). The pool gives back the frame produced
// last when nobody else holds it, and that frame holds the picture already.
void keep_previous_picture(KovJpegDecode *self, KovFrameBuffer *out, gsize size) {
  auto *previous = static_cast<KovFrameBuffer *>(g_weak_ref_get(&self->last_frame));
  if (previous != out) {
    if (previous != nullptr && previous->data != nullptr && previous->length >= size)
      std::memcpy(out->data, previous->data, size);
    else
      std::memset(out->data, 0, size);
  }
  if (previous != nullptr) g_object_unref(previous);
}

gint jpeg_decode_stream_init(KovUnit *unit, KovUnitFormat *format) {
  auto *self = cast<KovJpegDecode>(unit);
  release_out_pool(self);
  gsize bytes = 0;
  if (format == nullptr || format->width <= 0 || format->height <= 0 ||
      !g_size_checked_mul(&bytes, gsize(format->width), gsize(format->height)) ||
      !g_size_checked_mul(&bytes, bytes, 4))
    return -1;
  self->out_pool = kov_frame_pool_new(bytes, KOV_FRAME_POOL_DEFAULT_FRAMES);
  // The first frame is made now: a stream that starts has its memory.
  KovFrameBuffer *first =
      self->out_pool != nullptr ? kov_frame_pool_acquire(self->out_pool) : nullptr;
  if (first == nullptr) {
    release_out_pool(self);
    return -1;
  }
  g_object_unref(first);
  return 0;
}

gint jpeg_decode_stream_shutdown(KovUnit *unit) {
  release_out_pool(cast<KovJpegDecode>(unit));
  return 0;
}

void jpeg_decode_input_frame_ready(KovUnit *unit, KovFrameBuffer *frame, KovUnitFormat *format) {
  auto *self = cast<KovJpegDecode>(unit);
  KovUnitFormat *out_format = kov_unit_get_output_format(unit);
  if (self->out_pool == nullptr || out_format == nullptr) return;  // not streaming

  J_COLOR_SPACE color_space;
  int components;
  if (out_format->pixelformat == KOV_PIX_FMT_RGB3) {
    color_space = JCS_RGB;
    components = 3;
  } else if (out_format->pixelformat == KOV_PIX_FMT_GREY) {
    color_space = JCS_GRAYSCALE;
    components = 1;
  } else {
    g_log(nullptr, G_LOG_LEVEL_WARNING, "invalid output pixel format");
    return;
  }

  // The rows written must fit the stream's buffer; an input format that no
  // longer matches the stream's cannot be decoded into it.
  const int width = format->width;
  const int height = format->height;
  const gsize stride = gsize(out_format->row_stride > 0 ? out_format->row_stride : 0);
  if (width <= 0 || height <= 0 || stride < gsize(width) * components ||
      stride * gsize(height) > kov_frame_pool_get_frame_size(self->out_pool))
    return;
  KovFrameBuffer *out = kov_frame_pool_acquire(self->out_pool);
  if (out == nullptr) return;  // out of memory

  const gsize jpeg_length = frame->bytesused < frame->length ? frame->bytesused : frame->length;
  if (decompress_frame(frame->data, frame->data != nullptr ? jpeg_length : 0, out->data, width,
                       height, ptrdiff_t(stride), color_space) != 0)
    keep_previous_picture(self, out, gsize(height) * stride);

  out->bytesused = gsize(height) * stride;
  kov_framebuffer_copy_metadata(out, frame);
  g_weak_ref_set(&self->last_frame, out);
  kov_unit_produce_frame(unit, out, out_format);
  g_object_unref(out);
}

void jpeg_decode_finalize(GObject *object) {
  auto *self = reinterpret_cast<KovJpegDecode *>(object);
  release_out_pool(self);
  g_weak_ref_clear(&self->last_frame);
  kov::plugin::parent_class<KovJpegDecode>()->finalize(object);
}

void jpeg_decode_class_init(KovUnitClass *klass) {
  G_OBJECT_CLASS(klass)->finalize = jpeg_decode_finalize;
  klass->stream_init = jpeg_decode_stream_init;
  klass->stream_shutdown = jpeg_decode_stream_shutdown;
  klass->input_frame_ready = jpeg_decode_input_frame_ready;
}

void jpeg_decode_init(KovJpegDecode *self) {
  g_weak_ref_init(&self->last_frame, nullptr);
  g_signal_connect_data(self, "input-format-changed", G_CALLBACK(on_input_format_changed),
                        nullptr, nullptr, GConnectFlags(0));
}

}  // namespace

KOV_PLUGIN_STOCK_UNIT(KovJpegDecode, kov_jpeg_decode_get_type, "KovJpegDecode",
                      jpeg_decode_class_init, jpeg_decode_init, "convert", "jpeg_decompress",
                      "JPEG Decompress", 0)
