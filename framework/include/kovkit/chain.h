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

/* Runs every streaming source unit whose next frame is due. Returns the
 * earliest time (microseconds since the epoch) at which one is due next, or
 * G_MAXINT64 when no source streams. */
gint64 kov_unit_chain_iterate(KovUnitChain *chain);

G_END_DECLS

#endif
