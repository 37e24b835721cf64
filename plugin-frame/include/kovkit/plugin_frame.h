/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Entry-point and type-registration glue shared by every plug-in module.
//
// A plug-in registers its GObject types in the type module the manager gives
// it (kov_plugin_initialize) and returns its driver (kov_plugin_create). The
// state kept per type (its GType and its parent class) lives in
// TypeState<Instance>, which every module compiles for its own types; with
// hidden visibility each module keeps its own copy.
//
// A stock unit module ends with one declarative line:
//
//   KOV_PLUGIN_STOCK_UNIT(KovConvertFlip, kov_convert_flip_get_type, "KovConvertFlip",
//                         flip_class_init, flip_init, "util", "flip", "Flip image", 0)
#ifndef KOVKIT_PLUGIN_FRAME_H
#define KOVKIT_PLUGIN_FRAME_H

#include <kovkit/kovkit.h>

#define KOV_EXPORT extern "C" __attribute__((visibility("default")))

namespace kov::plugin {

// Module-wide state of one registered type.
template <typename Instance>
struct TypeState {
  static inline GType type = 0;
  static inline gpointer parent_class = nullptr;
};

template <typename Instance>
inline GType type_of() {
  return TypeState<Instance>::type;
}

// The parent class, taken in the class initializer, for chaining.
template <typename Instance, typename Class = GObjectClass>
inline Class *parent_class() {
  return static_cast<Class *>(TypeState<Instance>::parent_class);
}

// Checked cast of an instance pointer to the module's type.
template <typename Instance>
inline Instance *cast(gpointer object) {
  return reinterpret_cast<Instance *>(
      g_type_check_instance_cast(static_cast<GTypeInstance *>(object), type_of<Instance>()));
}

// Registers Instance (with class record Class) in the type module. ClassInit
// receives the class record after the parent class has been stored;
// InstanceInit receives each new instance.
template <typename Instance, typename Class, void (*ClassInit)(Class *),
          void (*InstanceInit)(Instance *)>
GType register_type(GTypeModule *module, GType parent, const char *type_name) {
  static const GTypeInfo info = {
      sizeof(Class),
      nullptr,
      nullptr,
      [](gpointer klass, gpointer) {
        TypeState<Instance>::parent_class = g_type_class_peek_parent(klass);
        ClassInit(static_cast<Class *>(klass));
      },
      nullptr,
      nullptr,
      sizeof(Instance),
      0,
      [](GTypeInstance *instance, gpointer) {
        InstanceInit(reinterpret_cast<Instance *>(instance));
      },
      nullptr,
  };
  TypeState<Instance>::type = g_type_module_register_type(
      module, parent, g_intern_static_string(type_name), &info, GTypeFlags(0));
  return TypeState<Instance>::type;
}

// A new instance of the module's type, no properties.
template <typename Instance>
gpointer new_instance() {
  return g_object_new(type_of<Instance>(), nullptr);
}

}  // namespace kov::plugin

// The get-type export, the two entry points and a stock driver for a module
// that adds one unit type.
#define KOV_PLUGIN_STOCK_UNIT_FULL(Instance, get_type_func, type_name, class_init,            \
                                   instance_init, package, name, label, flags, create_func)  \
  KOV_EXPORT GType get_type_func(void) { return kov::plugin::type_of<Instance>(); }          \
  KOV_EXPORT void kov_plugin_initialize(GTypeModule *module) {                               \
    kov::plugin::register_type<Instance, KovUnitClass, class_init, instance_init>(           \
        module, kov_unit_get_type(), type_name);                                             \
  }                                                                                          \
  KOV_EXPORT KovUnitDriver *kov_plugin_create(GTypeModule *module) {                         \
    return kov_unit_driver_new_stock_full(package, name, label, flags, create_func, module); \
  }

#define KOV_PLUGIN_STOCK_UNIT(Instance, get_type_func, type_name, class_init, instance_init,  \
                              package, name, label, flags)                                   \
  KOV_PLUGIN_STOCK_UNIT_FULL(Instance, get_type_func, type_name, class_init, instance_init,   \
                             package, name, label, flags,                                    \
                             kov::plugin::new_instance<Instance>)

#endif
