// SPDX-License-Identifier: LGPL-2.1-or-later
// output.file: writes every frame it receives to a file named by the
// "location" pattern (printf-style frame number, counted from 0, such as
// "out/%03d.png"), creating missing folders, and passes the frame on
// unchanged. RGB3, BGR3, RGB4, BGR4 and GREY frames become PNG files (raw
// bytes when the location ends in ".raw"); MJPG frames become JPEG files, or
// are appended to one Motion-JPEG file when the location holds no number;
// other formats are written as raw bytes.
//
// Files are written under a temporary name and renamed when complete; an
// append that fails is cut back to the last whole frame. The first write
// error is posted to the framework (kov_unit_post_error); the unit then stops
// writing but keeps passing frames on, and programs running the chain stop
// on the chain's "error".
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include <glib/gstdio.h>

#include <kovkit/imageio.h>

#include "units/builtin_units.h"

struct KovFileOutput {
  KovUnit parent;
  KovUnitControl *location_ctl;
  guint64 frame_number;  // of the next frame; kept across stream restarts
  FILE *mjpg_file;       // open Motion-JPEG file of a numberless location
  guint64 mjpg_length;   // bytes of whole frames in it
  gboolean mjpg_started; // the file was created for this location already
  GError *error;
  gboolean warned_short;
};

struct KovFileOutputClass {
  KovUnitClass parent_class;
};

G_DEFINE_TYPE(KovFileOutput, kov_file_output, KOV_TYPE_UNIT)

namespace {

bool png_format(guint32 code) {
  switch (code) {
    case KOV_PIX_FMT_RGB3:
    case KOV_PIX_FMT_BGR3:
    case KOV_PIX_FMT_RGB4:
    case KOV_PIX_FMT_BGR4:
    case KOV_PIX_FMT_GREY:
      return true;
    default:
      return false;
  }
}

// Records the first error and posts it; later ones are not reported.
void fail(KovFileOutput *out, GError *error) {
  if (out->error != nullptr) {
    g_error_free(error);
    return;
  }
  out->error = error;
  kov_unit_post_error(KOV_UNIT(out), error);
}

void close_mjpg(KovFileOutput *out) {
  if (out->mjpg_file == nullptr) return;
  if (fclose(out->mjpg_file) != 0)
    fail(out, g_error_new(KOV_ERROR, KOV_ERROR_IO, "cannot write \"%s\": %s",
                          kov_unit_control_get_string(out->location_ctl), g_strerror(errno)));
  out->mjpg_file = nullptr;
}

bool make_folder(const gchar *path, GError **error) {
  gchar *dir = g_path_get_dirname(path);
  bool ok = true;
  if (g_mkdir_with_parents(dir, 0777) != 0) {
    int e = errno;
    g_set_error(error, KOV_ERROR, KOV_ERROR_IO, "cannot create folder \"%s\": %s", dir,
                g_strerror(e));
    ok = false;
  }
  g_free(dir);
  return ok;
}

bool write_whole_file(const gchar *path, const guint8 *data, gsize length, GError **error) {
  GError *local = nullptr;
  if (g_file_set_contents_full(path, reinterpret_cast<const gchar *>(data),
                               static_cast<gssize>(length), G_FILE_SET_CONTENTS_CONSISTENT, 0666,
                               &local))
    return true;
  g_set_error(error, KOV_ERROR, KOV_ERROR_IO, "cannot write \"%s\": %s", path, local->message);
  g_error_free(local);
  return false;
}

// Appends one JPEG image; on failure the file is cut back to whole frames.
bool append_mjpg(KovFileOutput *out, const gchar *path, const guint8 *data, gsize length,
                 GError **error) {
  if (out->mjpg_file == nullptr) {
    out->mjpg_file = g_fopen(path, out->mjpg_started ? "ab" : "wb");
    if (out->mjpg_file == nullptr) {
      int e = errno;
      g_set_error(error, KOV_ERROR, KOV_ERROR_IO, "cannot open \"%s\": %s", path, g_strerror(e));
      return false;
    }
    out->mjpg_started = TRUE;
    if (fseeko(out->mjpg_file, 0, SEEK_END) != 0) {
      int e = errno;
      g_set_error(error, KOV_ERROR, KOV_ERROR_IO, "cannot append to \"%s\": %s", path,
                  g_strerror(e));
      return false;
    }
    off_t end = ftello(out->mjpg_file);
    out->mjpg_length = end > 0 ? static_cast<guint64>(end) : 0;
  }
  errno = 0;
  bool ok = fwrite(data, 1, length, out->mjpg_file) == length && fflush(out->mjpg_file) == 0;
  if (ok) {
    out->mjpg_length += length;
    return true;
  }
  int e = errno != 0 ? errno : EIO;
  clearerr(out->mjpg_file);
  if (ftruncate(fileno(out->mjpg_file), static_cast<off_t>(out->mjpg_length)) != 0) {
    // Nothing more can be done; the error below is what the user sees.
  }
  fseeko(out->mjpg_file, 0, SEEK_END);
  g_set_error(error, KOV_ERROR, KOV_ERROR_IO, "cannot write \"%s\": %s", path, g_strerror(e));
  return false;
}

bool write_frame(KovFileOutput *out, KovFrameBuffer *frame, KovUnitFormat *fmt, GError **error) {
  const gchar *location = kov_unit_control_get_string(out->location_ctl);
  gboolean has_number = FALSE;
  if (!kov_frame_pattern_check(location, &has_number, error)) return false;
  gchar *path = kov_frame_pattern_format(location, out->frame_number);
  bool ok = make_folder(path, error);
  gsize have = MIN(frame->bytesused, frame->length);
  if (ok && fmt->pixelformat == KOV_PIX_FMT_MJPG) {
    ok = has_number ? write_whole_file(path, frame->data, have, error)
                    : append_mjpg(out, path, frame->data, have, error);
  } else if (ok && png_format(fmt->pixelformat) && !g_str_has_suffix(path, ".raw")) {
    gsize need = kov_pixel_format_min_frame_size(fmt->pixelformat, fmt->width, fmt->height,
                                                 fmt->row_stride);
    if (need == 0 || have < need) {
      // A bad frame is not a write error: skip it and keep running.
      if (!out->warned_short) {
        g_printerr("output.file: frame %" G_GUINT64_FORMAT " has %" G_GSIZE_FORMAT
                   " bytes, %dx%d needs %" G_GSIZE_FORMAT "; not written\n",
                   out->frame_number, have, fmt->width, fmt->height, need);
        out->warned_short = TRUE;
      }
    } else {
      ok = kov_image_write_png(path, fmt->pixelformat, fmt->width, fmt->height,
                               fmt->row_stride, frame->data, error);
    }
  } else if (ok) {
    ok = write_whole_file(path, frame->data, have, error);
  }
  g_free(path);
  return ok;
}

void on_input_format_changed(KovUnit *unit, KovUnitFormat *format, gpointer) {
  kov_unit_mirror_input_format(unit, format);
}

gint file_output_stream_init(KovUnit *unit, KovUnitFormat *) {
  auto *out = reinterpret_cast<KovFileOutput *>(unit);
  const gchar *location = kov_unit_control_get_string(out->location_ctl);
  GError *error = nullptr;
  if (location == nullptr || location[0] == '\0') {
    error = g_error_new(KOV_ERROR, KOV_ERROR_BAD_VALUE, "no \"location\" to write to");
  } else if (!kov_frame_pattern_check(location, nullptr, &error)) {
    g_prefix_error(&error, "location ");
  }
  if (error != nullptr) {
    g_clear_error(&out->error);
    fail(out, error);
    return -1;
  }
  out->warned_short = FALSE;
  return 0;
}

gint file_output_stream_shutdown(KovUnit *unit) {
  close_mjpg(reinterpret_cast<KovFileOutput *>(unit));
  return 0;
}

void file_output_input_frame_ready(KovUnit *unit, KovFrameBuffer *frame, KovUnitFormat *in) {
  auto *out = reinterpret_cast<KovFileOutput *>(unit);
  if (out->error == nullptr && in != nullptr) {
    GError *error = nullptr;
    if (!write_frame(out, frame, in, &error)) fail(out, error);
  }
  out->frame_number++;
  kov_unit_produce_frame(unit, frame, kov_unit_get_output_format(unit));
}

gboolean file_output_control_change(KovUnit *unit, KovUnitControl *control,
                                    const GValue *proposed, GValue *store) {
  auto *out = reinterpret_cast<KovFileOutput *>(unit);
  g_value_copy(proposed, store);
  if (control == out->location_ctl) {
    // A new destination: number from 0 again, start a new Motion-JPEG file.
    close_mjpg(out);
    out->mjpg_started = FALSE;
    out->frame_number = 0;
    g_clear_error(&out->error);
  }
  return TRUE;
}

void file_output_finalize(GObject *object) {
  auto *out = reinterpret_cast<KovFileOutput *>(object);
  close_mjpg(out);
  g_clear_error(&out->error);
  G_OBJECT_CLASS(kov_file_output_parent_class)->finalize(object);
}

}  // namespace

static void kov_file_output_class_init(KovFileOutputClass *klass) {
  G_OBJECT_CLASS(klass)->finalize = file_output_finalize;
  KovUnitClass *unit_class = KOV_UNIT_CLASS(klass);
  unit_class->stream_init = file_output_stream_init;
  unit_class->stream_shutdown = file_output_stream_shutdown;
  unit_class->input_frame_ready = file_output_input_frame_ready;
  unit_class->control_change = file_output_control_change;
}

static void kov_file_output_init(KovFileOutput *out) {
  KovUnit *unit = KOV_UNIT(out);
  out->location_ctl = kov_unit_add_control_string(unit, "location", "File name pattern",
                                                  "out/%05d.png", TRUE);
  kov_unit_control_set_ui_hints(out->location_ctl, KOV_UNIT_CONTROL_FILENAME);
  g_signal_connect(unit, "input-format-changed", G_CALLBACK(on_input_format_changed), nullptr);
}
