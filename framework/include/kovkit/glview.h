/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* KovGLView: the framework's GL view. It owns an OpenGL context (desktop
 * OpenGL, compatibility profile, since units draw in immediate mode) and a
 * framebuffer object that the units of a chain draw into; the picture is read
 * back into memory. Headless programs use it as it is (PNG snapshots, tests);
 * the GTK widget renders with it and copies the pixels to its cairo surface.
 *
 * Not to be confused with the "output.opengl" display unit, whose type is
 * KovGlView: this view is what draws such units.
 *
 * Each redraw (kov_gl_view_render) makes the view's context current, binds
 * its framebuffer at the requested size, clears it to opaque black, resets
 * the matrices, and then calls, for every unit of the chain whose flags hold
 * KOV_UNIT_RENDERS_GL, in chain order: draw_gl_init once (again after the
 * unit's "status-changed" or after kov_gl_view_release), then draw_gl.
 * When a GL unit stops streaming the view calls its draw_gl_release with the
 * context current; kov_gl_view_set_chain (to another chain or NULL) and
 * kov_gl_view_free release every GL unit of the chain they let go, and a GL
 * unit that is destroyed while the view knows it is released first.
 *
 * GL-rendering units create and upload their textures while they receive
 * frames, not only while they draw. The view's context must therefore be
 * current on the calling thread whenever frames flow through such units:
 * call kov_gl_view_make_current before kov_unit_chain_iterate (or before
 * pushing frames). The context stays current until another one is made
 * current; kov_gl_view_render leaves it current. With no context current,
 * kov_gl_texture_new returns NULL and the units pass frames on without
 * showing them.
 *
 * All calls belong to one thread, the one the chain runs on. */
#ifndef KOVKIT_GLVIEW_H
#define KOVKIT_GLVIEW_H

#include <kovkit/types.h>

G_BEGIN_DECLS

typedef struct _KovGLView KovGLView;

/* A view with its own offscreen context (EGL, surfaceless platform). NULL
 * with @error set (KOV_ERROR_FAILED, naming the step that failed) when no
 * such context can be made. The new context is not made current. */
KovGLView *kov_gl_view_new_offscreen(GError **error);

/* Releases every GL unit of the chain (context current), drops the chain and
 * destroys the context. NULL is ignored. */
void kov_gl_view_free(KovGLView *view);

/* Makes the view's context current on this thread; FALSE if EGL refused. */
gboolean kov_gl_view_make_current(KovGLView *view);
/* TRUE when the view's context is the current one of this thread. */
gboolean kov_gl_view_is_current(KovGLView *view);

/* The chain whose GL units the view draws; the view keeps a reference.
 * The GL units of the previous chain are released first. NULL drops it. */
void kov_gl_view_set_chain(KovGLView *view, KovUnitChain *chain);
/**
 * kov_gl_view_get_chain:
 * Returns: (transfer none) (nullable):
 */
KovUnitChain *kov_gl_view_get_chain(KovGLView *view);

/* The frame size of the chain's picture: the output format of the first GL
 * unit of the chain that has one. FALSE (and 0, 0) when none has. */
gboolean kov_gl_view_get_frame_size(KovGLView *view, gint *width, gint *height);

/* Makes the context current and binds the view's framebuffer at
 * @width × @height (re-allocated when the size changed), sets the viewport,
 * clears to opaque black and resets both matrices to the identity with the
 * model-view matrix current. Drawing that follows lands in the view.
 * FALSE for a size below 1 or above the GL limit, or a context failure. */
gboolean kov_gl_view_begin(KovGLView *view, gint width, gint height);

/* One redraw of the chain: kov_gl_view_begin, then draw_gl_init (when due)
 * and draw_gl of each GL unit in chain order. A @width or @height of 0 or
 * less takes the size from kov_gl_view_get_frame_size. Returns 0, or -1 when
 * there is no size or the context failed; a unit's own -1 does not stop the
 * others and is not reported here. */
gint kov_gl_view_render(KovGLView *view, gint width, gint height);

/* Size of the framebuffer, 0 before the first begin/render. */
gint kov_gl_view_get_width(KovGLView *view);
gint kov_gl_view_get_height(KovGLView *view);

/* Copies the framebuffer into @pixels as RGBA, 4 bytes per pixel, top row
 * first, rows @row_stride bytes apart (at least 4 × width). The picture is
 * opaque: alpha is always 255, whatever the units draw. FALSE before the
 * first begin/render or for a short stride. */
gboolean kov_gl_view_read_pixels(KovGLView *view, guint8 *pixels, gsize row_stride);
/* The same as B, G, R, A bytes: the layout of a cairo image surface
 * (CAIRO_FORMAT_RGB24 or ARGB32) on a little-endian machine. */
gboolean kov_gl_view_read_pixels_bgra(KovGLView *view, guint8 *pixels, gsize row_stride);

/* Calls draw_gl_release on every GL unit of the chain with the context
 * current; the next render calls their draw_gl_init again. */
void kov_gl_view_release(KovGLView *view);

G_END_DECLS

#endif
