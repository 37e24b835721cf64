/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* KovChainThread: a chain that runs on a thread of its own. The thread runs
 * a GMainContext of its own with the chain driver (kov_unit_chain_attach)
 * attached, so a unit that spends a long time on a frame holds up its chain
 * and nothing else. Every unit of the chain is called on that thread only:
 *
 * - A control change made on another thread (kov_unit_control_set_value and
 *   the typed setters) is checked there (type, range, step, enum entry) and
 *   then handed over: the unit sees it on the chain's thread, between two
 *   steps, in the order the changes were made. The setter returns TRUE once
 *   the value passed the checks; a unit that refuses it later has its
 *   refusal printed on standard error.
 * - Starting and stopping go through kov_chain_thread_start and
 *   kov_chain_thread_stop; other work through kov_chain_thread_invoke.
 * - The chain's and its units' signals are emitted on the chain's thread.
 *
 * With KOV_CHAIN_THREAD_GL_VIEW the thread also owns an offscreen GL view
 * (kovkit/glview.h) of the chain, current on that thread while the chain
 * runs. After each frame of the chain the view draws the GL units and the
 * picture is read back; the newest picture replaces the one before, which
 * another thread reads between kov_chain_thread_lock_picture and
 * kov_chain_thread_unlock_picture. Pictures that nobody looked at are
 * dropped, never queued.
 *
 * A thread still running when the program exits is ended as by
 * kov_chain_thread_free (without freeing it) before the libraries the
 * program uses are torn down.
 *
 * The functions below may be called from any thread unless they say
 * otherwise; kov_chain_thread_free not from the chain's thread itself. */
#ifndef KOVKIT_CHAIN_THREAD_H
#define KOVKIT_CHAIN_THREAD_H

#include <kovkit/types.h>

G_BEGIN_DECLS

typedef struct _KovChainThread KovChainThread;

typedef enum {
  KOV_CHAIN_THREAD_GL_VIEW = 1 << 0,
} KovChainThreadFlags;

/* Called on the chain's thread when a new picture is ready. */
typedef void (*KovChainThreadPictureFunc)(KovChainThread *thread, gpointer user_data);

/* Starts a thread that runs @chain (a reference is kept, a floating one is
 * sunk). From now on the chain and its units belong to that thread. NULL
 * with @error set when the thread or the GL view (KOV_CHAIN_THREAD_GL_VIEW)
 * cannot be made; the chain is then left as it was. */
KovChainThread *kov_chain_thread_new(KovUnitChain *chain, guint flags, GError **error);

/* Stops the chain on its thread (kov_unit_chain_all_units_stream_shutdown),
 * frees the GL view, applies the control changes still on their way, ends
 * the thread and waits for it: a unit busy with a frame finishes it first.
 * The chain then belongs to the calling thread again. NULL is ignored. */
void kov_chain_thread_free(KovChainThread *thread);

/* The chain (transfer none). */
KovUnitChain *kov_chain_thread_get_chain(KovChainThread *thread);
/* The main context the thread runs (transfer none). */
GMainContext *kov_chain_thread_get_context(KovChainThread *thread);
/* TRUE on the thread that runs @thread's chain. */
gboolean kov_chain_thread_is_current(KovChainThread *thread);
/* TRUE on the thread of any chain thread. */
gboolean kov_chain_thread_in_chain_thread(void);

/* Runs @func(@data) on the chain's thread, after the work handed over
 * before it, until it returns FALSE (G_SOURCE_REMOVE); @notify(@data)
 * follows, also when the thread ends first. Returns at once. */
void kov_chain_thread_invoke(KovChainThread *thread, GSourceFunc func, gpointer data,
                             GDestroyNotify notify);

/* Starts every unit of the chain on its thread
 * (kov_unit_chain_all_units_stream_init_full) and waits for the outcome:
 * FALSE with @error set when the chain did not start. */
gboolean kov_chain_thread_start(KovChainThread *thread, GError **error);
/* Asks the thread to stop every unit of the chain and returns at once; the
 * units stop as soon as the one at work (if any) has finished its frame. */
void kov_chain_thread_stop(KovChainThread *thread);
/* TRUE from a successful start until a stop has been carried out. */
gboolean kov_chain_thread_is_streaming(KovChainThread *thread);

/* Called for every new picture (replacing the function set before;
 * @notify frees @data when it is replaced or the thread is freed). It must
 * not set another function; it may lock the picture. */
void kov_chain_thread_set_picture_func(KovChainThread *thread, KovChainThreadPictureFunc func,
                                       gpointer data, GDestroyNotify notify);
/* The box the picture must fit: the view draws it as large as fits at the
 * frame's aspect ratio (the whole width or the whole height, the other side
 * rounded to the nearest pixel); 0 × 0 (the start) means the chain's frame
 * size. A new box is drawn at once when the chain's thread is free, with the
 * chain as the last frame left it. */
void kov_chain_thread_set_picture_size(KovChainThread *thread, gint width, gint height);
/* The newest picture, locked until kov_chain_thread_unlock_picture (keep it
 * short: the chain's thread waits to put the next one there): B, G, R, A
 * bytes (a cairo RGB24 or ARGB32 image on a little-endian machine), top row
 * first, rows 4 × @width bytes apart, opaque. @frame_width and
 * @frame_height are the chain's frame size when it was drawn (0 when
 * unknown). NULL (and zeroes) when there is no picture yet; the lock is
 * taken all the same. Every out argument may be NULL. */
const guint8 *kov_chain_thread_lock_picture(KovChainThread *thread, gint *width, gint *height,
                                            gint *frame_width, gint *frame_height);
void kov_chain_thread_unlock_picture(KovChainThread *thread);

G_END_DECLS

#endif
