// SPDX-License-Identifier: LGPL-2.1-or-later
// kovkit-run's run of one chain: the chain is attached to the default main
// context through the chain driver, and the run ends on the chain's own
// signals ("eos", "error"), a frame count, a time limit or Ctrl-C.
#include "run_loop.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include <glib-unix.h>

#include <kovkit/kovkit.h>

#include "gl_snapshots.h"

int fail(const char *format, ...) {
  va_list args;
  va_start(args, format);
  gchar *message = g_strdup_vprintf(format, args);
  va_end(args);
  g_printerr("kovkit-run: %s\n", message);
  g_free(message);
  return kExitUsage;
}

namespace {

// Applies one --set ID.CONTROL=VALUE; ID may itself hold points.
bool apply_setting(KovUnitChain *chain, const char *setting, GError **error) {
  const char *eq = strchr(setting, '=');
  std::string key = eq != nullptr ? std::string(setting, eq - setting) : std::string(setting);
  std::string::size_type dot = key.rfind('.');
  if (eq == nullptr || dot == std::string::npos || dot == 0 || dot + 1 == key.size()) {
    g_set_error(error, KOV_ERROR, KOV_ERROR_PARSE,
                "--set \"%s\": expected ID.CONTROL=VALUE, such as util.flip.flip-h=true",
                setting);
    return false;
  }
  std::string id = key.substr(0, dot), control_id = key.substr(dot + 1);
  KovUnit *unit = kov_unit_chain_find_unit_by_id(chain, id.c_str());
  if (unit == nullptr) {
    g_set_error(error, KOV_ERROR, KOV_ERROR_UNKNOWN_UNIT, "--set \"%s\": the chain has no unit %s",
                setting, id.c_str());
    return false;
  }
  KovUnitControl *control = kov_unit_find_control(unit, control_id.c_str());
  if (control == nullptr) {
    g_set_error(error, KOV_ERROR, KOV_ERROR_UNKNOWN_CONTROL,
                "--set \"%s\": unit %s has no control \"%s\"", setting, id.c_str(),
                control_id.c_str());
    return false;
  }
  if (!kov_unit_control_set_from_string(control, eq + 1, error)) {
    g_prefix_error(error, "--set \"%s\": ", setting);
    return false;
  }
  return true;
}


// One metadata value as text: 4 bytes as a signed 32-bit integer, "roi" as
// x,y,width,height, anything else as hex.
std::string metadata_text(const char *key, const guint8 *bytes, gsize length) {
  if (length == 4) {
    gint32 v;
    memcpy(&v, bytes, 4);
    return std::to_string(v);
  }
  if (length == 16 && strcmp(key, "roi") == 0) {
    gint32 r[4];
    memcpy(r, bytes, 16);
    return std::to_string(r[0]) + "," + std::to_string(r[1]) + "," + std::to_string(r[2]) + "," +
           std::to_string(r[3]);
  }
  static const char hex[] = "0123456789abcdef";
  std::string s;
  for (gsize i = 0; i < length; i++) {
    s += hex[bytes[i] >> 4];
    s += hex[bytes[i] & 15];
  }
  return s;
}

struct Run {
  GMainLoop *loop = nullptr;
  guint64 frames = 0;
  guint64 limit = 0;  // 0: no limit
  gboolean meta = FALSE;
  bool started = false;  // every unit streams; errors are the run's from here on
  bool interrupted = false;
  int status = kExitOk;
  gint64 start = 0;
  GlRun gl;
};

void stop(Run *run) { g_main_loop_quit(run->loop); }

void on_frame_ready(KovUnitChain *, KovFrameBuffer *frame, KovUnitFormat *, gpointer data) {
  auto *run = static_cast<Run *>(data);
  if (!gl_run_frame(&run->gl)) {
    run->status = kExitOutputError;
    stop(run);
    return;
  }
  if (run->meta) {
    std::string line = "frame " + std::to_string(run->frames) + ":";
    GList *keys = kov_framebuffer_metadata_keys(frame);
    for (GList *l = keys; l != nullptr; l = l->next) {
      auto *key = static_cast<const char *>(l->data);
      gsize length = 0;
      auto *bytes = static_cast<const guint8 *>(kov_framebuffer_metadata_get(frame, key, &length));
      line += " ";
      line += key;
      line += "=";
      line += metadata_text(key, bytes, length);
    }
    g_list_free(keys);
    line += "\n";
    fputs(line.c_str(), stdout);
    fflush(stdout);
  }
  run->frames++;
  if (run->limit > 0 && run->frames >= run->limit) stop(run);
}

void on_eos(KovUnitChain *, gpointer data) { stop(static_cast<Run *>(data)); }

// The first error a unit posts while the chain runs ends the run. Errors of
// units that refuse to start are reported by the start itself.
void on_error(KovUnitChain *, KovUnit *unit, GError *error, gpointer data) {
  auto *run = static_cast<Run *>(data);
  if (!run->started || run->status != kExitOk) return;
  const gchar *id = kov_unit_get_id(unit);
  g_printerr("%s: %s\n", id[0] != '\0' ? id : kov_unit_get_name(unit), error->message);
  run->status = kExitOutputError;
  stop(run);
}

gboolean on_sigint(gpointer data) {
  auto *run = static_cast<Run *>(data);
  run->interrupted = true;
  stop(run);
  // Removing the watch gives SIGINT back its default: a second Ctrl-C ends
  // the program at once.
  return G_SOURCE_REMOVE;
}

gboolean before_step(gpointer data) {
  gl_run_make_current(&static_cast<Run *>(data)->gl);
  return G_SOURCE_CONTINUE;
}

gboolean on_deadline(gpointer data) {
  stop(static_cast<Run *>(data));
  return G_SOURCE_REMOVE;
}

gboolean on_progress(gpointer data) {
  auto *run = static_cast<Run *>(data);
  const double seconds = (g_get_monotonic_time() - run->start) / 1e6;
  g_printerr("\r%" G_GUINT64_FORMAT " frames, %.1f s, %.1f frames/s   ", run->frames, seconds,
             seconds > 0 ? run->frames / seconds : 0.0);
  return G_SOURCE_CONTINUE;
}

// A source that fires once at a monotonic time, however far away.
GSource *deadline_source(gint64 when) {
  static GSourceFuncs funcs = {nullptr, nullptr,
                               [](GSource *, GSourceFunc callback, gpointer data) {
                                 return callback(data);
                               },
                               nullptr, nullptr, nullptr};
  GSource *source = g_source_new(&funcs, sizeof(GSource));
  g_source_set_ready_time(source, when);
  return source;
}

}  // namespace

int run_chain(const RunOptions &options) {
  KovUnitChain *chain = kov_unit_chain_new();
  g_object_ref_sink(chain);
  GError *error = nullptr;
  Run run;
  run.limit = options.frames > 0 ? static_cast<guint64>(options.frames) : 0;
  run.meta = options.meta;
  run.gl.pattern = options.gl_pattern;
  run.gl.every = options.gl_every;

  int status = kExitOk;
  if (!kov_unit_chain_load_from_str(chain, options.text, &error)) {
    status = fail("%s", error->message);
  } else {
    for (gchar **s = options.settings; s != nullptr && *s != nullptr && status == kExitOk; s++)
      if (!apply_setting(chain, *s, &error)) status = fail("%s", error->message);
  }
  if (status == kExitOk && !gl_run_begin(chain, &run.gl, &error))
    status = fail("%s", error->message);
  if (status == kExitOk) {
    g_signal_connect(chain, "frame-ready", G_CALLBACK(on_frame_ready), &run);
    g_signal_connect(chain, "eos", G_CALLBACK(on_eos), &run);
    g_signal_connect(chain, "error", G_CALLBACK(on_error), &run);
    if (!kov_unit_chain_all_units_stream_init_full(chain, &error))
      status = fail("%s", error->message);
  }
  if (status != kExitOk) {
    g_clear_error(&error);
    g_signal_handlers_disconnect_by_data(chain, &run);
    gl_run_end(&run.gl);
    g_object_unref(chain);
    return status;
  }
  run.started = true;

  run.loop = g_main_loop_new(nullptr, FALSE);
  GSource *driver = kov_unit_chain_source_new(chain);
  g_source_set_callback(driver, before_step, &run, nullptr);
  g_source_attach(driver, nullptr);
  guint sigint = g_unix_signal_add(SIGINT, on_sigint, &run);
  run.start = g_get_monotonic_time();
  GSource *deadline = nullptr;
  // Limits beyond a few years are no limit (and must not overflow).
  if (options.seconds > 0 && options.seconds < 1e8) {
    deadline = deadline_source(run.start + static_cast<gint64>(options.seconds * 1e6));
    g_source_set_callback(deadline, on_deadline, &run, nullptr);
    g_source_attach(deadline, nullptr);
  }
  const bool progress = isatty(STDERR_FILENO);
  guint progress_id = progress ? g_timeout_add(500, on_progress, &run) : 0;

  // A chain that ended or failed while starting has nothing more to run.
  if (!kov_unit_chain_is_eos(chain) && kov_unit_chain_get_error(chain) == nullptr)
    g_main_loop_run(run.loop);
  const double elapsed = (g_get_monotonic_time() - run.start) / 1e6;

  g_source_destroy(driver);
  g_source_unref(driver);
  if (deadline != nullptr) {
    g_source_destroy(deadline);
    g_source_unref(deadline);
  }
  if (!run.interrupted) g_source_remove(sigint);
  if (progress_id != 0) g_source_remove(progress_id);
  // Errors posted while stopping (a file that cannot be closed) still count.
  kov_unit_chain_all_units_stream_shutdown(chain);
  g_signal_handlers_disconnect_by_data(chain, &run);
  gl_run_end(&run.gl);
  if (progress) g_printerr("\r\033[K");  // clear the progress line
  g_printerr("%" G_GUINT64_FORMAT " frames in %.3f s, %.1f frames/s%s\n", run.frames, elapsed,
             elapsed > 0 ? run.frames / elapsed : 0.0, run.interrupted ? " (interrupted)" : "");
  g_main_loop_unref(run.loop);
  g_object_unref(chain);
  return run.status;
}
