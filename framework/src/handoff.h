/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Work handed to the thread that runs a GMainContext, from any thread.
#ifndef KOVKIT_HANDOFF_H
#define KOVKIT_HANDOFF_H

#include <glib.h>

namespace kov {

// Runs func(data) on the thread that runs context, from an idle source of
// default priority named name, and then notify(data) (also when the context
// goes before the work has run). Work from one thread runs in the order it
// was handed over.
void hand_to_context(GMainContext *context, GSourceFunc func, gpointer data,
                     GDestroyNotify notify, const char *name);

}  // namespace kov

#endif
