// SPDX-License-Identifier: LGPL-2.1-or-later
#include "plugin_loader.h"

namespace kovtest {

namespace {

struct TestTypeModule {
  GTypeModule parent;
};
struct TestTypeModuleClass {
  GTypeModuleClass parent_class;
};

G_DEFINE_TYPE(TestTypeModule, test_type_module, G_TYPE_TYPE_MODULE)

gboolean test_type_module_load(GTypeModule *) { return TRUE; }
void test_type_module_unload(GTypeModule *) {}

void test_type_module_class_init(TestTypeModuleClass *klass) {
  G_TYPE_MODULE_CLASS(klass)->load = test_type_module_load;
  G_TYPE_MODULE_CLASS(klass)->unload = test_type_module_unload;
}

void test_type_module_init(TestTypeModule *) {}

}  // namespace

GTypeModule *new_test_type_module(const char *name) {
  auto *module = G_TYPE_MODULE(g_object_new(test_type_module_get_type(), nullptr));
  g_type_module_set_name(module, name);
  g_type_module_use(module);  // kept in use: registered types need a live module
  return module;
}

bool LoadedPlugin::open(const std::string &path, std::string *error) {
  handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr && error != nullptr) *error = dlerror();
  return handle != nullptr;
}

GType LoadedPlugin::get_type(const char *export_name) const {
  auto fn = reinterpret_cast<GType (*)()>(symbol(export_name));
  return fn != nullptr ? fn() : 0;
}

KovUnitDriver *LoadedPlugin::initialize_and_create() {
  auto initialize = reinterpret_cast<void (*)(GTypeModule *)>(symbol("kov_plugin_initialize"));
  auto create = reinterpret_cast<KovUnitDriver *(*)(GTypeModule *)>(symbol("kov_plugin_create"));
  if (initialize == nullptr || create == nullptr) return nullptr;
  if (module == nullptr) module = new_test_type_module("test");
  initialize(module);
  return create(module);
}

}  // namespace kovtest
