/* State of the framework's file units that a program running a chain needs:
 * whether an "input.file" unit has delivered its last file, and the error
 * that stopped an "input.file" or "output.file" unit. */
#ifndef KOVKIT_FILEUNITS_H
#define KOVKIT_FILEUNITS_H

#include <kovkit/types.h>

G_BEGIN_DECLS

/* TRUE once an "input.file" unit (without "loop") has produced its last
 * frame; its next_frame_time is then G_MAXINT64. FALSE for other units. */
gboolean kov_file_input_at_end(KovUnit *unit);

/**
 * kov_file_unit_get_error:
 * The error an "input.file" unit met at stream_init, or the write error that
 * made an "output.file" unit stop writing. The unit has printed it on
 * standard error already.
 * Returns: (transfer none) (nullable): the error, or NULL (also for units
 * that are not file units).
 */
const GError *kov_file_unit_get_error(KovUnit *unit);

G_END_DECLS

#endif
