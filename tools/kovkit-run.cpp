// kovkit-run: builds a chain from its text description and runs it.
//
//   kovkit-run --list
//   kovkit-run --describe ID
//   kovkit-run [-n FRAMES] [--seconds S] [--set ID.CONTROL=VALUE ...] [--meta]
//              [--gl-snapshot PATTERN [--gl-every N]] "CHAIN"
//
// Frames are counted on the chain's "frame-ready" (the last unit's output).
// The run ends after FRAMES frames, after S seconds, when every source has
// delivered its last frame, on Ctrl-C (SIGINT), or when an "output.file"
// unit fails to write (exit status 1). Usage and chain errors print one line
// and exit with status 2. The summary goes to standard error, --meta lines
// to standard output.
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>
#include <unistd.h>

#include <kovkit/kovkit.h>

namespace {

volatile sig_atomic_t interrupted = 0;

void on_sigint(int) { interrupted = 1; }

constexpr int kExitOk = 0;
constexpr int kExitOutputError = 1;
constexpr int kExitUsage = 2;

int fail(const char *format, ...) G_GNUC_PRINTF(1, 2);
int fail(const char *format, ...) {
  va_list args;
  va_start(args, format);
  gchar *message = g_strdup_vprintf(format, args);
  va_end(args);
  g_printerr("kovkit-run: %s\n", message);
  g_free(message);
  return kExitUsage;
}

int list_units(KovUnitManager *manager) {
  GList *descriptions = kov_unit_manager_get_unit_descriptions(manager);
  for (GList *l = descriptions; l != nullptr; l = l->next) {
    auto *desc = KOV_UNIT_DESCRIPTION(l->data);
    g_print("%s\t%s\n", kov_unit_description_get_id(desc), kov_unit_description_get_label(desc));
  }
  g_list_free(descriptions);
  return kExitOk;
}

std::string flag_names(guint flags) {
  std::string names;
  const struct {
    guint bit;
    const char *name;
  } known[] = {{KOV_UNIT_RENDERS_GL, "renders-gl"},
               {KOV_UNIT_EVENT_METHOD_FD, "event-fd"},
               {KOV_UNIT_EVENT_METHOD_TIMEOUT, "event-timeout"}};
  for (const auto &k : known) {
    if ((flags & k.bit) == 0) continue;
    if (!names.empty()) names += ",";
    names += k.name;
    flags &= ~k.bit;
  }
  if (flags != 0) {
    if (!names.empty()) names += ",";
    char hex[16];
    g_snprintf(hex, sizeof hex, "0x%x", flags);
    names += hex;
  }
  return names.empty() ? "none" : names;
}

std::string describe_range(KovUnitControl *control) {
  switch (kov_unit_control_get_control_type(control)) {
    case KOV_UNIT_CONTROL_TYPE_INT: {
      gchar *text = g_strdup_printf("%.0f to %.0f, step %.0f", kov_unit_control_get_min(control),
                                    kov_unit_control_get_max(control),
                                    kov_unit_control_get_step(control));
      std::string s = text;
      g_free(text);
      return s;
    }
    case KOV_UNIT_CONTROL_TYPE_FLOAT: {
      gchar *text = g_strdup_printf("%g to %g, step %g", kov_unit_control_get_min(control),
                                    kov_unit_control_get_max(control),
                                    kov_unit_control_get_step(control));
      std::string s = text;
      g_free(text);
      return s;
    }
    case KOV_UNIT_CONTROL_TYPE_ENUM: {
      guint n = 0;
      const KovUnitControlEnumEntry *entries = kov_unit_control_get_enum_entries(control, &n);
      std::string s;
      for (guint i = 0; i < n; i++) {
        if (!s.empty()) s += " ";
        gchar *entry = g_strdup_printf("%d=%s", entries[i].value, entries[i].nick);
        s += entry;
        g_free(entry);
      }
      return s;
    }
    case KOV_UNIT_CONTROL_TYPE_BOOLEAN:
      return "true/false";
    default:
      return "text";
  }
}

int describe_unit(KovUnitManager *manager, const char *id) {
  KovUnitDescription *desc = kov_unit_manager_find_unit_description(manager, id);
  if (desc == nullptr) return fail("unknown unit \"%s\" (see --list)", id);
  KovUnit *unit = kov_unit_manager_create_unit_by_id(manager, id);
  if (unit == nullptr) return fail("unit \"%s\" could not be created", id);
  g_object_ref_sink(unit);
  g_print("%s\t%s\n", kov_unit_description_get_id(desc), kov_unit_description_get_label(desc));
  g_print("flags: %s\n", flag_names(kov_unit_description_get_flags(desc)).c_str());
  const GList *controls = kov_unit_get_controls(unit);
  g_print("controls:%s\n", controls == nullptr ? " none" : "");
  for (const GList *l = controls; l != nullptr; l = l->next) {
    auto *control = KOV_UNIT_CONTROL(l->data);
    gchar *def = kov_unit_control_value_to_string(control, kov_unit_control_get_default(control));
    std::string range = describe_range(control);
    g_print("  %s\t\"%s\"\t%s\t%s\tdefault %s%s\n", kov_unit_control_get_id(control),
            kov_unit_control_get_label(control),
            kov_unit_control_type_name(kov_unit_control_get_control_type(control)), range.c_str(),
            def != nullptr ? def : "", kov_unit_control_is_enabled(control) ? "" : " (disabled)");
    g_free(def);
  }
  GList *formats = kov_unit_get_output_formats(unit);
  if (formats != nullptr) {
    g_print("formats:");
    for (GList *l = formats; l != nullptr; l = l->next) {
      gchar code[11];
      g_print(" %s", kov_pixel_format_to_string(KOV_UNIT_FORMAT(l->data)->pixelformat, code));
    }
    g_print("\n");
  }
  g_list_free(formats);
  g_object_unref(unit);
  return kExitOk;
}

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

struct RunState {
  guint64 frames = 0;
  guint64 limit = 0;  // 0: no limit
  gboolean meta = FALSE;
};

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

void on_chain_frame_ready(KovUnitChain *, KovFrameBuffer *frame, KovUnitFormat *,
                          gpointer user_data) {
  auto *state = static_cast<RunState *>(user_data);
  if (state->meta) {
    std::string line = "frame " + std::to_string(state->frames) + ":";
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
  state->frames++;
}

// ---- GL view ---------------------------------------------------------------
// Chains with units that draw with GL (kov_unit_chain_has_gl_units) need the
// framework's GL view made current while frames flow: the units make and
// fill their textures as frames arrive. With --gl-snapshot PATTERN the view
// is drawn after every chain frame (or every Nth, --gl-every N) and written as
// a PNG file named by the frame's number. Without a GL context the GL units
// pass their frames on without drawing; that is only a warning unless
// snapshots were asked for.
gchar *gl_snapshot_pattern = nullptr;
gint gl_every = 1;

struct GlRun {
  KovGLView *view = nullptr;
  guint64 frame_number = 0;
  std::vector<guint8> pixels;
  GError *error = nullptr;  // the first snapshot that could not be written
};

void gl_snapshot(GlRun *gl) {
  const guint64 number = gl->frame_number++;
  if (gl->error != nullptr || number % static_cast<guint64>(gl_every) != 0) return;
  if (kov_gl_view_render(gl->view, 0, 0) != 0) {
    g_set_error(&gl->error, KOV_ERROR, KOV_ERROR_FAILED,
                "--gl-snapshot: no GL unit of the chain has a frame size to draw");
    return;
  }
  const gint w = kov_gl_view_get_width(gl->view), h = kov_gl_view_get_height(gl->view);
  gl->pixels.resize(static_cast<gsize>(w) * h * 4);
  gchar *path = kov_frame_pattern_format(gl_snapshot_pattern, number);
  if (kov_gl_view_read_pixels(gl->view, gl->pixels.data(), static_cast<gsize>(w) * 4))
    kov_image_write_png(path, KOV_IMAGE_FORMAT_RGBA, w, h, w * 4, gl->pixels.data(), &gl->error);
  g_free(path);
}

void on_gl_frame_ready(KovUnitChain *, KovFrameBuffer *, KovUnitFormat *, gpointer user_data) {
  gl_snapshot(static_cast<GlRun *>(user_data));
}

bool gl_run_begin(KovUnitChain *chain, GlRun *gl, GError **error) {
  if (gl_every < 1) {
    g_set_error(error, KOV_ERROR, KOV_ERROR_BAD_VALUE, "--gl-every must be 1 or more");
    return false;
  }
  if (gl_snapshot_pattern != nullptr) {
    gboolean has_number = FALSE;
    GError *pattern_error = nullptr;
    if (!kov_frame_pattern_check(gl_snapshot_pattern, &has_number, &pattern_error)) {
      g_set_error(error, KOV_ERROR, KOV_ERROR_BAD_VALUE, "--gl-snapshot: %s",
                  pattern_error->message);
      g_error_free(pattern_error);
      return false;
    }
    if (!kov_unit_chain_has_gl_units(chain)) {
      g_set_error(error, KOV_ERROR, KOV_ERROR_BAD_VALUE,
                  "--gl-snapshot: the chain has no unit that renders GL");
      return false;
    }
  } else if (!kov_unit_chain_has_gl_units(chain)) {
    return true;
  }
  GError *view_error = nullptr;
  gl->view = kov_gl_view_new_offscreen(&view_error);
  if (gl->view == nullptr) {
    if (gl_snapshot_pattern != nullptr) {
      g_propagate_error(error, view_error);
      return false;
    }
    g_printerr("kovkit-run: warning: %s; GL units will not draw\n", view_error->message);
    g_error_free(view_error);
    return true;
  }
  kov_gl_view_set_chain(gl->view, chain);
  kov_gl_view_make_current(gl->view);
  if (gl_snapshot_pattern != nullptr)
    g_signal_connect(chain, "frame-ready", G_CALLBACK(on_gl_frame_ready), gl);
  return true;
}

void gl_run_before_iterate(KovUnitChain *, GlRun *gl) {
  if (gl->view != nullptr) kov_gl_view_make_current(gl->view);
}

void gl_run_end(KovUnitChain *chain, GlRun *gl) {
  if (gl->error != nullptr) {
    g_printerr("kovkit-run: %s\n", gl->error->message);
    g_clear_error(&gl->error);
  }
  if (gl->view != nullptr) {
    g_signal_handlers_disconnect_by_func(chain, reinterpret_cast<gpointer>(on_gl_frame_ready), gl);
    kov_gl_view_free(gl->view);
    gl->view = nullptr;
  }
}
// ---- end of GL view --------------------------------------------------------

// The first write error of an "output.file" unit of the chain, if any.
const GError *output_error(KovUnitChain *chain) {
  for (const GList *l = kov_unit_chain_get_units(chain); l != nullptr; l = l->next) {
    auto *unit = KOV_UNIT(l->data);
    if (g_strcmp0(kov_unit_get_id(unit), "output.file") != 0) continue;
    const GError *error = kov_file_unit_get_error(unit);
    if (error != nullptr) return error;
  }
  return nullptr;
}

// TRUE when every source of the chain has delivered its last frame.
bool sources_done(KovUnitChain *chain) {
  bool any = false;
  for (const GList *l = kov_unit_chain_get_units(chain); l != nullptr; l = l->next) {
    auto *unit = KOV_UNIT(l->data);
    if (!kov_unit_is_source(unit)) continue;
    any = true;
    if (!kov_file_input_at_end(unit)) return false;
  }
  return any;
}

void print_progress(const RunState &state, double seconds) {
  g_printerr("\r%" G_GUINT64_FORMAT " frames, %.1f s, %.1f frames/s   ", state.frames, seconds,
             seconds > 0 ? state.frames / seconds : 0.0);
}

int run_chain(const char *text, gchar **settings, gint64 frames, double seconds, gboolean meta) {
  KovUnitChain *chain = kov_unit_chain_new();
  g_object_ref_sink(chain);
  GError *error = nullptr;
  int status = kExitOk;
  RunState state;
  state.limit = frames > 0 ? static_cast<guint64>(frames) : 0;
  state.meta = meta;
  GlRun gl;

  if (!kov_unit_chain_load_from_str(chain, text, &error)) {
    status = fail("%s", error->message);
  } else {
    for (gchar **s = settings; s != nullptr && *s != nullptr && status == kExitOk; s++)
      if (!apply_setting(chain, *s, &error)) status = fail("%s", error->message);
  }
  if (status == kExitOk) {
    // A file source that cannot give frames is reported with its own reason.
    for (const GList *l = kov_unit_chain_get_units(chain); l != nullptr; l = l->next) {
      auto *unit = KOV_UNIT(l->data);
      const GError *file_error = kov_file_unit_get_error(unit);
      if (g_strcmp0(kov_unit_get_id(unit), "input.file") == 0 && file_error != nullptr) {
        status = fail("input.file: %s", file_error->message);
        break;
      }
    }
  }
  if (status == kExitOk && !gl_run_begin(chain, &gl, &error))
    status = fail("%s", error->message);
  if (status != kExitOk) {
    g_clear_error(&error);
    g_object_unref(chain);
    return status;
  }

  gulong handler = g_signal_connect(chain, "frame-ready", G_CALLBACK(on_chain_frame_ready), &state);
  if (!kov_unit_chain_all_units_stream_init_full(chain, &error)) {
    // File units print their own reason when they refuse to start.
    bool printed = false;
    for (const GList *l = kov_unit_chain_get_units(chain); l != nullptr; l = l->next)
      if (kov_file_unit_get_error(KOV_UNIT(l->data)) != nullptr) printed = true;
    if (!printed) fail("%s", error->message);
    g_clear_error(&error);
    g_signal_handler_disconnect(chain, handler);
    gl_run_end(chain, &gl);
    g_object_unref(chain);
    return kExitUsage;
  }

  struct sigaction action = {};
  action.sa_handler = on_sigint;
  action.sa_flags = SA_RESETHAND;  // a second Ctrl-C ends the program at once
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);

  const bool progress = isatty(STDERR_FILENO);
  const gint64 start = g_get_monotonic_time();
  // Limits beyond a few years are no limit (and must not overflow).
  const gint64 deadline =
      seconds > 0 && seconds < 1e8 ? start + static_cast<gint64>(seconds * 1e6) : G_MAXINT64;
  gint64 last_progress = start;
  while (!interrupted) {
    gl_run_before_iterate(chain, &gl);
    gint64 due = kov_unit_chain_iterate(chain);
    if (output_error(chain) != nullptr || gl.error != nullptr) {
      status = kExitOutputError;
      break;
    }
    if (state.limit > 0 && state.frames >= state.limit) break;
    gint64 mono = g_get_monotonic_time();
    if (mono >= deadline) break;
    if (due == G_MAXINT64 || sources_done(chain)) break;
    if (progress && mono - last_progress >= 500000) {
      print_progress(state, (mono - start) / 1e6);
      last_progress = mono;
    }
    // Sleep until the next source is due, in short steps so that Ctrl-C and
    // the time limit are noticed.
    gint64 wait = due - kov_time_now();
    wait = MIN(wait, deadline - mono);
    if (wait > 0) g_usleep(static_cast<gulong>(MIN(wait, 50000)));
  }
  const double elapsed = (g_get_monotonic_time() - start) / 1e6;
  signal(SIGINT, SIG_DFL);

  kov_unit_chain_all_units_stream_shutdown(chain);
  if (status == kExitOk && output_error(chain) != nullptr) status = kExitOutputError;
  g_signal_handler_disconnect(chain, handler);
  gl_run_end(chain, &gl);
  if (progress) g_printerr("\r\033[K");  // clear the progress line
  g_printerr("%" G_GUINT64_FORMAT " frames in %.3f s, %.1f frames/s%s\n", state.frames, elapsed,
             elapsed > 0 ? state.frames / elapsed : 0.0, interrupted ? " (interrupted)" : "");
  g_object_unref(chain);
  return status;
}

}  // namespace

int main(int argc, char **argv) {
  // GLib's messages quote file names with the locale's characters.
  setlocale(LC_CTYPE, "");
  gboolean list = FALSE, meta = FALSE;
  gchar *describe = nullptr;
  gint64 frames = 0;
  gdouble seconds = 0;
  gchar **settings = nullptr;
  const GOptionEntry entries[] = {
      {"list", 0, 0, G_OPTION_ARG_NONE, &list, "List the known units (identifier, label)", nullptr},
      {"describe", 0, 0, G_OPTION_ARG_STRING, &describe, "Show the controls and flags of a unit",
       "ID"},
      {"frames", 'n', 0, G_OPTION_ARG_INT64, &frames, "Stop after FRAMES frames", "FRAMES"},
      {"seconds", 0, 0, G_OPTION_ARG_DOUBLE, &seconds, "Stop after S seconds", "S"},
      {"set", 0, 0, G_OPTION_ARG_STRING_ARRAY, &settings,
       "Set a control of a unit of the chain (repeatable)", "ID.CONTROL=VALUE"},
      {"meta", 0, 0, G_OPTION_ARG_NONE, &meta, "Print the metadata of every frame", nullptr},
      {"gl-snapshot", 0, 0, G_OPTION_ARG_FILENAME, &gl_snapshot_pattern,
       "Write the GL view as PNG after every frame", "PATTERN"},
      {"gl-every", 0, 0, G_OPTION_ARG_INT, &gl_every, "With --gl-snapshot: every Nth frame", "N"},
      {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr}};
  GOptionContext *context = g_option_context_new("\"CHAIN\"");
  g_option_context_set_summary(context,
                               "Runs a chain of kovkit units, such as\n"
                               "  kovkit-run -n 30 \"input.testsrc ! util.flip flip-h=true ! "
                               "output.file location=out/%03d.png\"");
  g_option_context_add_main_entries(context, entries, nullptr);
  GError *error = nullptr;
  int status = kExitOk;
  if (!g_option_context_parse(context, &argc, &argv, &error)) {
    status = fail("%s (see --help)", error->message);
    g_error_free(error);
  } else if (frames < 0) {
    status = fail("-n FRAMES must not be negative");
  } else if (seconds < 0) {
    status = fail("--seconds must not be negative");
  } else if (list || describe != nullptr) {
    if (argc > 1) {
      status = fail("unexpected argument \"%s\"", argv[1]);
    } else {
      KovUnitManager *manager = kov_unit_manager_get_and_ref();
      status = list ? list_units(manager) : describe_unit(manager, describe);
      g_object_unref(manager);
    }
  } else if (argc != 2) {
    status = argc < 2 ? fail("no chain given (see --help)")
                      : fail("give the chain as one argument in quotes; unexpected \"%s\"", argv[2]);
  } else {
    KovUnitManager *manager = kov_unit_manager_get_and_ref();
    status = run_chain(argv[1], settings, frames, seconds, meta);
    g_object_unref(manager);
  }
  g_option_context_free(context);
  g_free(describe);
  g_strfreev(settings);
  return status;
}
