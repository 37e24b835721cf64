/* SPDX-License-Identifier: LGPL-2.1-or-later */
// The framework's built-in units (no plug-in file): the manager calls this
// once, when it is created, to register their drivers.
#ifndef KOVKIT_BUILTIN_H
#define KOVKIT_BUILTIN_H

#include <kovkit/kovkit.h>

void kov_builtin_units_register(KovUnitManager *manager);

#endif
