// SPDX-License-Identifier: LGPL-2.1-or-later
// kovkit-run: builds a chain from its text description and runs it.
//
//   kovkit-run --list
//   kovkit-run --describe ID
//   kovkit-run --devices
//   kovkit-run [-n FRAMES] [--seconds S] [--set ID.CONTROL=VALUE ...] [--meta]
//              [--gl-snapshot PATTERN [--gl-every N]] "CHAIN"
//
// Frames are counted on the chain's "frame-ready" (the last unit's output).
// The run ends after FRAMES frames, after S seconds, when the chain ends
// (every source has delivered its last frame), on Ctrl-C (SIGINT), or when a
// unit posts an error (exit status 1). Usage and chain errors print one line
// and exit with status 2. The summary goes to standard error, --meta lines
// to standard output.
#include <clocale>
#include <string>

#include <kovkit/kovkit.h>

#include "run_loop.h"

#ifdef KOV_HAVE_GST
#include <kovkit/gst_devices.h>
#endif

namespace {

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

// Each video capture device GStreamer finds, with its formats and sizes.
int list_devices() {
#ifdef KOV_HAVE_GST
  GError *error = nullptr;
  if (!gst_init_check(nullptr, nullptr, &error)) {
    const int status = fail("GStreamer cannot start: %s", error->message);
    g_error_free(error);
    return status;
  }
  GList *devices = kov::gst::video_capture_devices();
  for (GList *l = devices; l != nullptr; l = l->next) {
    auto *device = GST_DEVICE(l->data);
    gchar *name = gst_device_get_display_name(device);
    gchar *path = kov::gst::device_path(device);
    gchar *formats = kov::gst::describe_device_formats(device, "  ");
    if (path != nullptr)
      g_print("%s (%s)\n%s", name, path, formats);
    else
      g_print("%s\n%s", name, formats);
    g_free(formats);
    g_free(path);
    g_free(name);
  }
  if (devices == nullptr) g_print("no video capture devices\n");
  g_list_free_full(devices, gst_object_unref);
#else
  g_print("no video capture devices\n");
#endif
  return kExitOk;
}

}  // namespace

int main(int argc, char **argv) {
  // GLib's messages quote file names with the locale's characters.
  setlocale(LC_CTYPE, "");
  gboolean list = FALSE, meta = FALSE, version = FALSE, devices = FALSE;
  gchar *describe = nullptr;
  gint64 frames = 0;
  gdouble seconds = 0;
  gchar **settings = nullptr;
  gchar *gl_snapshot_pattern = nullptr;
  gint gl_every = 1;
  const GOptionEntry entries[] = {
      {"version", 0, 0, G_OPTION_ARG_NONE, &version,
       "Print the version and the vector instructions the pixel routines use", nullptr},
      {"list", 0, 0, G_OPTION_ARG_NONE, &list, "List the known units (identifier, label)", nullptr},
      {"describe", 0, 0, G_OPTION_ARG_STRING, &describe, "Show the controls and flags of a unit",
       "ID"},
      {"devices", 0, 0, G_OPTION_ARG_NONE, &devices,
       "List the video capture devices with their formats and sizes", nullptr},
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
  } else if (version) {
    g_print("kovkit-run %s\nSIMD: %s\n", KOV_VERSION, kov_simd_level_name(kov_simd_level()));
  } else if (devices) {
    status = argc > 1 ? fail("unexpected argument \"%s\"", argv[1]) : list_devices();
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
    RunOptions options;
    options.text = argv[1];
    options.settings = settings;
    options.frames = frames;
    options.seconds = seconds;
    options.meta = meta;
    options.gl_pattern = gl_snapshot_pattern;
    options.gl_every = gl_every;
    status = run_chain(options);
    g_object_unref(manager);
  }
  g_option_context_free(context);
  g_free(describe);
  g_strfreev(settings);
  g_free(gl_snapshot_pattern);
  return status;
}
