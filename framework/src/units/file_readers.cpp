// SPDX-License-Identifier: LGPL-2.1-or-later
// The readers of input.file, one per kind of file.
#include "units/file_readers.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <glib/gstdio.h>

#include <kovkit/imageio.h>

#include "units/builtin_units.h"

namespace kov::units {

namespace {

bool read_whole_file(const std::string &path, gchar **contents, gsize *length, GError **error) {
  GError *local = nullptr;
  if (g_file_get_contents(path.c_str(), contents, length, &local)) return true;
  g_set_error(error, KOV_ERROR, KOV_ERROR_IO, "cannot read \"%s\": %s", path.c_str(),
              local->message);
  g_error_free(local);
  return false;
}

GMappedFile *map_file(const std::string &path, GError **error) {
  GError *local = nullptr;
  GMappedFile *map = g_mapped_file_new(path.c_str(), FALSE, &local);
  if (map == nullptr) {
    g_set_error(error, KOV_ERROR, KOV_ERROR_IO, "cannot read \"%s\": %s", path.c_str(),
                local->message);
    g_error_free(local);
  }
  return map;
}

bool first_file_exists(const std::vector<std::string> &files, GError **error) {
  if (g_file_test(files.front().c_str(), G_FILE_TEST_IS_REGULAR)) return true;
  g_set_error(error, KOV_ERROR, KOV_ERROR_IO, "cannot open \"%s\": no such file",
              files.front().c_str());
  return false;
}

// The MJPG format of a file that starts with a whole JPEG image.
bool probe_jpeg(const std::string &path, FrameGeometry *g, GError **error) {
  GMappedFile *map = map_file(path, error);
  if (map == nullptr) return false;
  auto *data = reinterpret_cast<const guint8 *>(g_mapped_file_get_contents(map));
  bool ok = kov_jpeg_parse(data, g_mapped_file_get_length(map), &g->width, &g->height, nullptr);
  g_mapped_file_unref(map);
  if (!ok) {
    g_set_error(error, KOV_ERROR, KOV_ERROR_IO, "\"%s\" does not start with a whole JPEG image",
                path.c_str());
    return false;
  }
  g->code = KOV_PIX_FMT_MJPG;
  g->stride = 0;
  return true;
}

// A frame holding a copy of one JPEG image of the stream's size.
KovFrameBuffer *jpeg_frame(const std::string &path, const guint8 *bytes, gsize length,
                           const KovUnitFormat *fmt, GError **error) {
  gint w = 0, h = 0;
  gsize image = 0;
  KovFrameBuffer *frame = nullptr;
  if (!kov_jpeg_parse(bytes, length, &w, &h, &image)) {
    g_set_error(error, KOV_ERROR, KOV_ERROR_IO, "\"%s\" is not a whole JPEG image", path.c_str());
  } else if (w != fmt->width || h != fmt->height) {
    g_set_error(error, KOV_ERROR, KOV_ERROR_IO, "\"%s\" is %dx%d, the stream is %dx%d",
                path.c_str(), w, h, fmt->width, fmt->height);
  } else if ((frame = kov_framebuffer_new_alloc(image)) == nullptr) {
    g_set_error(error, KOV_ERROR, KOV_ERROR_IO, "out of memory reading \"%s\"", path.c_str());
  } else {
    memcpy(frame->data, bytes, image);
    frame->bytesused = image;
  }
  return frame;
}

// Readers whose every file is one frame.
class WholeFileReader : public FrameReader {
 public:
  bool index(const std::vector<std::string> &files, const KovUnitFormat *,
             std::vector<FrameItem> *items, GError **error) override {
    if (!first_file_exists(files, error)) return false;
    for (const std::string &path : files) items->push_back({path, 0, 0});
    return true;
  }

  bool reprobe_at_start() const override { return true; }
};

class PngReader : public WholeFileReader {
 public:
  bool probe(const std::string &path, FrameGeometry *g, GError **error) override {
    KovImageInfo info;
    if (!kov_image_read_png_info(path.c_str(), &info, error)) return false;
    g->code = info.pixelformat;
    g->width = info.width;
    g->height = info.height;
    g->stride = kov_pixel_format_min_row_stride(info.pixelformat, info.width);
    return true;
  }

  KovFrameBuffer *read(const FrameItem &item, const KovUnitFormat *fmt, GError **error) override {
    gsize size = static_cast<gsize>(fmt->row_stride) * fmt->height;
    KovFrameBuffer *frame = kov_framebuffer_new_alloc(size);
    if (frame == nullptr) {
      g_set_error(error, KOV_ERROR, KOV_ERROR_IO, "out of memory reading \"%s\"", item.path.c_str());
      return nullptr;
    }
    KovImageInfo expect = {fmt->pixelformat, fmt->width, fmt->height};
    if (!kov_image_read_png(item.path.c_str(), &expect, frame->data, fmt->row_stride, error)) {
      g_object_unref(frame);
      return nullptr;
    }
    frame->bytesused = size;
    return frame;
  }
};

class JpegReader : public WholeFileReader {
 public:
  bool probe(const std::string &path, FrameGeometry *g, GError **error) override {
    return probe_jpeg(path, g, error);
  }

  KovFrameBuffer *read(const FrameItem &item, const KovUnitFormat *fmt, GError **error) override {
    gchar *contents = nullptr;
    gsize length = 0;
    if (!read_whole_file(item.path, &contents, &length, error)) return nullptr;
    KovFrameBuffer *frame =
        jpeg_frame(item.path, reinterpret_cast<const guint8 *>(contents), length, fmt, error);
    g_free(contents);
    return frame;
  }
};

// Motion-JPEG files stay mapped while their frames are read.
class MjpgReader : public FrameReader {
 public:
  ~MjpgReader() override {
    if (map_ != nullptr) g_mapped_file_unref(map_);
  }

  bool probe(const std::string &path, FrameGeometry *g, GError **error) override {
    return probe_jpeg(path, g, error);
  }

  bool index(const std::vector<std::string> &files, const KovUnitFormat *,
             std::vector<FrameItem> *items, GError **error) override {
    for (std::size_t i = 0; i < files.size(); i++) {
      const std::string &path = files[i];
      GError *local = nullptr;
      GMappedFile *map = map_file(path, &local);
      if (map == nullptr) {
        if (i == 0) {
          g_propagate_error(error, local);
          return false;
        }
        g_printerr("input.file: %s; skipped\n", local->message);
        g_error_free(local);
        continue;
      }
      auto *data = reinterpret_cast<const guint8 *>(g_mapped_file_get_contents(map));
      gsize length = g_mapped_file_get_length(map);
      gsize pos = 0;
      while (pos + 1 < length) {
        if (data[pos] != 0xFF || data[pos + 1] != 0xD8) {
          pos++;  // bytes between images
          continue;
        }
        gsize image = 0;
        if (!kov_jpeg_parse(data + pos, length - pos, nullptr, nullptr, &image)) {
          g_printerr("input.file: \"%s\" holds an incomplete JPEG image at byte %" G_GSIZE_FORMAT
                     "; the rest of the file is ignored\n",
                     path.c_str(), pos);
          break;
        }
        items->push_back({path, pos, image});
        pos += image;
      }
      g_mapped_file_unref(map);
    }
    return true;
  }

  KovFrameBuffer *read(const FrameItem &item, const KovUnitFormat *fmt, GError **error) override {
    if (map_ == nullptr || map_path_ != item.path) {
      if (map_ != nullptr) g_mapped_file_unref(map_);
      map_ = map_file(item.path, error);
      map_path_ = item.path;
      if (map_ == nullptr) return nullptr;
    }
    if (item.offset + item.length > g_mapped_file_get_length(map_)) {
      g_set_error(error, KOV_ERROR, KOV_ERROR_IO, "\"%s\" became shorter while reading",
                  item.path.c_str());
      return nullptr;
    }
    auto *bytes = reinterpret_cast<const guint8 *>(g_mapped_file_get_contents(map_)) + item.offset;
    return jpeg_frame(item.path, bytes, item.length, fmt, error);
  }

 private:
  GMappedFile *map_ = nullptr;  // the file being read
  std::string map_path_;
};

class RawReader : public FrameReader {
 public:
  explicit RawReader(RawSettings raw) : raw_(std::move(raw)) {}

  bool probe(const std::string &path, FrameGeometry *g, GError **error) override {
    g->code = kov_pixel_format_from_string(raw_.format.c_str());
    g->width = raw_.width;
    g->height = raw_.height;
    g->stride = kov_pixel_format_min_row_stride(g->code, g->width);
    if (g->stride == 0) {
      g_set_error(error, KOV_ERROR, KOV_ERROR_IO,
                  "\"%s\": raw-format \"%s\" is not a raw pixel format", path.c_str(),
                  raw_.format.c_str());
      return false;
    }
    if (!g_file_test(path.c_str(), G_FILE_TEST_IS_REGULAR)) {
      g_set_error(error, KOV_ERROR, KOV_ERROR_IO, "cannot open \"%s\": no such file",
                  path.c_str());
      return false;
    }
    return true;
  }

  bool index(const std::vector<std::string> &files, const KovUnitFormat *fmt,
             std::vector<FrameItem> *items, GError **error) override {
    const gsize raw_size =
        kov_pixel_format_frame_size(fmt->pixelformat, fmt->width, fmt->height, fmt->row_stride);
    for (std::size_t i = 0; i < files.size(); i++) {
      const std::string &path = files[i];
      GStatBuf st;
      if (g_stat(path.c_str(), &st) != 0) {
        int e = errno;
        if (i == 0) {
          g_set_error(error, KOV_ERROR, KOV_ERROR_IO, "cannot open \"%s\": %s", path.c_str(),
                      g_strerror(e));
          return false;
        }
        g_printerr("input.file: cannot open \"%s\": %s; skipped\n", path.c_str(), g_strerror(e));
        continue;
      }
      const guint64 size = static_cast<guint64>(st.st_size);
      if (raw_size == 0) break;
      if (size % raw_size != 0)
        g_printerr("input.file: \"%s\" ends with %" G_GUINT64_FORMAT
                   " bytes that do not make a whole frame; they are ignored\n",
                   path.c_str(), size % raw_size);
      for (guint64 off = 0; off + raw_size <= size; off += raw_size)
        items->push_back({path, off, raw_size});
    }
    return true;
  }

  KovFrameBuffer *read(const FrameItem &item, const KovUnitFormat *, GError **error) override {
    FILE *f = g_fopen(item.path.c_str(), "rb");
    KovFrameBuffer *frame = f != nullptr ? kov_framebuffer_new_alloc(item.length) : nullptr;
    bool ok = frame != nullptr && fseeko(f, static_cast<off_t>(item.offset), SEEK_SET) == 0 &&
              fread(frame->data, 1, item.length, f) == item.length;
    int e = errno;
    if (f != nullptr) fclose(f);
    if (!ok) {
      g_set_error(error, KOV_ERROR, KOV_ERROR_IO, "cannot read \"%s\": %s", item.path.c_str(),
                  f == nullptr ? g_strerror(e) : "file is shorter than expected");
      if (frame != nullptr) g_object_unref(frame);
      return nullptr;
    }
    frame->bytesused = item.length;
    return frame;
  }

 private:
  RawSettings raw_;
};

}  // namespace

std::unique_ptr<FrameReader> frame_reader_for(const std::string &path, const RawSettings &raw) {
  gchar *lower = g_ascii_strdown(path.c_str(), -1);
  std::unique_ptr<FrameReader> reader;
  if (g_str_has_suffix(lower, ".png"))
    reader = std::make_unique<PngReader>();
  else if (g_str_has_suffix(lower, ".jpg") || g_str_has_suffix(lower, ".jpeg"))
    reader = std::make_unique<JpegReader>();
  else if (g_str_has_suffix(lower, ".mjpg") || g_str_has_suffix(lower, ".mjpeg"))
    reader = std::make_unique<MjpgReader>();
  else
    reader = std::make_unique<RawReader>(raw);
  g_free(lower);
  return reader;
}

}  // namespace kov::units
