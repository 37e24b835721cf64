/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Readers of input.file: one per kind of file, chosen from the first file's
// extension when the location is set or the stream starts.
//   .png          RGB3 frames (GREY for grey files)
//   .jpg, .jpeg   one MJPG frame per file (size from the JPEG header)
//   .mjpg, .mjpeg Motion-JPEG: concatenated JPEG images, one frame each
//   anything else raw frames of the raw settings' format and size, one after
//                 the other in each file
#ifndef KOVKIT_UNITS_FILE_READERS_H
#define KOVKIT_UNITS_FILE_READERS_H

#include <memory>
#include <string>
#include <vector>

#include <kovkit/kovkit.h>

namespace kov::units {

// The frame format a file gives.
struct FrameGeometry {
  guint32 code = 0;
  gint width = 0;
  gint height = 0;
  gint stride = 0;
};

// One frame: a whole file, or a part of one.
struct FrameItem {
  std::string path;
  guint64 offset;  // files may be larger than the address space
  gsize length;  // 0: the whole file
};

// What raw files hold: the unit's raw-format, raw-width and raw-height.
struct RawSettings {
  std::string format;
  gint width;
  gint height;
};

class FrameReader {
 public:
  virtual ~FrameReader() = default;
  // The format of the first file; FALSE with the reason when it gives none.
  virtual bool probe(const std::string &path, FrameGeometry *geometry, GError **error) = 0;
  // Splits the files into frames. A first file that cannot be read is an
  // error; later ones are skipped with a message.
  virtual bool index(const std::vector<std::string> &files, const KovUnitFormat *format,
                     std::vector<FrameItem> *items, GError **error) = 0;
  // Reads one frame (timestamp not set); NULL with the reason.
  virtual KovFrameBuffer *read(const FrameItem &item, const KovUnitFormat *format,
                               GError **error) = 0;
  // TRUE for readers whose frames are whole image files: the first file is
  // probed again when the stream starts, since it may have changed.
  virtual bool reprobe_at_start() const { return false; }
};

// The reader for files named like @path.
std::unique_ptr<FrameReader> frame_reader_for(const std::string &path, const RawSettings &raw);

}  // namespace kov::units

#endif
