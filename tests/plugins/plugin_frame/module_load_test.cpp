// SPDX-License-Identifier: LGPL-2.1-or-later
// Every plug-in module in the build's plug-in directory loads with
// dlopen(RTLD_NOW | RTLD_LOCAL) into a process that has not loaded the
// framework, as a Python extension module would load it: each module links
// the libraries it calls.
#include <gtest/gtest.h>

#include <test_support.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

std::vector<std::string> plugin_files() {
  std::vector<std::string> files;
  GDir *dir = g_dir_open(kovtest::plugin_dir().c_str(), 0, nullptr);
  if (dir == nullptr) return files;
  while (const gchar *name = g_dir_read_name(dir))
    if (g_str_has_suffix(name, ".so")) files.push_back(kovtest::plugin_dir() + "/" + name);
  g_dir_close(dir);
  std::sort(files.begin(), files.end());
  return files;
}

TEST(ModuleLoadTest, EveryModuleLoadsIntoAProcessWithoutTheFramework) {
  const std::vector<std::string> files = plugin_files();
  ASSERT_FALSE(files.empty());
  std::vector<std::string> argv = {kovtest::bin_dir() + "/kov_plugin_dlopen_probe"};
  std::string expected;
  for (const std::string &f : files) {
    argv.push_back(f);
    expected += "ok " + f + "\n";
  }
  kovtest::ChildResult r = kovtest::run_program(argv);
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, expected);
}

TEST(ModuleLoadTest, ProbeReportsAModuleThatDoesNotLoad) {
  const std::string bogus = kovtest::temp_dir() + "/not_a_module.so";
  g_file_set_contents(bogus.c_str(), "not an ELF file", -1, nullptr);
  kovtest::ChildResult r =
      kovtest::run_program({kovtest::bin_dir() + "/kov_plugin_dlopen_probe", bogus});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.out.rfind("FAIL " + bogus + ": ", 0), 0u) << r.out;
}

}  // namespace
