/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* KovUnitDriver: creates units for the descriptions it offers. Each plug-in
 * hands one driver to the manager; most use the stock driver. */
#ifndef KOVKIT_DRIVER_H
#define KOVKIT_DRIVER_H

#include <kovkit/types.h>

G_BEGIN_DECLS

#define KOV_TYPE_UNIT_DRIVER (kov_unit_driver_get_type())
#define KOV_UNIT_DRIVER(o) (G_TYPE_CHECK_INSTANCE_CAST((o), KOV_TYPE_UNIT_DRIVER, KovUnitDriver))
#define KOV_UNIT_DRIVER_CLASS(c) (G_TYPE_CHECK_CLASS_CAST((c), KOV_TYPE_UNIT_DRIVER, KovUnitDriverClass))
#define KOV_IS_UNIT_DRIVER(o) (G_TYPE_CHECK_INSTANCE_TYPE((o), KOV_TYPE_UNIT_DRIVER))
#define KOV_UNIT_DRIVER_GET_CLASS(o) (G_TYPE_INSTANCE_GET_CLASS((o), KOV_TYPE_UNIT_DRIVER, KovUnitDriverClass))

#define KOV_TYPE_UNIT_DESCRIPTION (kov_unit_description_get_type())
#define KOV_UNIT_DESCRIPTION(o) (G_TYPE_CHECK_INSTANCE_CAST((o), KOV_TYPE_UNIT_DESCRIPTION, KovUnitDescription))
#define KOV_IS_UNIT_DESCRIPTION(o) (G_TYPE_CHECK_INSTANCE_TYPE((o), KOV_TYPE_UNIT_DESCRIPTION))

typedef struct _KovUnitDriverPrivate KovUnitDriverPrivate;

struct _KovUnitDriver {
  GObject parent;
  KovUnitDriverPrivate *priv;
};

struct _KovUnitDriverClass {
  GObjectClass parent_class;

  /* Fills the driver's description list (kov_unit_driver_add_unit_description);
   * 0 on success. Called once, when the manager takes the driver. */
  gint (*update_unit_descriptions)(KovUnitDriver *driver);
  /* The descriptions offered (transfer none). */
  const GList *(*get_unit_descriptions)(KovUnitDriver *driver);
  /* A new (floating) unit for one of the driver's descriptions. */
  KovUnit *(*driver_create_unit)(KovUnitDriver *driver, KovUnitDescription *description);
  /* Package and name of the driver. */
  const gchar *(*get_package)(KovUnitDriver *driver);
  const gchar *(*get_name)(KovUnitDriver *driver);
};

/* The unit constructor of a stock driver; it is called without arguments. */
typedef gpointer (*KovUnitCreateFunc)(void);

GType kov_unit_driver_get_type(void);
GType kov_unit_description_get_type(void);

/**
 * kov_unit_driver_new_stock_full:
 * @create_unit: (scope forever): makes a new unit
 * @module: (nullable): the plug-in's type module (NULL for built-in units)
 *
 * A driver that offers one description, package.name, and makes its units
 * with @create_unit.
 *
 * Returns: (transfer full): the driver.
 */
KovUnitDriver *kov_unit_driver_new_stock_full(const gchar *package, const gchar *name,
                                              const gchar *label, guint flags,
                                              KovUnitCreateFunc create_unit,
                                              GTypeModule *module);

void kov_unit_driver_set_name(KovUnitDriver *driver, const gchar *package, const gchar *name);
const gchar *kov_unit_driver_get_package(KovUnitDriver *driver);
const gchar *kov_unit_driver_get_name(KovUnitDriver *driver);
/**
 * kov_unit_driver_add_unit_description:
 * @name: (nullable): the unit's name within the package; NULL means the
 * driver's own name.
 * Returns: (transfer none): the new description, owned by the driver.
 */
KovUnitDescription *kov_unit_driver_add_unit_description(KovUnitDriver *driver,
                                                         const gchar *label,
                                                         const gchar *name, guint flags);
/**
 * kov_unit_driver_get_unit_descriptions:
 * Returns: (transfer none) (element-type KovUnitDescription):
 */
const GList *kov_unit_driver_get_unit_descriptions(KovUnitDriver *driver);
/* Runs update_unit_descriptions once; later calls do nothing. */
gint kov_unit_driver_update_unit_descriptions(KovUnitDriver *driver);
/**
 * kov_unit_driver_create_unit:
 * Returns: (transfer floating) (nullable): a new unit, with its description set.
 */
KovUnit *kov_unit_driver_create_unit(KovUnitDriver *driver, KovUnitDescription *description);

/* Descriptions. */
const gchar *kov_unit_description_get_id(KovUnitDescription *desc); /* package.name */
const gchar *kov_unit_description_get_package(KovUnitDescription *desc);
const gchar *kov_unit_description_get_name(KovUnitDescription *desc);
const gchar *kov_unit_description_get_label(KovUnitDescription *desc);
guint kov_unit_description_get_flags(KovUnitDescription *desc);
/**
 * kov_unit_description_get_driver:
 * Returns: (transfer none):
 */
KovUnitDriver *kov_unit_description_get_driver(KovUnitDescription *desc);

G_END_DECLS

#endif
