// SPDX-License-Identifier: LGPL-2.1-or-later
// input.file: a source that reads frames from files, as fast as the chain
// takes them. "location" names one file, a numbered series ("out/%03d.png",
// counted from 0 or 1 up to the first gap) or a wildcard pattern in the file
// name ("shots/*.png", in name order). The first file's extension chooses
// the reader (units/file_readers.h), once when the stream starts.
// The output format is known as soon as "location" is set (from the first
// file). A location that gives no format leaves the unit without one, with
// the reason recorded (kov_unit_set_error); a file that cannot be read at
// stream_init is posted as an error; one that fails later is skipped with a
// message. Without "loop" the unit ends after the last frame: next_frame_time
// becomes G_MAXINT64 and it posts end of stream. "max-pixels" bounds the
// image size a file may claim, checked before anything is allocated for it.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <kovkit/imageio.h>

#include "units/builtin_units.h"
#include "units/file_readers.h"

namespace {

using kov::units::FrameGeometry;
using kov::units::FrameItem;
using kov::units::FrameReader;

// Files and frames of the current stream, and the reader chosen for them.
struct Source {
  std::vector<std::string> files;
  std::vector<FrameItem> items;
  std::unique_ptr<FrameReader> reader;
};

}  // namespace

struct KovFileInput {
  KovUnit parent;
  KovUnitControl *location_ctl;
  KovUnitControl *loop_ctl;
  KovUnitControl *raw_format_ctl;
  KovUnitControl *raw_width_ctl;
  KovUnitControl *raw_height_ctl;
  KovUnitControl *max_pixels_ctl;
  Source *source;         // files and frames of the current stream
  gsize next_item;
  guint produced_in_pass; // frames produced since the list last started over
  gboolean at_end;
  gint64 next_time;
};

struct KovFileInputClass {
  KovUnitClass parent_class;
};

G_DEFINE_TYPE(KovFileInput, kov_file_input, KOV_TYPE_UNIT)

namespace {

// 100 megapixels: more than cameras take, far less than a forged header claims.
constexpr gint kMaxPixelsDefault = 100000000;

bool is_wildcard(const gchar *location) {
  return strchr(location, '*') != nullptr || strchr(location, '?') != nullptr;
}

// Bytes of the character at s: a whole UTF-8 sequence, or one byte of a
// name that is not UTF-8 (file names are bytes).
size_t char_length(const char *s) {
  const gunichar c = g_utf8_get_char_validated(s, -1);
  return c == static_cast<gunichar>(-1) || c == static_cast<gunichar>(-2)
             ? 1
             : static_cast<size_t>(g_utf8_skip[static_cast<guchar>(*s)]);
}

// "*" matches any run of characters, "?" one character; everything else
// itself. Works on any bytes, so that names and patterns that are not UTF-8
// match too.
bool glob_match(const char *pattern, const char *name) {
  const char *star = nullptr, *resume = nullptr;
  while (*name != '\0') {
    if (*pattern == '*') {
      star = ++pattern;
      resume = name;
    } else if (*pattern == '?') {
      pattern++;
      name += char_length(name);
    } else if (*pattern == *name) {
      pattern++;
      name++;
    } else if (star != nullptr) {
      pattern = star;
      resume += char_length(resume);
      name = resume;
    } else {
      return false;
    }
  }
  while (*pattern == '*') pattern++;
  return *pattern == '\0';
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
        std::vector<std::string> names;
        while (const gchar *name = g_dir_read_name(d))
          if (glob_match(base, name)) names.emplace_back(name);
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

kov::units::RawSettings raw_settings(KovFileInput *in) {
  const gchar *format = kov_unit_control_get_string(in->raw_format_ctl);
  return {format != nullptr ? format : "", kov_unit_control_get_int(in->raw_width_ctl),
          kov_unit_control_get_int(in->raw_height_ctl)};
}

std::unique_ptr<FrameReader> reader_for(KovFileInput *in, const std::string &first) {
  return kov::units::frame_reader_for(first, raw_settings(in));
}

// Images larger than "max-pixels" are refused before a frame is allocated
// for them: a file header can claim gigabytes.
bool check_pixels(KovFileInput *in, const std::string &path, const FrameGeometry &g,
                  GError **error) {
  const gint max = kov_unit_control_get_int(in->max_pixels_ctl);
  const guint64 pixels = guint64(std::max(g.width, 0)) * guint64(std::max(g.height, 0));
  if (pixels <= guint64(max)) return true;
  g_set_error(error, KOV_ERROR, KOV_ERROR_IO,
              "\"%s\" is %dx%d, %" G_GUINT64_FORMAT " pixels: more than max-pixels (%d)",
              path.c_str(), g.width, g.height, pixels, max);
  return false;
}

// Re-reads the location and offers the format of its first file.
void update_format(KovFileInput *in) {
  KovUnit *unit = KOV_UNIT(in);
  std::vector<std::string> files;
  GError *error = nullptr;
  FrameGeometry g;
  const gchar *location = kov_unit_control_get_string(in->location_ctl);
  bool ok = resolve_files(location, &files, &error) &&
            reader_for(in, files.front())->probe(files.front(), &g, &error) &&
            check_pixels(in, files.front(), g, &error);
  kov_unit_set_error(unit, ok ? nullptr : error);
  g_clear_error(&error);
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
    src->reader = reader_for(in, src->files.front());
    ok = src->reader->index(src->files, fmt, &src->items, &error);
  }
  if (ok && src->items.empty()) {
    g_set_error(&error, KOV_ERROR, KOV_ERROR_IO, "\"%s\" holds no whole frame",
                kov_unit_control_get_string(in->location_ctl));
    ok = false;
  }
  if (ok && src->reader->reprobe_at_start()) {
    // Check that the first file is there and readable now.
    FrameGeometry g;
    ok = src->reader->probe(src->files.front(), &g, &error);
    if (ok && (g.code != fmt->pixelformat || g.width != fmt->width || g.height != fmt->height)) {
      g_set_error(&error, KOV_ERROR, KOV_ERROR_IO, "\"%s\" is no longer a %dx%d image",
                  src->files.front().c_str(), fmt->width, fmt->height);
      ok = false;
    }
  }
  if (!ok) {
    kov_unit_post_error(unit, error);
    g_error_free(error);
    delete src;
    return -1;
  }
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

gboolean file_input_produce_pending_frame(KovUnit *unit) {
  auto *in = reinterpret_cast<KovFileInput *>(unit);
  gint64 now = kov_time_now();
  if (in->source == nullptr || in->at_end || now < in->next_time) return FALSE;
  KovUnitFormat *fmt = kov_unit_get_output_format(unit);
  if (fmt == nullptr) return FALSE;
  Source *src = in->source;
  GError *error = nullptr;
  KovFrameBuffer *frame = src->reader->read(src->items[in->next_item], fmt, &error);
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
  const bool produced = frame != nullptr;
  if (!produced) {
    g_printerr("input.file: %s; frame skipped\n", error->message);
    g_error_free(error);
  } else {
    frame->timestamp = now;
    kov_unit_produce_frame(unit, frame, fmt);
    g_object_unref(frame);
  }
  if (in->at_end) kov_unit_post_eos(unit);
  return produced;
}

void file_input_finalize(GObject *object) {
  auto *in = reinterpret_cast<KovFileInput *>(object);
  clear_source(in);
  G_OBJECT_CLASS(kov_file_input_parent_class)->finalize(object);
}

}  // namespace

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
  in->max_pixels_ctl = kov_unit_add_control_int(unit, "max-pixels", "Largest image, in pixels", 1,
                                                G_MAXINT, 1, kMaxPixelsDefault, TRUE);
  KovUnitControl *watched[] = {in->location_ctl, in->raw_format_ctl, in->raw_width_ctl,
                               in->raw_height_ctl, in->max_pixels_ctl};
  for (KovUnitControl *c : watched)
    g_signal_connect(c, "changed", G_CALLBACK(on_control_changed), in);
  update_format(in);
}
