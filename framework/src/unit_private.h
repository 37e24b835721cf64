/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Framework-internal calls between the unit, control and driver modules.
#ifndef KOVKIT_UNIT_PRIVATE_H
#define KOVKIT_UNIT_PRIVATE_H

#include <kovkit/kovkit.h>

// The unit takes ownership of a new control (appended in creation order).
void kov_unit_take_control(KovUnit *unit, KovUnitControl *control);

// Announces the input's current format to the unit again (for units that
// drop their formats when they stop streaming).
void kov_unit_renegotiate(KovUnit *unit);

// The unit's identifier, or its display name when it has none: how messages
// name a unit.
const gchar *unit_label(KovUnit *unit);

// Marshallers of the "frame-ready" signals (instance, frame, format): GLib's
// generic one goes through libffi on every emission, once per unit and frame.
void kov_marshal_VOID__OBJECT_OBJECT(GClosure *closure, GValue *return_value,
                                     guint n_param_values, const GValue *param_values,
                                     gpointer invocation_hint, gpointer marshal_data);
void kov_marshal_VOID__OBJECT_OBJECTv(GClosure *closure, GValue *return_value,
                                      gpointer instance, va_list args, gpointer marshal_data,
                                      int n_params, GType *param_types);

// GCopyFunc that takes a reference, for g_list_copy_deep.
gpointer ref_object(gconstpointer object, gpointer unused);

// The main context of the thread a unit runs on when that is a chain thread
// (kovkit/chain_thread.h), NULL otherwise: control changes made on other
// threads are handed over to it.
void unit_set_home_context(KovUnit *unit, GMainContext *context);
GMainContext *unit_home_context(KovUnit *unit);

#endif
