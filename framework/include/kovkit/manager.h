/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* KovUnitManager: the process-wide registry of drivers. It loads plug-in
 * modules from KOV_PLUGIN_PATH (colon-separated) and from its plug-in
 * directory, and registers the framework's built-in units. */
#ifndef KOVKIT_MANAGER_H
#define KOVKIT_MANAGER_H

#include <kovkit/types.h>

G_BEGIN_DECLS

#define KOV_TYPE_UNIT_MANAGER (kov_unit_manager_get_type())
#define KOV_UNIT_MANAGER(o) (G_TYPE_CHECK_INSTANCE_CAST((o), KOV_TYPE_UNIT_MANAGER, KovUnitManager))
#define KOV_IS_UNIT_MANAGER(o) (G_TYPE_CHECK_INSTANCE_TYPE((o), KOV_TYPE_UNIT_MANAGER))

GType kov_unit_manager_get_type(void);

/**
 * kov_unit_manager_get_and_ref:
 *
 * The manager, created and filled (plug-ins loaded) on the first call.
 *
 * Returns: (transfer full): a new reference to the single manager.
 */
KovUnitManager *kov_unit_manager_get_and_ref(void);

/**
 * kov_unit_manager_find_unit_description:
 * Returns: (transfer none) (nullable): the description with that identifier.
 */
KovUnitDescription *kov_unit_manager_find_unit_description(KovUnitManager *manager,
                                                           const gchar *id);
/**
 * kov_unit_manager_create_unit_by_id:
 * Returns: (transfer full) (nullable): a new floating unit, or NULL.
 */
KovUnit *kov_unit_manager_create_unit_by_id(KovUnitManager *manager, const gchar *id);
/**
 * kov_unit_manager_get_unit_descriptions:
 * Returns: (transfer container) (element-type KovUnitDescription): every
 * description, sorted by identifier; free with g_list_free.
 */
GList *kov_unit_manager_get_unit_descriptions(KovUnitManager *manager);
/* Takes a reference to @driver and adds its descriptions. A description whose
 * identifier is already known is skipped with a warning on standard error. */
void kov_unit_manager_register_driver(KovUnitManager *manager, KovUnitDriver *driver);
/* Loads one plug-in module file; FALSE with @error set when it is not one. */
gboolean kov_unit_manager_load_module(KovUnitManager *manager, const gchar *path,
                                      GError **error);
/**
 * kov_unit_manager_get_plugin_dirs:
 * Returns: (transfer none) (element-type utf8): the directories searched, in order.
 */
const GList *kov_unit_manager_get_plugin_dirs(KovUnitManager *manager);

G_END_DECLS

#endif
