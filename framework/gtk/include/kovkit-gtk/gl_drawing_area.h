/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* KovGLDrawingArea: a GtkDrawingArea that shows a chain's GL units. It renders
 * through an offscreen KovGLView (framebuffer object) and copies the picture
 * to the widget with cairo on every draw. The picture keeps the frame's
 * aspect ratio: it takes the widget's whole width or whole height, the other
 * side rounded to the nearest pixel, and is centred between black bars. */
#ifndef KOVKIT_GTK_GL_DRAWING_AREA_H
#define KOVKIT_GTK_GL_DRAWING_AREA_H

#include <gtk/gtk.h>
#include <kovkit/kovkit.h>
#include <kovkit/glview.h>

G_BEGIN_DECLS

#define KOV_TYPE_GL_DRAWING_AREA (kov_gl_drawing_area_get_type())
#define KOV_GL_DRAWING_AREA(o) (G_TYPE_CHECK_INSTANCE_CAST((o), KOV_TYPE_GL_DRAWING_AREA, KovGLDrawingArea))
#define KOV_IS_GL_DRAWING_AREA(o) (G_TYPE_CHECK_INSTANCE_TYPE((o), KOV_TYPE_GL_DRAWING_AREA))

typedef struct _KovGLDrawingArea KovGLDrawingArea;
typedef struct _KovGLDrawingAreaClass KovGLDrawingAreaClass;

struct _KovGLDrawingArea {
  GtkDrawingArea parent;
  KovGLView *view;     /* made on first need; NULL when GL is unavailable */
  gboolean view_failed;
  gchar *view_error;   /* why the view could not be made */
  KovUnitChain *chain; /* reference, given to the view */
  gint vblank_sync;
  guint8 *pixels;      /* read-back buffer, RGBA */
  gsize pixels_size;
  KovChainThread *thread; /* when set, the chain thread whose pictures are shown */
};

struct _KovGLDrawingAreaClass {
  GtkDrawingAreaClass parent_class;
};

GType kov_gl_drawing_area_get_type(void);

/**
 * kov_gl_drawing_area_new:
 * Returns: (transfer floating): a new drawing area.
 */
GtkWidget *kov_gl_drawing_area_new(void);

/* Stored for compatibility; an offscreen view presents without vertical
 * synchronisation, the picture reaches the screen with GTK's next frame. */
void kov_gl_drawing_area_set_vblank_sync(KovGLDrawingArea *area, gint vblank_sync);
/* Presents what was drawn: schedules a redraw of the widget. */
void kov_gl_drawing_area_swap_buffers(KovGLDrawingArea *area);
/* Makes the view's GL context current: 0, or -1 when there is no context. */
gint kov_gl_drawing_area_set_context(KovGLDrawingArea *area);
/* Schedules a redraw of the widget. */
void kov_gl_drawing_area_invalidate(KovGLDrawingArea *area);

/**
 * kov_gl_drawing_area_set_chain:
 * @chain: (nullable): the chain whose GL units the area draws (a reference is
 *   kept; NULL drops it)
 */
void kov_gl_drawing_area_set_chain(KovGLDrawingArea *area, KovUnitChain *chain);
/**
 * kov_gl_drawing_area_set_chain_thread: (skip)
 * @thread: (nullable): a chain thread made with KOV_CHAIN_THREAD_GL_VIEW, or
 *   NULL to go back to drawing the area's own chain
 *
 * Shows the pictures that @thread's view draws instead of drawing with a
 * view of its own: the newest one, scaled to the area when the window was
 * resized since it was drawn, until the next one comes. The area asks the
 * thread for pictures of its size. No reference is kept: the caller resets
 * this before it frees the thread.
 */
void kov_gl_drawing_area_set_chain_thread(KovGLDrawingArea *area, KovChainThread *thread);
/**
 * kov_gl_drawing_area_get_view: (skip)
 *
 * Returns: (transfer none) (nullable): the offscreen view, made if needed.
 */
KovGLView *kov_gl_drawing_area_get_view(KovGLDrawingArea *area);

G_END_DECLS

#endif
