// SPDX-License-Identifier: LGPL-2.1-or-later
// KovUnitManager: the process-wide registry of unit drivers. On creation it
// registers the built-in units and loads every plug-in module from the
// directories in KOV_PLUGIN_PATH and from the plug-in directory of this
// library: <libdir>/kovkit-6/plugins, and <build>/plugins for the library of
// a build tree (only that build's own library, at its place). A module that fails to load is reported by name and skipped.
#include <kovkit/manager.h>
#include <kovkit/driver.h>
#include <kovkit/unit.h>

#include <dlfcn.h>
#include <glib/gstdio.h>
#include <gmodule.h>

#include <algorithm>
#include <string>
#include <vector>

#include "units/builtin.h"

/* ---- plug-in modules ---------------------------------------------------- */

typedef void (*KovPluginInitializeFunc)(GTypeModule *module);
typedef KovUnitDriver *(*KovPluginCreateFunc)(GTypeModule *module);

typedef struct {
  GTypeModule parent;
  GModule *library;
  KovPluginInitializeFunc initialize;
  gboolean initialized;
} KovPluginModule;

typedef struct {
  GTypeModuleClass parent_class;
} KovPluginModuleClass;

G_DEFINE_TYPE(KovPluginModule, kov_plugin_module, G_TYPE_TYPE_MODULE)

// The library is opened before the module object exists; loading only
// registers the types, once. Modules stay resident.
static gboolean kov_plugin_module_load(GTypeModule *type_module) {
  auto *module = reinterpret_cast<KovPluginModule *>(type_module);
  if (!module->initialized) {
    module->initialized = TRUE;
    module->initialize(type_module);
  }
  return TRUE;
}

static void kov_plugin_module_unload(GTypeModule *) {}

static void kov_plugin_module_class_init(KovPluginModuleClass *klass) {
  GTypeModuleClass *module_class = G_TYPE_MODULE_CLASS(klass);
  module_class->load = kov_plugin_module_load;
  module_class->unload = kov_plugin_module_unload;
}

static void kov_plugin_module_init(KovPluginModule *) {}

/* ---- the manager -------------------------------------------------------- */

struct _KovUnitManager {
  GObject parent;
  GList *drivers;       // KovUnitDriver, owned
  GHashTable *by_id;    // id -> KovUnitDescription (borrowed from its driver)
  GList *plugin_dirs;   // gchar*, owned
  GHashTable *loaded;   // canonical path -> TRUE
  GList *modules;       // KovPluginModule, owned, never released
};

typedef struct {
  GObjectClass parent_class;
} KovUnitManagerClass;

G_DEFINE_TYPE(KovUnitManager, kov_unit_manager, G_TYPE_OBJECT)

static void kov_unit_manager_finalize(GObject *object) {
  KovUnitManager *m = KOV_UNIT_MANAGER(object);
  g_hash_table_unref(m->by_id);
  g_list_free_full(m->drivers, g_object_unref);
  g_list_free_full(m->plugin_dirs, g_free);
  g_hash_table_unref(m->loaded);
  g_list_free(m->modules);  // type modules must never be finalized
  G_OBJECT_CLASS(kov_unit_manager_parent_class)->finalize(object);
}

static void kov_unit_manager_class_init(KovUnitManagerClass *klass) {
  G_OBJECT_CLASS(klass)->finalize = kov_unit_manager_finalize;
}

static void kov_unit_manager_init(KovUnitManager *m) {
  m->by_id = g_hash_table_new(g_str_hash, g_str_equal);
  m->loaded = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, nullptr);
}

namespace {

// Directory of the file this library was loaded from.
std::string library_dir() {
  Dl_info info;
  if (dladdr(reinterpret_cast<void *>(&kov_unit_manager_get_and_ref), &info) == 0 ||
      info.dli_fname == nullptr)
    return {};
  gchar *path = g_canonicalize_filename(info.dli_fname, nullptr);
  gchar *dir = g_path_get_dirname(path);
  std::string result = dir;
  g_free(dir);
  g_free(path);
  return result;
}

// TRUE when both names lead to the same folder (symbolic links followed).
[[maybe_unused]] bool same_dir(const std::string &a, const char *b) {
  GStatBuf sa, sb;
  return g_stat(a.c_str(), &sa) == 0 && g_stat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

void add_dir(KovUnitManager *m, const std::string &dir) {
  if (dir.empty()) return;
  for (GList *l = m->plugin_dirs; l != nullptr; l = l->next)
    if (dir == static_cast<const gchar *>(l->data)) return;
  m->plugin_dirs = g_list_append(m->plugin_dirs, g_strdup(dir.c_str()));
}

void find_plugin_dirs(KovUnitManager *m) {
  const gchar *env = g_getenv("KOV_PLUGIN_PATH");
  if (env != nullptr) {
    gchar **parts = g_strsplit(env, ":", -1);
    for (gchar **part = parts; *part != nullptr; ++part)
      if (**part != '\0') add_dir(m, *part);
    g_strfreev(parts);
  }
  const std::string lib = library_dir();
  if (lib.empty()) return;
#if defined(KOV_BUILD_LIB_DIR) && defined(KOV_PLUGIN_BUILD_DIR)
  // The library of a build tree loads the plug-ins built with it. Both
  // folders are fixed when the library is built: an installed copy lives in
  // another folder and never looks there, nor in any folder it does not own.
  if (same_dir(lib, KOV_BUILD_LIB_DIR) && g_file_test(KOV_PLUGIN_BUILD_DIR, G_FILE_TEST_IS_DIR))
    add_dir(m, KOV_PLUGIN_BUILD_DIR);
#endif
  const std::string installed = lib + "/" KOV_PLUGIN_INSTALL_SUBDIR;
  if (g_file_test(installed.c_str(), G_FILE_TEST_IS_DIR)) add_dir(m, installed);
}

void load_dir(KovUnitManager *m, const gchar *dir) {
  GDir *handle = g_dir_open(dir, 0, nullptr);
  if (handle == nullptr) return;
  std::vector<std::string> files;
  while (const gchar *name = g_dir_read_name(handle))
    if (g_str_has_suffix(name, ".so")) files.emplace_back(name);
  g_dir_close(handle);
  std::sort(files.begin(), files.end());
  for (const std::string &name : files) {
    gchar *path = g_build_filename(dir, name.c_str(), nullptr);
    GError *error = nullptr;
    if (!kov_unit_manager_load_module(m, path, &error)) {
      g_printerr("kovkit: skipping plug-in %s: %s\n", path, error->message);
      g_error_free(error);
    }
    g_free(path);
  }
}

gint compare_descriptions(gconstpointer a, gconstpointer b) {
  return g_strcmp0(kov_unit_description_get_id(KOV_UNIT_DESCRIPTION(const_cast<gpointer>(a))),
                   kov_unit_description_get_id(KOV_UNIT_DESCRIPTION(const_cast<gpointer>(b))));
}

}  // namespace

KovUnitManager *kov_unit_manager_get_and_ref(void) {
  static gsize initialized = 0;
  static KovUnitManager *instance = nullptr;
  if (g_once_init_enter(&initialized)) {
    auto *m = KOV_UNIT_MANAGER(g_object_new(kov_unit_manager_get_type(), nullptr));
    instance = m;
    kov_builtin_units_register(m);
    find_plugin_dirs(m);
    for (GList *l = m->plugin_dirs; l != nullptr; l = l->next)
      load_dir(m, static_cast<const gchar *>(l->data));
    g_once_init_leave(&initialized, 1);
  }
  return KOV_UNIT_MANAGER(g_object_ref(instance));
}

gboolean kov_unit_manager_load_module(KovUnitManager *manager, const gchar *path,
                                      GError **error) {
  g_return_val_if_fail(KOV_IS_UNIT_MANAGER(manager) && path != nullptr, FALSE);
  gchar *canonical = g_canonicalize_filename(path, nullptr);
  if (g_hash_table_contains(manager->loaded, canonical)) {
    g_free(canonical);
    return TRUE;
  }
  GModule *library = g_module_open(canonical, G_MODULE_BIND_LOCAL);
  if (library == nullptr) {
    g_set_error(error, KOV_ERROR, KOV_ERROR_PLUGIN, "cannot load: %s", g_module_error());
    g_free(canonical);
    return FALSE;
  }
  gpointer initialize = nullptr, create = nullptr;
  if (!g_module_symbol(library, "kov_plugin_initialize", &initialize) || initialize == nullptr ||
      !g_module_symbol(library, "kov_plugin_create", &create) || create == nullptr) {
    g_set_error(error, KOV_ERROR, KOV_ERROR_PLUGIN,
                "not a plug-in (kov_plugin_initialize or kov_plugin_create is missing)");
    g_module_close(library);
    g_free(canonical);
    return FALSE;
  }
  g_module_make_resident(library);
  g_hash_table_add(manager->loaded, canonical);

  auto *module = static_cast<KovPluginModule *>(g_object_new(kov_plugin_module_get_type(), nullptr));
  module->library = library;
  module->initialize = reinterpret_cast<KovPluginInitializeFunc>(initialize);
  gchar *base = g_path_get_basename(path);
  g_type_module_set_name(G_TYPE_MODULE(module), base);
  g_free(base);
  g_type_module_use(G_TYPE_MODULE(module));
  manager->modules = g_list_append(manager->modules, module);

  KovUnitDriver *driver =
      reinterpret_cast<KovPluginCreateFunc>(create)(G_TYPE_MODULE(module));
  if (driver == nullptr || !KOV_IS_UNIT_DRIVER(driver)) {
    g_set_error(error, KOV_ERROR, KOV_ERROR_PLUGIN, "kov_plugin_create returned no driver");
    return FALSE;
  }
  kov_unit_manager_register_driver(manager, driver);
  g_object_unref(driver);
  return TRUE;
}

void kov_unit_manager_register_driver(KovUnitManager *manager, KovUnitDriver *driver) {
  g_return_if_fail(KOV_IS_UNIT_MANAGER(manager) && KOV_IS_UNIT_DRIVER(driver));
  if (g_list_find(manager->drivers, driver) != nullptr) return;
  manager->drivers = g_list_append(manager->drivers, g_object_ref(driver));
  kov_unit_driver_update_unit_descriptions(driver);
  for (const GList *l = kov_unit_driver_get_unit_descriptions(driver); l != nullptr; l = l->next) {
    auto *d = KOV_UNIT_DESCRIPTION(l->data);
    const gchar *id = kov_unit_description_get_id(d);
    if (g_hash_table_contains(manager->by_id, id)) {
      g_printerr("kovkit: unit %s is already known; the second one is ignored\n", id);
      continue;
    }
    g_hash_table_insert(manager->by_id, const_cast<gchar *>(id), d);
  }
}

KovUnitDescription *kov_unit_manager_find_unit_description(KovUnitManager *manager,
                                                           const gchar *id) {
  g_return_val_if_fail(KOV_IS_UNIT_MANAGER(manager), nullptr);
  if (id == nullptr) return nullptr;
  return KOV_UNIT_DESCRIPTION(g_hash_table_lookup(manager->by_id, id));
}

KovUnit *kov_unit_manager_create_unit_by_id(KovUnitManager *manager, const gchar *id) {
  KovUnitDescription *d = kov_unit_manager_find_unit_description(manager, id);
  if (d == nullptr) return nullptr;
  return kov_unit_driver_create_unit(kov_unit_description_get_driver(d), d);
}

GList *kov_unit_manager_get_unit_descriptions(KovUnitManager *manager) {
  g_return_val_if_fail(KOV_IS_UNIT_MANAGER(manager), nullptr);
  GList *list = g_hash_table_get_values(manager->by_id);
  return g_list_sort(list, compare_descriptions);
}

const GList *kov_unit_manager_get_plugin_dirs(KovUnitManager *manager) {
  g_return_val_if_fail(KOV_IS_UNIT_MANAGER(manager), nullptr);
  return manager->plugin_dirs;
}
