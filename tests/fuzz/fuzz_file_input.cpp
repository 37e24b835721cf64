// SPDX-License-Identifier: LGPL-2.1-or-later
// Fuzz target for input.file: the input's first bytes choose the file's
// extension (.png, .jpg, .mjpg or raw), the raw format and size and whether
// to loop; the rest is the file's contents. The unit reads it and produces
// up to eight frames.
#include "fuzz_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include <glib/gstdio.h>

namespace {

const char *const kExtensions[] = {"png", "jpg", "mjpg", "raw"};
const char *const kRawFormats[] = {"GREY", "RGB3", "BGR4", "BA81", "YUYV", "I420", "LG16"};

const std::string &folder() {
  static const std::string dir = [] {
    gchar *d = g_dir_make_tmp("kovfuzz-XXXXXX", nullptr);
    std::string s = d != nullptr ? d : "/tmp";
    g_free(d);
    std::atexit([] { g_rmdir(folder().c_str()); });
    return s;
  }();
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  kovfuzz::init();
  kovfuzz::Reader in(data, size);
  const uint8_t kind = in.u8();
  const uint8_t raw_pick = in.u8();
  const std::string raw_format =
      raw_pick < 0xf0 ? kRawFormats[raw_pick % 7] : in.bytes(raw_pick - 0xf0);
  const int raw_width = in.u8() | in.u8() << 8, raw_height = in.u8() | in.u8() << 8;
  const bool loop = in.u8() & 1;
  const std::string contents = in.rest();

  const std::string path = folder() + "/frame." + kExtensions[kind % 4];
  FILE *f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return 0;
  std::fwrite(contents.data(), 1, contents.size(), f);
  std::fclose(f);

  KovUnitManager *manager = kov_unit_manager_get_and_ref();
  KovUnit *unit = kov_unit_manager_create_unit_by_id(manager, "input.file");
  g_object_unref(manager);
  g_object_ref_sink(unit);
  kovfuzz::check_frames(unit);
  kov_unit_control_set_string(kov_unit_find_control(unit, "raw-format"), raw_format.c_str(), nullptr);
  kov_unit_control_set_int(kov_unit_find_control(unit, "raw-width"), raw_width, nullptr);
  kov_unit_control_set_int(kov_unit_find_control(unit, "raw-height"), raw_height, nullptr);
  kov_unit_control_set_boolean(kov_unit_find_control(unit, "loop"), loop, nullptr);
  kov_unit_control_set_string(kov_unit_find_control(unit, "location"), path.c_str(), nullptr);
  if (kov_unit_stream_init(unit, nullptr) == 0) {
    for (int i = 0; i < 8 && kov_unit_produce_pending_frame(unit); ++i) {
    }
    kov_unit_stream_shutdown(unit);
  }
  g_object_unref(unit);
  unlink(path.c_str());
  return 0;
}
