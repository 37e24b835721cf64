/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* KovUnit: the base class of every processing unit. A unit takes frames from
 * its input unit, does one job and hands frames on with
 * kov_unit_produce_frame. Subclasses fill the operation slots below. */
#ifndef KOVKIT_UNIT_H
#define KOVKIT_UNIT_H

#include <kovkit/types.h>
#include <kovkit/format.h>
#include <kovkit/framebuffer.h>
#include <kovkit/control.h>

G_BEGIN_DECLS

#define KOV_TYPE_UNIT (kov_unit_get_type())
#define KOV_UNIT(o) (G_TYPE_CHECK_INSTANCE_CAST((o), KOV_TYPE_UNIT, KovUnit))
#define KOV_UNIT_CLASS(c) (G_TYPE_CHECK_CLASS_CAST((c), KOV_TYPE_UNIT, KovUnitClass))
#define KOV_IS_UNIT(o) (G_TYPE_CHECK_INSTANCE_TYPE((o), KOV_TYPE_UNIT))
#define KOV_UNIT_GET_CLASS(o) (G_TYPE_INSTANCE_GET_CLASS((o), KOV_TYPE_UNIT, KovUnitClass))

typedef struct _KovUnitPrivate KovUnitPrivate;

struct _KovUnit {
  GInitiallyUnowned parent;
  KovUnitPrivate *priv;
};

struct _KovUnitClass {
  GInitiallyUnownedClass parent_class;

  /* Operations, in slot order. Stream operations return 0, or -1 to refuse. */
  gint (*stream_init)(KovUnit *unit, KovUnitFormat *format);
  gint (*stream_shutdown)(KovUnit *unit);
  gboolean (*produce_pending_frame)(KovUnit *unit);
  void (*stream_slot_3)(KovUnit *unit);
  gint64 (*next_frame_time)(KovUnit *unit); /* microseconds since the epoch */
  void (*input_frame_ready)(KovUnit *unit, KovFrameBuffer *frame, KovUnitFormat *format);
  gint (*draw_gl_init)(KovUnit *unit);
  gint (*draw_gl)(KovUnit *unit);
  gint (*draw_gl_release)(KovUnit *unit);
  /* TRUE to accept, having written the value to store into @store. */
  gboolean (*control_change)(KovUnit *unit, KovUnitControl *control, const GValue *proposed,
                             GValue *store);
};

GType kov_unit_get_type(void);

/* Linking. Setting an input emits "input-format-changed" with the input's
 * current format; the framework then chooses this unit's output format and
 * announces it to the units fed by this one. A streaming unit is stopped
 * around the change and restarted with its new format. */
void kov_unit_set_input(KovUnit *unit, KovUnit *input);
/**
 * kov_unit_get_input:
 * Returns: (transfer none) (nullable): the input unit.
 */
KovUnit *kov_unit_get_input(KovUnit *unit);

/* Output formats. */
/**
 * kov_unit_add_output_format:
 * Offers a format; one that kov_pixel_format_check refuses is not added and
 * its reason becomes the unit's error (kov_unit_get_error). A format whose
 * width, height and row stride are all 0 names only its code: a source that
 * learns its size from its first frame offers its codes that way before it
 * streams, and the real size before it produces a frame.
 * Returns: (transfer none) (nullable): the new format, owned by the unit, or
 * NULL when refused.
 */
KovUnitFormat *kov_unit_add_output_format(KovUnit *unit, guint32 pixelformat,
                                          const gchar *name, gint width, gint height,
                                          gint row_stride);
void kov_unit_remove_all_output_formats(KovUnit *unit);
/**
 * kov_unit_get_output_formats:
 * Returns: (transfer container) (element-type KovUnitFormat): a new list of
 * the offered formats; free it with g_list_free, the formats stay the unit's.
 */
GList *kov_unit_get_output_formats(KovUnit *unit);
/**
 * kov_unit_get_output_format:
 * Returns: (transfer none) (nullable): the current output format.
 */
KovUnitFormat *kov_unit_get_output_format(KovUnit *unit);
/* Chooses one of the offered formats as the current one (FALSE if it is not
 * offered); announces it downstream when it changed. */
gboolean kov_unit_set_output_format(KovUnit *unit, KovUnitFormat *format);
/* The format the framework picks when it is offered; 0 for width, height or
 * row stride means any. A code of 0 clears the preference. */
void kov_unit_set_preferred_format(KovUnit *unit, guint32 pixelformat, gint width,
                                   gint height, gint row_stride);
/* The preferred code (0 for none): a source that learns its formats only when
 * it starts asks which one the chain text chose. */
guint32 kov_unit_get_preferred_format(KovUnit *unit);
/* Format changes made outside "input-format-changed" between these two calls
 * are announced downstream once, at the end. */
void kov_unit_begin_format_update(KovUnit *unit);
void kov_unit_end_format_update(KovUnit *unit);

/* Streaming. @format NULL means the current output format. */
gint kov_unit_stream_init(KovUnit *unit, KovUnitFormat *format);
gint kov_unit_stream_shutdown(KovUnit *unit);
gboolean kov_unit_is_streaming(KovUnit *unit);

/* Hands a frame to the units fed by this one (those that stream) and to every
 * "frame-ready" listener. The caller keeps its reference. */
void kov_unit_produce_frame(KovUnit *unit, KovFrameBuffer *frame, KovUnitFormat *format);

/* A source unit (no input, fills produce_pending_frame): when it is due, and
 * running it once. */
gboolean kov_unit_is_source(KovUnit *unit);
gint64 kov_unit_next_frame_time(KovUnit *unit);
gboolean kov_unit_produce_pending_frame(KovUnit *unit);

/* ---- Stream lifecycle ---------------------------------------------------
 * Units report the end of their stream and their errors to the framework;
 * the chain they belong to turns them into its "eos" and "error" signals. */

/**
 * kov_unit_post_eos:
 * A source unit says it has no more frames (a file list at its end). Call it
 * after producing the last frame, or instead of producing one. The unit emits
 * "eos"; kov_unit_is_eos is TRUE until the unit streams again.
 */
void kov_unit_post_eos(KovUnit *unit);
gboolean kov_unit_is_eos(KovUnit *unit);

/**
 * kov_unit_post_error:
 * @error: what went wrong, naming the offending value (a file, a pipeline);
 * copied.
 * Reports an error that stops the unit's work (a file that cannot be read
 * or written). The unit keeps a copy (kov_unit_get_error) and emits "error";
 * when nobody handles the signal, the error is printed on standard error as
 * "<unit id>: <message>".
 */
void kov_unit_post_error(KovUnit *unit, const GError *error);
/**
 * kov_unit_set_error:
 * @error: (nullable): the reason, copied; NULL clears it.
 * Records why the unit cannot stream now without reporting it (a source
 * whose location gives no format); the chain names it when it cannot start
 * the unit.
 */
void kov_unit_set_error(KovUnit *unit, const GError *error);
/**
 * kov_unit_get_error:
 * Returns: (transfer none) (nullable): the last error posted or set since the
 * unit last started streaming.
 */
const GError *kov_unit_get_error(KovUnit *unit);

/**
 * kov_unit_set_event_fd:
 * @fd: a file descriptor, or -1 for none.
 * A source unit whose frames arrive from outside (another thread, a device)
 * gives the chain driver a descriptor to wait on; when it becomes readable
 * the driver calls produce_pending_frame, which must read what woke it. Such
 * a unit returns G_MAXINT64 from next_frame_time while it waits.
 */
void kov_unit_set_event_fd(KovUnit *unit, gint fd);
gint kov_unit_get_event_fd(KovUnit *unit);

/* GL operations, called by the GL view with its context current. */
gint kov_unit_draw_gl_init(KovUnit *unit);
gint kov_unit_draw_gl(KovUnit *unit);
gint kov_unit_draw_gl_release(KovUnit *unit);

/* Identity, set by the driver that created the unit. */
const gchar *kov_unit_get_name(KovUnit *unit); /* display name */
void kov_unit_set_name(KovUnit *unit, const gchar *name);
const gchar *kov_unit_get_id(KovUnit *unit); /* "package.name", "" if unknown */
guint kov_unit_get_flags(KovUnit *unit);
/**
 * kov_unit_get_description:
 * Returns: (transfer none) (nullable): the description the unit was made from.
 */
KovUnitDescription *kov_unit_get_description(KovUnit *unit);
void kov_unit_set_description(KovUnit *unit, KovUnitDescription *description);

/* Controls. */
/**
 * kov_unit_get_controls:
 * Returns: (transfer none) (element-type KovUnitControl): in creation order.
 */
const GList *kov_unit_get_controls(KovUnit *unit);
/**
 * kov_unit_find_control:
 * Returns: (transfer none) (nullable): the control with that id.
 */
KovUnitControl *kov_unit_find_control(KovUnit *unit, const gchar *id);

/* Microseconds since the Unix epoch (gettimeofday). */
gint64 kov_time_now(void);

/* Pass-through units. */
/**
 * kov_unit_mirror_input_format:
 * @input: (nullable): the input's format, or NULL for none.
 *
 * Replaces @unit's output formats by one equal to @input (same code, name,
 * size and row stride), or by none when @input is NULL: what a unit that
 * hands on frames of its input's layout offers from its
 * "input-format-changed" handler. A unit that accepts only some layouts
 * passes NULL for the others.
 */
void kov_unit_mirror_input_format(KovUnit *unit, KovUnitFormat *input);

G_END_DECLS

#endif
