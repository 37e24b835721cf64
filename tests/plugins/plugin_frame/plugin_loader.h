/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Loads a plug-in module the way the manager does, without the manager: the
// test owns the type module and calls the two entry points itself, so it can
// look at the module before and after each step. Use in a child process: a
// module's types stay registered for the life of the process.
#ifndef KOV_TEST_PLUGIN_LOADER_H
#define KOV_TEST_PLUGIN_LOADER_H

#include <kovkit/kovkit.h>

#include <dlfcn.h>

#include <string>

namespace kovtest {

// A type module whose load and unload do nothing: the test calls
// kov_plugin_initialize itself.
GTypeModule *new_test_type_module(const char *name);

struct LoadedPlugin {
  void *handle = nullptr;
  GTypeModule *module = nullptr;

  // dlopen with local scope; false (and dlerror in error) on failure.
  bool open(const std::string &path, std::string *error = nullptr);
  // A symbol of this module, or nullptr.
  void *symbol(const char *name) const { return handle ? dlsym(handle, name) : nullptr; }
  // Calls a "<type>_get_type" export; 0 if the export is missing.
  GType get_type(const char *export_name) const;
  // kov_plugin_initialize, then kov_plugin_create; returns the driver (owned
  // by the caller) or nullptr if an entry point is missing.
  KovUnitDriver *initialize_and_create();
};

}  // namespace kovtest

#endif
