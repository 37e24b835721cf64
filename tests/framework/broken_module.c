/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* A shared module that looks like half a plug-in: it has the initialize
 * entry point but no create entry point, so the manager must skip it. */
void kov_plugin_initialize(void *module) { (void)module; }
