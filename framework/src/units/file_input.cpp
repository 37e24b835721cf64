// input.file: a source that reads frames from files, as fast as the chain
// takes them. "location" names one file, a numbered series ("out/%03d.png",
// counted from 0 or 1 up to the first gap) or a wildcard pattern in the file
// name ("shots/*.png", in name order). The file type comes from the
// extension:
//   .png          RGB3 frames (GREY for grey files)
//   .jpg, .jpeg   one MJPG frame per file (size from the JPEG header)
//   .mjpg, .mjpeg Motion-JPEG: concatenated JPEG images, one frame each
//   anything else raw frames of "raw-format", "raw-width" x "raw-height",
//                 one after the other in each file
// The output format is known as soon as "location" is set (from the first
// file). A file that cannot be read at stream_init is an error printed on
// standard error; one that fails later is skipped with a message. Without
// "loop" the unit stops after the last frame: next_frame_time becomes
// G_MAXINT64 and kov_file_input_at_end turns TRUE.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <glib/gstdio.h>

#include <kovkit/fileunits.h>
#include <kovkit/imageio.h>

#include "units/builtin_units.h"

namespace {

enum FileKind { KIND_PNG, KIND_JPEG, KIND_MJPG, KIND_RAW };

// One frame: a whole file, or a part of one.
struct Item {
  std::string path;
  gsize offset;
  gsize length;  // 0: the whole file
};

struct Source {
  FileKind kind = KIND_RAW;
  std::vector<std::string> files;
  std::vector<Item> items;
  GMappedFile *map = nullptr;  // the Motion-JPEG file being read
  std::string map_path;

  ~Source() {
    if (map != nullptr) g_mapped_file_unref(map);
  }
};

}  // namespace

struct KovFileInput {
  KovUnit parent;
  KovUnitControl *location_ctl;
  KovUnitControl *loop_ctl;
  KovUnitControl *raw_format_ctl;
  KovUnitControl *raw_width_ctl;
  KovUnitControl *raw_height_ctl;
  Source *source;         // files and frames of the current stream
  gsize next_item;
  guint produced_in_pass; // frames produced since the list last started over
  gboolean at_end;
  gint64 next_time;
  GError *error;          // why the location gives no frames
};

struct KovFileInputClass {
  KovUnitClass parent_class;
};

G_DEFINE_TYPE(KovFileInput, kov_file_input, KOV_TYPE_UNIT)

namespace {

FileKind kind_of(const std::string &path) {
  gchar *lower = g_ascii_strdown(path.c_str(), -1);
  FileKind kind = KIND_RAW;
  if (g_str_has_suffix(lower, ".png")) kind = KIND_PNG;
  else if (g_str_has_suffix(lower, ".jpg") || g_str_has_suffix(lower, ".jpeg")) kind = KIND_JPEG;
  else if (g_str_has_suffix(lower, ".mjpg") || g_str_has_suffix(lower, ".mjpeg")) kind = KIND_MJPG;
  g_free(lower);
  return kind;
}

bool is_wildcard(const gchar *location) {
  return strchr(location, '*') != nullptr || strchr(location, '?') != nullptr;
}

// The files the location names, in reading order.
bool resolve_files(const gchar *location, std::vector<std::string> *files, GError **error) {
  files->clear();
  if (location == nullptr || location[0] == '\0') {
    g_set_error(error, KOV_ERROR, KOV_ERROR_IO, "no \"location\" to read from");
    return false;
  }
  if (is_wildcard(location)) {
    gchar *dir = g_path_get_dirname(location);
    gchar *base = g_path_get_basename(location);
    bool ok = !is_wildcard(dir);
    if (!ok) {
      g_set_error(error, KOV_ERROR, KOV_ERROR_IO,
                  "\"%s\": wildcards are allowed in the file name only", location);
    } else {
      GError *local = nullptr;
      GDir *d = g_dir_open(dir, 0, &local);
      if (d == nullptr) {
        g_set_error(error, KOV_ERROR, KOV_ERROR_IO, "cannot open folder \"%s\": %s", dir,
                    local->message);
        g_error_free(local);
        ok = false;
      } else {
        GPatternSpec *glob = g_pattern_spec_new(base);
        std::vector<std::string> names;
        while (const gchar *name = g_dir_read_name(d))
          if (g_pattern_spec_match_string(glob, name)) names.emplace_back(name);
        g_pattern_spec_free(glob);
        g_dir_close(d);
        std::sort(names.begin(), names.end());
        for (const std::string &n : names) {
          gchar *p = g_build_filename(dir, n.c_str(), nullptr);
          if (g_file_test(p, G_FILE_TEST_IS_REGULAR)) files->emplace_back(p);
          g_free(p);
        }
      }
    }
    g_free(dir);
    g_free(base);
    if (!ok) return false;
  } else {
    gboolean numbered = FALSE;
    if (!kov_frame_pattern_check(location, &numbered, error)) return false;
    if (!numbered) {
      gchar *p = kov_frame_pattern_format(location, 0);
      files->emplace_back(p);
      g_free(p);
      return true;  // a single file: readability is checked when it is opened
    }
    for (guint64 start = 0; start <= 1 && files->empty(); start++) {
      for (guint64 n = start;; n++) {
        gchar *p = kov_frame_pattern_format(location, n);
        bool exists = g_file_test(p, G_FILE_TEST_IS_REGULAR);
        if (exists) files->emplace_back(p);
        g_free(p);
        if (!exists) break;
      }
    }
  }
  if (files->empty()) {
    g_set_error(error, KOV_ERROR, KOV_ERROR_IO, "no file matches \"%s\"", location);
    return false;
  }
  return true;
}

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

// The frame format the first file gives.
struct Geometry {
  guint32 code = 0;
  gint width = 0;
  gint height = 0;
  gint stride = 0;
};

bool probe(KovFileInput *in, FileKind kind, const std::string &first, Geometry *g,
           GError **error) {
  switch (kind) {
    case KIND_PNG: {
      KovImageInfo info;
      if (!kov_image_read_png_info(first.c_str(), &info, error)) return false;
      g->code = info.pixelformat;
      g->width = info.width;
      g->height = info.height;
      g->stride = kov_pixel_format_min_row_stride(info.pixelformat, info.width);
      return true;
    }
    case KIND_JPEG:
    case KIND_MJPG: {
      GMappedFile *map = map_file(first, error);
      if (map == nullptr) return false;
      auto *data = reinterpret_cast<const guint8 *>(g_mapped_file_get_contents(map));
      gsize length = g_mapped_file_get_length(map);
      bool ok = kov_jpeg_parse(data, length, &g->width, &g->height, nullptr);
      g_mapped_file_unref(map);
      if (!ok) {
        g_set_error(error, KOV_ERROR, KOV_ERROR_IO, "\"%s\" does not start with a whole JPEG image",
                    first.c_str());
        return false;
      }
      g->code = KOV_PIX_FMT_MJPG;
      g->stride = 0;
      return true;
    }
    case KIND_RAW: {
      const gchar *text = kov_unit_control_get_string(in->raw_format_ctl);
      g->code = kov_pixel_format_from_string(text != nullptr ? text : "");
      g->width = kov_unit_control_get_int(in->raw_width_ctl);
      g->height = kov_unit_control_get_int(in->raw_height_ctl);
      g->stride = kov_pixel_format_min_row_stride(g->code, g->width);
      if (g->stride == 0) {
        g_set_error(error, KOV_ERROR, KOV_ERROR_IO,
                    "\"%s\": raw-format \"%s\" is not a raw pixel format", first.c_str(),
                    text != nullptr ? text : "");
        return false;
      }
      if (!g_file_test(first.c_str(), G_FILE_TEST_IS_REGULAR)) {
        g_set_error(error, KOV_ERROR, KOV_ERROR_IO, "cannot open \"%s\": no such file",
                    first.c_str());
        return false;
      }
      return true;
    }
  }
  return false;
}

void set_error(KovFileInput *in, GError *error) {
  g_clear_error(&in->error);
  in->error = error;
}

// Re-reads the location and offers the format of its first file.
void update_format(KovFileInput *in) {
  KovUnit *unit = KOV_UNIT(in);
  std::vector<std::string> files;
  GError *error = nullptr;
  Geometry g;
  const gchar *location = kov_unit_control_get_string(in->location_ctl);
  bool ok = resolve_files(location, &files, &error) &&
            probe(in, kind_of(files.front()), files.front(), &g, &error);
  set_error(in, ok ? nullptr : error);
  kov_unit_begin_format_update(unit);
  kov_unit_remove_all_output_formats(unit);
  if (ok) {
    gchar *name = kov::units::format_name(g.code, g.width, g.height);
    kov_unit_add_output_format(unit, g.code, name, g.width, g.height, g.stride);
    g_free(name);
  }
  kov_unit_end_format_update(unit);
}

void on_control_changed(KovUnitControl *, gpointer user_data) {
  update_format(static_cast<KovFileInput *>(user_data));
}

// Splits the files into frames.
bool index_items(KovFileInput *in, KovUnitFormat *fmt, Source *src, GError **error) {
  src->items.clear();
  gsize raw_size = 0;
  if (src->kind == KIND_RAW) {
    raw_size = kov_pixel_format_frame_size(fmt->pixelformat, fmt->width, fmt->height,
                                           fmt->row_stride);
  }
  for (std::size_t i = 0; i < src->files.size(); i++) {
    const std::string &path = src->files[i];
    bool first = i == 0;
    if (src->kind == KIND_PNG || src->kind == KIND_JPEG) {
      if (first && !g_file_test(path.c_str(), G_FILE_TEST_IS_REGULAR)) {
        g_set_error(error, KOV_ERROR, KOV_ERROR_IO, "cannot open \"%s\": no such file",
                    path.c_str());
        return false;
      }
      src->items.push_back({path, 0, 0});
    } else if (src->kind == KIND_MJPG) {
      GError *local = nullptr;
      GMappedFile *map = map_file(path, &local);
      if (map == nullptr) {
        if (first) {
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
        src->items.push_back({path, pos, image});
        pos += image;
      }
      g_mapped_file_unref(map);
    } else {
      GStatBuf st;
      if (g_stat(path.c_str(), &st) != 0) {
        int e = errno;
        if (first) {
          g_set_error(error, KOV_ERROR, KOV_ERROR_IO, "cannot open \"%s\": %s", path.c_str(),
                      g_strerror(e));
          return false;
        }
        g_printerr("input.file: cannot open \"%s\": %s; skipped\n", path.c_str(), g_strerror(e));
        continue;
      }
      gsize size = static_cast<gsize>(st.st_size);
      if (raw_size == 0) break;
      if (size % raw_size != 0)
        g_printerr("input.file: \"%s\" ends with %" G_GSIZE_FORMAT
                   " bytes that do not make a whole frame; they are ignored\n",
                   path.c_str(), size % raw_size);
      for (gsize off = 0; off + raw_size <= size; off += raw_size)
        src->items.push_back({path, off, raw_size});
    }
  }
  if (src->items.empty()) {
    g_set_error(error, KOV_ERROR, KOV_ERROR_IO, "\"%s\" holds no whole frame",
                kov_unit_control_get_string(in->location_ctl));
    return false;
  }
  return true;
}

void clear_source(KovFileInput *in) {
  delete in->source;
  in->source = nullptr;
}

gint file_input_stream_init(KovUnit *unit, KovUnitFormat *format) {
  auto *in = reinterpret_cast<KovFileInput *>(unit);
  KovUnitFormat *fmt = format != nullptr ? format : kov_unit_get_output_format(unit);
  clear_source(in);
  in->at_end = FALSE;
  in->next_item = 0;
  in->produced_in_pass = 0;
  if (fmt == nullptr) return -1;
  auto *src = new Source();
  GError *error = nullptr;
  bool ok = resolve_files(kov_unit_control_get_string(in->location_ctl), &src->files, &error);
  if (ok) {
    src->kind = kind_of(src->files.front());
    ok = index_items(in, fmt, src, &error);
  }
  if (ok && (src->kind == KIND_PNG || src->kind == KIND_JPEG)) {
    // Check that the first file is there and readable now.
    Geometry g;
    ok = probe(in, src->kind, src->files.front(), &g, &error);
    if (ok && (g.code != fmt->pixelformat || g.width != fmt->width || g.height != fmt->height)) {
      g_set_error(&error, KOV_ERROR, KOV_ERROR_IO, "\"%s\" is no longer a %dx%d image",
                  src->files.front().c_str(), fmt->width, fmt->height);
      ok = false;
    }
  }
  if (!ok) {
    g_printerr("input.file: %s\n", error->message);
    set_error(in, error);
    delete src;
    return -1;
  }
  set_error(in, nullptr);
  in->source = src;
  in->next_time = kov_time_now();
  return 0;
}

gint file_input_stream_shutdown(KovUnit *unit) {
  clear_source(reinterpret_cast<KovFileInput *>(unit));
  return 0;
}

gint64 file_input_next_frame_time(KovUnit *unit) {
  auto *in = reinterpret_cast<KovFileInput *>(unit);
  return in->at_end || in->source == nullptr ? G_MAXINT64 : in->next_time;
}

// Reads one frame; NULL (with the reason) when it cannot.
KovFrameBuffer *read_item(KovFileInput *in, const Item &item, KovUnitFormat *fmt,
                          GError **error) {
  Source *src = in->source;
  if (src->kind == KIND_PNG) {
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
  const guint8 *bytes = nullptr;
  gsize length = 0;
  gchar *contents = nullptr;
  if (src->kind == KIND_MJPG) {
    if (src->map == nullptr || src->map_path != item.path) {
      if (src->map != nullptr) g_mapped_file_unref(src->map);
      src->map = map_file(item.path, error);
      src->map_path = item.path;
      if (src->map == nullptr) return nullptr;
    }
    gsize file_length = g_mapped_file_get_length(src->map);
    if (item.offset + item.length > file_length) {
      g_set_error(error, KOV_ERROR, KOV_ERROR_IO, "\"%s\" became shorter while reading",
                  item.path.c_str());
      return nullptr;
    }
    bytes = reinterpret_cast<const guint8 *>(g_mapped_file_get_contents(src->map)) + item.offset;
    length = item.length;
  } else if (src->kind == KIND_JPEG) {
    if (!read_whole_file(item.path, &contents, &length, error)) return nullptr;
    bytes = reinterpret_cast<const guint8 *>(contents);
  } else {
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
  // JPEG data: check it is a whole image of the stream's size.
  gint w = 0, h = 0;
  gsize image = 0;
  KovFrameBuffer *frame = nullptr;
  if (!kov_jpeg_parse(bytes, length, &w, &h, &image)) {
    g_set_error(error, KOV_ERROR, KOV_ERROR_IO, "\"%s\" is not a whole JPEG image",
                item.path.c_str());
  } else if (w != fmt->width || h != fmt->height) {
    g_set_error(error, KOV_ERROR, KOV_ERROR_IO, "\"%s\" is %dx%d, the stream is %dx%d",
                item.path.c_str(), w, h, fmt->width, fmt->height);
  } else if ((frame = kov_framebuffer_new_alloc(image)) == nullptr) {
    g_set_error(error, KOV_ERROR, KOV_ERROR_IO, "out of memory reading \"%s\"", item.path.c_str());
  } else {
    memcpy(frame->data, bytes, image);
    frame->bytesused = image;
  }
  g_free(contents);
  return frame;
}

gboolean file_input_produce_pending_frame(KovUnit *unit) {
  auto *in = reinterpret_cast<KovFileInput *>(unit);
  gint64 now = kov_time_now();
  if (in->source == nullptr || in->at_end || now < in->next_time) return FALSE;
  KovUnitFormat *fmt = kov_unit_get_output_format(unit);
  if (fmt == nullptr) return FALSE;
  Source *src = in->source;
  const Item &item = src->items[in->next_item];
  GError *error = nullptr;
  KovFrameBuffer *frame = read_item(in, item, fmt, &error);
  in->next_item++;
  if (frame != nullptr) in->produced_in_pass++;
  if (in->next_item >= src->items.size()) {
    // At the end: start over when looping and the last pass gave frames.
    if (kov_unit_control_get_boolean(in->loop_ctl) && in->produced_in_pass > 0) {
      in->next_item = 0;
      in->produced_in_pass = 0;
    } else {
      in->at_end = TRUE;
    }
  }
  in->next_time = now;
  if (frame == nullptr) {
    g_printerr("input.file: %s; frame skipped\n", error->message);
    g_error_free(error);
    return FALSE;
  }
  frame->timestamp = now;
  kov_unit_produce_frame(unit, frame, fmt);
  g_object_unref(frame);
  return TRUE;
}

void file_input_finalize(GObject *object) {
  auto *in = reinterpret_cast<KovFileInput *>(object);
  clear_source(in);
  g_clear_error(&in->error);
  G_OBJECT_CLASS(kov_file_input_parent_class)->finalize(object);
}

}  // namespace

gboolean kov_file_input_at_end(KovUnit *unit) {
  if (unit == nullptr || !G_TYPE_CHECK_INSTANCE_TYPE(unit, kov_file_input_get_type()))
    return FALSE;
  return reinterpret_cast<KovFileInput *>(unit)->at_end;
}

const GError *kov_file_input_error(KovUnit *unit) {
  if (unit == nullptr || !G_TYPE_CHECK_INSTANCE_TYPE(unit, kov_file_input_get_type()))
    return nullptr;
  return reinterpret_cast<KovFileInput *>(unit)->error;
}

static void kov_file_input_class_init(KovFileInputClass *klass) {
  G_OBJECT_CLASS(klass)->finalize = file_input_finalize;
  KovUnitClass *unit_class = KOV_UNIT_CLASS(klass);
  unit_class->stream_init = file_input_stream_init;
  unit_class->stream_shutdown = file_input_stream_shutdown;
  unit_class->produce_pending_frame = file_input_produce_pending_frame;
  unit_class->next_frame_time = file_input_next_frame_time;
}

static void kov_file_input_init(KovFileInput *in) {
  KovUnit *unit = KOV_UNIT(in);
  in->location_ctl = kov_unit_add_control_string(unit, "location", "File, numbered series or pattern",
                                                 "", TRUE);
  kov_unit_control_set_ui_hints(in->location_ctl, KOV_UNIT_CONTROL_FILENAME);
  in->loop_ctl = kov_unit_add_control_boolean(unit, "loop", "Start again at the end", FALSE, TRUE);
  in->raw_format_ctl =
      kov_unit_add_control_string(unit, "raw-format", "Pixel format of raw files", "GREY", TRUE);
  in->raw_width_ctl =
      kov_unit_add_control_int(unit, "raw-width", "Width of raw frames", 1, 16384, 1, 640, TRUE);
  in->raw_height_ctl =
      kov_unit_add_control_int(unit, "raw-height", "Height of raw frames", 1, 16384, 1, 480, TRUE);
  KovUnitControl *watched[] = {in->location_ctl, in->raw_format_ctl, in->raw_width_ctl,
                               in->raw_height_ctl};
  for (KovUnitControl *c : watched)
    g_signal_connect(c, "changed", G_CALLBACK(on_control_changed), in);
  update_format(in);
}
