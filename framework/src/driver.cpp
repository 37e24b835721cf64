// SPDX-License-Identifier: LGPL-2.1-or-later
// KovUnitDriver and KovUnitDescription: drivers offer descriptions (package,
// name, label, flags) and create units for them. The stock driver offers one
// description and creates its units with a constructor function.
#include <kovkit/driver.h>
#include <kovkit/unit.h>

/* ---- descriptions ------------------------------------------------------- */

struct _KovUnitDescription {
  GObject parent;
  gchar *id;
  gchar *package;
  gchar *name;
  gchar *label;
  guint flags;
  KovUnitDriver *driver;  // not a reference: the driver owns its descriptions
};

typedef struct {
  GObjectClass parent_class;
} KovUnitDescriptionClass;

G_DEFINE_TYPE(KovUnitDescription, kov_unit_description, G_TYPE_OBJECT)

static void kov_unit_description_finalize(GObject *object) {
  KovUnitDescription *d = KOV_UNIT_DESCRIPTION(object);
  g_free(d->id);
  g_free(d->package);
  g_free(d->name);
  g_free(d->label);
  G_OBJECT_CLASS(kov_unit_description_parent_class)->finalize(object);
}

static void kov_unit_description_class_init(KovUnitDescriptionClass *klass) {
  G_OBJECT_CLASS(klass)->finalize = kov_unit_description_finalize;
}

static void kov_unit_description_init(KovUnitDescription *) {}

const gchar *kov_unit_description_get_id(KovUnitDescription *d) {
  g_return_val_if_fail(KOV_IS_UNIT_DESCRIPTION(d), nullptr);
  return d->id;
}
const gchar *kov_unit_description_get_package(KovUnitDescription *d) {
  g_return_val_if_fail(KOV_IS_UNIT_DESCRIPTION(d), nullptr);
  return d->package;
}
const gchar *kov_unit_description_get_name(KovUnitDescription *d) {
  g_return_val_if_fail(KOV_IS_UNIT_DESCRIPTION(d), nullptr);
  return d->name;
}
const gchar *kov_unit_description_get_label(KovUnitDescription *d) {
  g_return_val_if_fail(KOV_IS_UNIT_DESCRIPTION(d), nullptr);
  return d->label;
}
guint kov_unit_description_get_flags(KovUnitDescription *d) {
  g_return_val_if_fail(KOV_IS_UNIT_DESCRIPTION(d), 0);
  return d->flags;
}
KovUnitDriver *kov_unit_description_get_driver(KovUnitDescription *d) {
  g_return_val_if_fail(KOV_IS_UNIT_DESCRIPTION(d), nullptr);
  return d->driver;
}

/* ---- drivers ------------------------------------------------------------ */

struct _KovUnitDriverPrivate {
  gchar *package;
  gchar *name;
  GList *descriptions;  // owned
  gboolean updated;
  // Stock driver only:
  KovUnitCreateFunc create_unit;
  GTypeModule *module;  // plug-in modules stay resident; not referenced
};

G_DEFINE_TYPE_WITH_PRIVATE(KovUnitDriver, kov_unit_driver, G_TYPE_OBJECT)

static const GList *default_get_unit_descriptions(KovUnitDriver *driver) {
  return driver->priv->descriptions;
}

static KovUnit *default_driver_create_unit(KovUnitDriver *driver, KovUnitDescription *) {
  KovUnitDriverPrivate *p = driver->priv;
  if (p->create_unit == nullptr) return nullptr;
  gpointer object = p->create_unit();
  if (object == nullptr) return nullptr;
  if (!KOV_IS_UNIT(object)) {
    g_printerr("kovkit: driver %s.%s made an object that is not a unit\n", p->package, p->name);
    g_object_unref(object);
    return nullptr;
  }
  return KOV_UNIT(object);
}

static gint default_update_unit_descriptions(KovUnitDriver *) { return 0; }
static const gchar *default_get_package(KovUnitDriver *driver) { return driver->priv->package; }
static const gchar *default_get_name(KovUnitDriver *driver) { return driver->priv->name; }

static void kov_unit_driver_finalize(GObject *object) {
  KovUnitDriverPrivate *p = KOV_UNIT_DRIVER(object)->priv;
  g_list_free_full(p->descriptions, g_object_unref);
  g_free(p->package);
  g_free(p->name);
  G_OBJECT_CLASS(kov_unit_driver_parent_class)->finalize(object);
}

static void kov_unit_driver_class_init(KovUnitDriverClass *klass) {
  G_OBJECT_CLASS(klass)->finalize = kov_unit_driver_finalize;
  klass->update_unit_descriptions = default_update_unit_descriptions;
  klass->get_unit_descriptions = default_get_unit_descriptions;
  klass->driver_create_unit = default_driver_create_unit;
  klass->get_package = default_get_package;
  klass->get_name = default_get_name;
}

static void kov_unit_driver_init(KovUnitDriver *driver) {
  driver->priv = static_cast<KovUnitDriverPrivate *>(kov_unit_driver_get_instance_private(driver));
}

void kov_unit_driver_set_name(KovUnitDriver *driver, const gchar *package, const gchar *name) {
  g_return_if_fail(KOV_IS_UNIT_DRIVER(driver));
  KovUnitDriverPrivate *p = driver->priv;
  g_free(p->package);
  g_free(p->name);
  p->package = g_strdup(package);
  p->name = g_strdup(name);
}

const gchar *kov_unit_driver_get_package(KovUnitDriver *driver) {
  g_return_val_if_fail(KOV_IS_UNIT_DRIVER(driver), nullptr);
  return KOV_UNIT_DRIVER_GET_CLASS(driver)->get_package(driver);
}

const gchar *kov_unit_driver_get_name(KovUnitDriver *driver) {
  g_return_val_if_fail(KOV_IS_UNIT_DRIVER(driver), nullptr);
  return KOV_UNIT_DRIVER_GET_CLASS(driver)->get_name(driver);
}

KovUnitDescription *kov_unit_driver_add_unit_description(KovUnitDriver *driver,
                                                         const gchar *label, const gchar *name,
                                                         guint flags) {
  g_return_val_if_fail(KOV_IS_UNIT_DRIVER(driver), nullptr);
  KovUnitDriverPrivate *p = driver->priv;
  auto *d = KOV_UNIT_DESCRIPTION(g_object_new(kov_unit_description_get_type(), nullptr));
  d->package = g_strdup(p->package != nullptr ? p->package : "");
  d->name = g_strdup(name != nullptr ? name : (p->name != nullptr ? p->name : ""));
  d->id = g_strconcat(d->package, ".", d->name, nullptr);
  d->label = g_strdup(label != nullptr ? label : d->id);
  d->flags = flags;
  d->driver = driver;
  p->descriptions = g_list_append(p->descriptions, d);
  return d;
}

const GList *kov_unit_driver_get_unit_descriptions(KovUnitDriver *driver) {
  g_return_val_if_fail(KOV_IS_UNIT_DRIVER(driver), nullptr);
  return KOV_UNIT_DRIVER_GET_CLASS(driver)->get_unit_descriptions(driver);
}

gint kov_unit_driver_update_unit_descriptions(KovUnitDriver *driver) {
  g_return_val_if_fail(KOV_IS_UNIT_DRIVER(driver), -1);
  KovUnitDriverPrivate *p = driver->priv;
  if (p->updated) return 0;
  p->updated = TRUE;
  return KOV_UNIT_DRIVER_GET_CLASS(driver)->update_unit_descriptions(driver);
}

KovUnit *kov_unit_driver_create_unit(KovUnitDriver *driver, KovUnitDescription *description) {
  g_return_val_if_fail(KOV_IS_UNIT_DRIVER(driver), nullptr);
  g_return_val_if_fail(KOV_IS_UNIT_DESCRIPTION(description), nullptr);
  KovUnit *unit = KOV_UNIT_DRIVER_GET_CLASS(driver)->driver_create_unit(driver, description);
  if (unit == nullptr) return nullptr;
  kov_unit_set_description(unit, description);
  return unit;
}

KovUnitDriver *kov_unit_driver_new_stock_full(const gchar *package, const gchar *name,
                                              const gchar *label, guint flags,
                                              KovUnitCreateFunc create_unit,
                                              GTypeModule *module) {
  auto *driver = KOV_UNIT_DRIVER(g_object_new(KOV_TYPE_UNIT_DRIVER, nullptr));
  kov_unit_driver_set_name(driver, package, name);
  driver->priv->create_unit = create_unit;
  driver->priv->module = module;
  driver->priv->updated = TRUE;  // the description is known from the start
  kov_unit_driver_add_unit_description(driver, label, nullptr, flags);
  return driver;
}
