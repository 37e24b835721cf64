/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* KovUnitChain: units linked one after the other, built from text such as
 * "input.example enum=3 ! util.flip flip-h=true". */
#ifndef KOVKIT_CHAIN_H
#define KOVKIT_CHAIN_H

#include <kovkit/types.h>

G_BEGIN_DECLS

#define KOV_TYPE_UNIT_CHAIN (kov_unit_chain_get_type())
#define KOV_UNIT_CHAIN(o) (G_TYPE_CHECK_INSTANCE_CAST((o), KOV_TYPE_UNIT_CHAIN, KovUnitChain))
#define KOV_IS_UNIT_CHAIN(o) (G_TYPE_CHECK_INSTANCE_TYPE((o), KOV_TYPE_UNIT_CHAIN))

GType kov_unit_chain_get_type(void);

/**
 * kov_unit_chain_new:
 * Returns: (transfer floating): a new, empty chain.
 */
KovUnitChain *kov_unit_chain_new(void);

/* Appends @unit (sinking a floating reference) and feeds it from the last unit. */
void kov_unit_chain_add_unit(KovUnitChain *chain, KovUnit *unit);
/* Stops and removes every unit. */
void kov_unit_chain_clear(KovUnitChain *chain);
/**
 * kov_unit_chain_get_units:
 * Returns: (transfer none) (element-type KovUnit): the units in order.
 */
const GList *kov_unit_chain_get_units(KovUnitChain *chain);
/**
 * kov_unit_chain_get_last_unit:
 * Returns: (transfer none) (nullable):
 */
KovUnit *kov_unit_chain_get_last_unit(KovUnitChain *chain);
/**
 * kov_unit_chain_find_unit_by_id:
 * Returns: (transfer none) (nullable): the first unit with that identifier.
 */
KovUnit *kov_unit_chain_find_unit_by_id(KovUnitChain *chain, const gchar *id);
gboolean kov_unit_chain_has_gl_units(KovUnitChain *chain);

/* Replaces the chain's units by the ones the text describes. On error the
 * chain is left empty and @error names the unit and the offending word. */
gboolean kov_unit_chain_load_from_str(KovUnitChain *chain, const gchar *text, GError **error);

/* Starts every unit, in chain order; on a refusal the units already started
 * are stopped again. Returns 0 or -1. */
gint kov_unit_chain_all_units_stream_init(KovUnitChain *chain);
gboolean kov_unit_chain_all_units_stream_init_full(KovUnitChain *chain, GError **error);
gint kov_unit_chain_all_units_stream_shutdown(KovUnitChain *chain);
gboolean kov_unit_chain_is_streaming(KovUnitChain *chain);

/**
 * kov_unit_chain_get_error:
 * Returns: (transfer none) (nullable): the first error a unit of the chain
 * posted since the chain last started streaming ("error" reports each).
 */
const GError *kov_unit_chain_get_error(KovUnitChain *chain);
/* TRUE once "eos" was emitted for the current stream: every source has ended
 * and its last frame has gone through the chain. */
gboolean kov_unit_chain_is_eos(KovUnitChain *chain);

/**
 * kov_unit_chain_source_new:
 * The chain driver: a GSource that sleeps until the next source unit is due
 * (kov_unit_next_frame_time) or a source's event descriptor
 * (kov_unit_set_event_fd) is readable, then runs one step: those sources
 * produce, one frame each. It sleeps while the chain does not stream. A
 * callback set with g_source_set_callback runs before each step (to make a
 * GL context current, for example); returning FALSE removes the source. The
 * source holds a reference to the chain.
 * Returns: (transfer full): a new source, not attached.
 */
GSource *kov_unit_chain_source_new(KovUnitChain *chain);
/**
 * kov_unit_chain_attach:
 * @context: (nullable): the main context, NULL for the default one.
 * Attaches a new chain driver (kov_unit_chain_source_new) to @context.
 * Returns: the source's id, for g_source_remove.
 */
guint kov_unit_chain_attach(KovUnitChain *chain, GMainContext *context);

/* Runs every streaming source unit whose next frame is due. Returns the
 * earliest time (microseconds since the epoch) at which one is due next, or
 * G_MAXINT64 when no source streams. */
gint64 kov_unit_chain_iterate(KovUnitChain *chain);

G_END_DECLS

#endif
