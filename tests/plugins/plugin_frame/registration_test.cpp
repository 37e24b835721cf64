// SPDX-License-Identifier: LGPL-2.1-or-later
// Registration and identity of every plug-in module in the build's plug-in
// directory: the types each module registers, its exports (and nothing
// else), its driver, and the identifier, label and flags of its unit. Rows
// whose module is not built are skipped, so modules are checked as soon as
// they exist.
#include <gtest/gtest.h>

#include <test_support.h>

#include "plugin_loader.h"

#include <elf.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <ostream>
#include <set>
#include <string>
#include <vector>

namespace {

struct PluginRow {
  const char *deliverable;
  std::vector<const char *> types;         // registration order; the driver type first
  std::vector<const char *> get_type_fns;  // same order as types
  const char *new_fn;                      // "<type>_new" export, or nullptr
  bool own_driver;
  const char *package, *name, *label;
  guint flags;
};

const std::vector<PluginRow> kPlugins = {
    {"demo_input", {"KovDemoInputDriver", "KovDemoInput"},
     {"kov_demo_input_driver_get_type", "kov_demo_input_get_type"}, nullptr, true, "input",
     "example", "Example Input", 0x40},
    {"jpeg_encode", {"KovJpegEncode"}, {"kov_jpeg_encode_get_type"}, nullptr, false, "convert",
     "jpeg_compress", "JPEG Compress", 0},
    {"pip_overlay", {"KovFilterPIP"}, {"kov_filter_pip_get_type"}, nullptr, false, "output", "pip",
     "Draw Picture-in-Picture", 4},
    {"bayer_demosaic", {"KovFastBayerFilter"}, {"kov_fast_bayer_filter_get_type"}, nullptr, false,
     "convert", "fast_debayer", "Fast Debayer", 0},
    {"gl_view", {"KovGlView"}, {"kov_gl_view_get_type"}, nullptr, false, "output", "opengl",
     "OpenGL", 4},
    {"image_flip", {"KovConvertFlip"}, {"kov_convert_flip_get_type"}, nullptr, false, "util",
     "flip", "Flip image", 0},
    {"rgb8_convert", {"KovRgb8Convert"}, {"kov_rgb8_convert_get_type"}, nullptr, false, "convert",
     "to_rgb8", "Convert to 8-bit RGB", 0},
    {"hough_detect", {"DetectHoughPlugin"}, {"detect_hough_plugin_get_type"},
     "detect_hough_plugin_new", false, "detect", "opencv.hough", "Detect Hough circles on image",
     4},
    {"canny_edge", {"ConvertCannyPlugin"}, {"convert_canny_plugin_get_type"},
     "convert_canny_plugin_new", false, "opencv", "convert_canny", "Do Canny on image with ROI",
     4},
    {"jpeg_decode", {"KovJpegDecode"}, {"kov_jpeg_decode_get_type"}, nullptr, false, "convert",
     "jpeg_decompress", "JPEG Decompress", 0},
    {"marker_overlay", {"ManualMarkerPlugin"}, {"manualmarker_plugin_get_type"},
     "manualmarker_plugin_new", false, "oxa", "manual-marker",
     "Draw marker at user defined position", 4},
};

void PrintTo(const PluginRow &row, std::ostream *os) { *os << row.deliverable; }

std::string module_path(const PluginRow &row) {
  return kovtest::plugin_dir() + "/" + row.deliverable + ".so";
}

bool built(const PluginRow &row) {
  return g_file_test(module_path(row).c_str(), G_FILE_TEST_EXISTS);
}

std::string unit_id(const PluginRow &row) { return std::string(row.package) + "." + row.name; }

class PluginIdentityTest : public ::testing::TestWithParam<PluginRow> {
 protected:
  void SetUp() override {
    if (!built(GetParam())) GTEST_SKIP() << GetParam().deliverable << ".so is not built";
  }
};

std::string param_name(const ::testing::TestParamInfo<PluginRow> &info) {
  return info.param.deliverable;
}

// In a fresh process: every get-type export answers 0 until
// kov_plugin_initialize has run, then the registered type, with the right
// name and parent, owned by the type module it was given.
TEST_P(PluginIdentityTest, TypesAreRegisteredOnlyByInitialize) {
  const PluginRow row = GetParam();
  kovtest::ChildResult r = kovtest::run_in_child([&row] {
    kovtest::LoadedPlugin plugin;
    std::string error;
    if (!plugin.open(module_path(row), &error)) {
      std::printf("dlopen: %s\n", error.c_str());
      return;
    }
    for (const char *fn : row.get_type_fns) {
      if (plugin.symbol(fn) == nullptr) std::printf("%s missing\n", fn);
      else if (plugin.get_type(fn) != 0) std::printf("%s is not 0 before initialize\n", fn);
    }
    plugin.module = kovtest::new_test_type_module(row.deliverable);
    auto initialize =
        reinterpret_cast<void (*)(GTypeModule *)>(plugin.symbol("kov_plugin_initialize"));
    if (initialize == nullptr) {
      std::printf("kov_plugin_initialize missing\n");
      return;
    }
    initialize(plugin.module);
    for (size_t i = 0; i < row.types.size(); ++i) {
      const GType type = plugin.get_type(row.get_type_fns[i]);
      const GType parent = (row.own_driver && i == 0) ? KOV_TYPE_UNIT_DRIVER : KOV_TYPE_UNIT;
      if (type == 0 || g_strcmp0(g_type_name(type), row.types[i]) != 0)
        std::printf("%s registered as %s\n", row.types[i], type ? g_type_name(type) : "nothing");
      else if (g_type_parent(type) != parent)
        std::printf("%s has parent %s\n", row.types[i], g_type_name(g_type_parent(type)));
      else if (g_type_get_plugin(type) != G_TYPE_PLUGIN(plugin.module))
        std::printf("%s is not registered in the given module\n", row.types[i]);
      else if (G_TYPE_IS_ABSTRACT(type))
        std::printf("%s is abstract\n", row.types[i]);
    }
  });
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, "");
}

// In a fresh process: kov_plugin_create returns the driver of the table, and
// that driver makes units of the module's type.
TEST_P(PluginIdentityTest, DriverOffersTheUnitOfTheTable) {
  const PluginRow row = GetParam();
  kovtest::ChildResult r = kovtest::run_in_child([&row] {
    kovtest::LoadedPlugin plugin;
    if (!plugin.open(module_path(row))) return (void)std::printf("dlopen failed\n");
    KovUnitDriver *driver = plugin.initialize_and_create();
    if (driver == nullptr) return (void)std::printf("no driver\n");
    const bool own = g_type_get_plugin(G_OBJECT_TYPE(driver)) == G_TYPE_PLUGIN(plugin.module);
    if (own != row.own_driver) std::printf("driver type %s\n", G_OBJECT_TYPE_NAME(driver));
    if (row.own_driver && g_strcmp0(G_OBJECT_TYPE_NAME(driver), row.types[0]) != 0)
      std::printf("driver type %s\n", G_OBJECT_TYPE_NAME(driver));
    std::printf("%s.%s\n", kov_unit_driver_get_package(driver), kov_unit_driver_get_name(driver));
    kov_unit_driver_update_unit_descriptions(driver);
    for (const GList *l = kov_unit_driver_get_unit_descriptions(driver); l; l = l->next) {
      auto *desc = KOV_UNIT_DESCRIPTION(l->data);
      std::printf("%s|%s|%u\n", kov_unit_description_get_id(desc),
                  kov_unit_description_get_label(desc), kov_unit_description_get_flags(desc));
      KovUnit *unit = kov_unit_driver_create_unit(driver, desc);
      std::printf("unit %s\n", unit ? G_OBJECT_TYPE_NAME(unit) : "none");
      if (unit) g_object_unref(unit);
    }
    if (row.new_fn != nullptr) {
      auto make = reinterpret_cast<gpointer (*)()>(plugin.symbol(row.new_fn));
      gpointer unit = make ? make() : nullptr;
      std::printf("new %s\n", unit ? G_OBJECT_TYPE_NAME(unit) : "none");
      if (unit) g_object_unref(g_object_ref_sink(unit));
    }
    g_object_unref(driver);
  });
  EXPECT_EQ(r.exit_status, 0) << r.err;
  std::string expected = unit_id(row) + "\n" + unit_id(row) + "|" + row.label + "|" +
                         std::to_string(row.flags) + "\nunit " + row.types.back() + "\n";
  if (row.new_fn != nullptr) expected += std::string("new ") + row.types.back() + "\n";
  EXPECT_EQ(r.out, expected);
}

// Through the framework's manager, as a user meets the unit.
TEST_P(PluginIdentityTest, ManagerKnowsTheUnit) {
  const PluginRow row = GetParam();
  kovtest::Ref<KovUnitManager> manager(kov_unit_manager_get_and_ref());
  const std::string id = unit_id(row);
  KovUnitDescription *desc = kov_unit_manager_find_unit_description(manager.get(), id.c_str());
  ASSERT_NE(desc, nullptr) << id;
  EXPECT_STREQ(kov_unit_description_get_label(desc), row.label);
  EXPECT_EQ(kov_unit_description_get_flags(desc), row.flags);
  kovtest::Ref<KovUnit> unit = kovtest::create_unit(id.c_str());
  ASSERT_TRUE(unit);
  EXPECT_STREQ(G_OBJECT_TYPE_NAME(unit.get()), row.types.back());
  EXPECT_STREQ(kov_unit_get_id(unit.get()), id.c_str());
  EXPECT_STREQ(kov_unit_get_name(unit.get()), row.label);
}

// The defined dynamic symbols of an ELF shared object with default
// visibility (functions and data), read from its .dynsym section.
template <typename Ehdr, typename Shdr, typename Sym, unsigned char (*Bind)(unsigned char),
          unsigned char (*Type)(unsigned char), unsigned char (*Vis)(unsigned char)>
std::set<std::string> exports_of(const std::string &image) {
  std::set<std::string> names;
  if (image.size() < sizeof(Ehdr)) return names;
  const auto *eh = reinterpret_cast<const Ehdr *>(image.data());
  if (eh->e_shoff == 0 || eh->e_shoff + size_t(eh->e_shnum) * sizeof(Shdr) > image.size())
    return names;
  const auto *sh = reinterpret_cast<const Shdr *>(image.data() + eh->e_shoff);
  for (unsigned i = 0; i < eh->e_shnum; ++i) {
    if (sh[i].sh_type != SHT_DYNSYM || sh[i].sh_link >= eh->e_shnum) continue;
    const Shdr &strtab = sh[sh[i].sh_link];
    if (sh[i].sh_offset + sh[i].sh_size > image.size() ||
        strtab.sh_offset + strtab.sh_size > image.size())
      return names;
    const auto *syms = reinterpret_cast<const Sym *>(image.data() + sh[i].sh_offset);
    const size_t count = sh[i].sh_size / sizeof(Sym);
    for (size_t k = 1; k < count; ++k) {
      const Sym &s = syms[k];
      const unsigned char type = Type(s.st_info), bind = Bind(s.st_info);
      if (s.st_shndx == SHN_UNDEF || Vis(s.st_other) != STV_DEFAULT) continue;
      if (bind != STB_GLOBAL && bind != STB_WEAK && bind != STB_GNU_UNIQUE) continue;
      if (type != STT_FUNC && type != STT_OBJECT && type != STT_GNU_IFUNC && type != STT_TLS)
        continue;
      if (s.st_name >= strtab.sh_size) continue;
      names.insert(image.data() + strtab.sh_offset + s.st_name);
    }
  }
  return names;
}

unsigned char bind32(unsigned char i) { return ELF32_ST_BIND(i); }
unsigned char type32(unsigned char i) { return ELF32_ST_TYPE(i); }
unsigned char vis32(unsigned char o) { return ELF32_ST_VISIBILITY(o); }
unsigned char bind64(unsigned char i) { return ELF64_ST_BIND(i); }
unsigned char type64(unsigned char i) { return ELF64_ST_TYPE(i); }
unsigned char vis64(unsigned char o) { return ELF64_ST_VISIBILITY(o); }

TEST_P(PluginIdentityTest, ExportsTheIdentityTableAndNothingElse) {
  const PluginRow row = GetParam();
  std::ifstream in(module_path(row), std::ios::binary);
  const std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GT(image.size(), size_t(EI_NIDENT));
  std::set<std::string> exported =
      image[EI_CLASS] == ELFCLASS64
          ? exports_of<Elf64_Ehdr, Elf64_Shdr, Elf64_Sym, bind64, type64, vis64>(image)
          : exports_of<Elf32_Ehdr, Elf32_Shdr, Elf32_Sym, bind32, type32, vis32>(image);
  // Names the toolchain adds to every shared object (and the sanitizer
  // runtime's hooks in instrumented builds) are not the module's own.
  for (auto it = exported.begin(); it != exported.end();)
    it = (it->rfind("__", 0) == 0 || *it == "_init" || *it == "_fini") ? exported.erase(it)
                                                                       : std::next(it);
  std::set<std::string> expected = {"kov_plugin_initialize", "kov_plugin_create"};
  for (const char *fn : row.get_type_fns) expected.insert(fn);
  if (row.new_fn != nullptr) expected.insert(row.new_fn);
  EXPECT_EQ(exported, expected);
}

INSTANTIATE_TEST_SUITE_P(Plugins, PluginIdentityTest, ::testing::ValuesIn(kPlugins), param_name);

TEST(PluginDirectoryTest, TheTwoFoundationModulesAreBuilt) {
  EXPECT_TRUE(built(kPlugins[0])) << "demo_input";
  EXPECT_TRUE(built(kPlugins[5])) << "image_flip";
}

}  // namespace
