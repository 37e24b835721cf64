/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Frames between kovkit and GStreamer: which kovkit pixel format is which
// GStreamer caps, and frames that show a GstBuffer's memory (and buffers that
// show a frame's) without copying pixels.
//
// Layouts. GStreamer pads rows (an RGB row of width 7 takes 24 bytes, a
// Bayer row is rounded up to 4 bytes) unless a GstVideoMeta on the buffer
// says otherwise; frames made here carry GStreamer's stride. kovkit's I420
// is the luma plane followed by the two chroma planes with half the luma
// stride; where GStreamer's planes lie elsewhere, the picture is repacked
// once instead of wrapped.
#ifndef KOVKIT_GST_BRIDGE_H
#define KOVKIT_GST_BRIDGE_H

#include <gst/gst.h>
#include <gst/video/video.h>
#include <kovkit/kovkit.h>

#include <cstddef>
#include <span>

namespace kov::gst {

// One row of the format table.
struct FormatMapping {
  guint32 code;          // kovkit pixel format
  const char *media;     // "video/x-raw", "video/x-bayer" or "image/jpeg"
  const char *format;    // the caps' format field; nullptr for image/jpeg
  GstVideoFormat video;  // for video/x-raw, else GST_VIDEO_FORMAT_UNKNOWN
};

// Every mapping, in the order formats are preferred. BGR4 appears twice
// (BGRx, then BGRA): both are taken in, BGRx is what goes out.
std::span<const FormatMapping> format_table();

// The mapping of a kovkit code (the first, for BGR4), or nullptr.
const FormatMapping *mapping_for_code(guint32 code);
// The kovkit code of a caps structure ("video/x-raw, format=RGB" -> RGB3),
// or 0 when the structure is not a mapped format or has no fixed format.
guint32 code_for_structure(const GstStructure *structure);

// Caps for any size and frame rate of the given codes, in their order;
// unknown codes are skipped. An empty list gives empty caps.
GstCaps *caps_for_codes(std::span<const guint32> codes);
// Fixed caps for one kovkit format (its code, width and height), with the
// given frame rate (0/1: variable). nullptr when the code is not mapped.
GstCaps *caps_for_format(const KovUnitFormat *format, gint fps_n = 0, gint fps_d = 1);

// The layout of the buffers of one negotiated caps, worked out once per caps
// change instead of once per buffer.
struct VideoLayout {
  guint32 code = 0;  // 0 when the caps are not a mapped format
  gint width = 0;
  gint height = 0;
  GstVideoInfo info{};      // video/x-raw only: GStreamer's default layout
  gint bayer_stride = 0;    // video/x-bayer: rows rounded up to 4 bytes
};

// FALSE when @caps are not fixed, not mapped, or give no positive size.
gboolean layout_from_caps(const GstCaps *caps, VideoLayout *layout);

// The row stride of frames made from @buffer by frame_from_buffer: the
// buffer's own (its GstVideoMeta, else GStreamer's default), or kovkit's
// smallest stride when the buffer has to be repacked. 0 for image/jpeg.
gint frame_row_stride(const VideoLayout &layout, GstBuffer *buffer);

// A new format (code, size, the stride frame_row_stride gives) for frames
// made from @buffer under @layout.
KovUnitFormat *format_for_buffer(const VideoLayout &layout, GstBuffer *buffer);

// A frame showing @buffer's picture. It keeps the buffer mapped and
// referenced until the frame is finalized, so no pixel is copied, except
// for an I420 picture whose planes do not lie where kovkit expects them,
// which is repacked into a frame of its own. The frame's timestamp is 0 and
// its bytesused the picture's size. nullptr, with @error set, when the buffer
// cannot be mapped or is too small for the picture the caps describe (a
// stream that stopped mid-frame).
KovFrameBuffer *frame_from_buffer(const VideoLayout &layout, GstBuffer *buffer,
                                  GError **error);

// Whether the element after @pad reads GstVideoMeta, so that buffers going
// out may carry strides and plane offsets of their own (asks the peer with
// an allocation query for @caps).
gboolean peer_reads_video_meta(GstPad *pad, GstCaps *caps);

// A buffer showing @frame's picture, holding a reference to the frame until
// GStreamer frees the buffer; raw video carries a GstVideoMeta with the
// frame's strides and plane offsets. When the frame's layout differs from
// GStreamer's default one and @meta_readable is FALSE (or the format is a
// Bayer mosaic, which has no such meta), the picture is copied once into
// GStreamer's default layout. nullptr when the format is not mapped or the
// frame is smaller than its format says.
GstBuffer *buffer_from_frame(KovFrameBuffer *frame, const KovUnitFormat *format,
                             gboolean meta_readable);

}  // namespace kov::gst

#endif
