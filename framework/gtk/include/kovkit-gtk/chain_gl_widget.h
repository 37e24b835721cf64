/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* KovUnitChainGLWidget: a vertical box holding a KovGLDrawingArea that shows
 * the GL units of its chain. While the chain streams the widget runs it from
 * the main loop (with the GL context current), and every request_redraw
 * redraws the picture.
 *
 * A threaded widget ("threaded" property, kov_unit_chain_gl_widget_new_threaded)
 * runs its chain on a thread of its own instead (kovkit/chain_thread.h), where
 * the GL units also draw: the window keeps showing the newest picture, takes
 * control changes and stops the chain while a unit works on a frame. Its
 * chain then belongs to that thread: start and stop it with
 * kov_unit_chain_gl_widget_set_active, and expect the chain's signals on that
 * thread. request_redraw may be called there; it is carried out in the main
 * loop. */
#ifndef KOVKIT_GTK_CHAIN_GL_WIDGET_H
#define KOVKIT_GTK_CHAIN_GL_WIDGET_H

#include <kovkit-gtk/gl_drawing_area.h>

G_BEGIN_DECLS

#define KOV_TYPE_UNIT_CHAIN_GL_WIDGET (kov_unit_chain_gl_widget_get_type())
#define KOV_UNIT_CHAIN_GL_WIDGET(o) (G_TYPE_CHECK_INSTANCE_CAST((o), KOV_TYPE_UNIT_CHAIN_GL_WIDGET, KovUnitChainGLWidget))
#define KOV_IS_UNIT_CHAIN_GL_WIDGET(o) (G_TYPE_CHECK_INSTANCE_TYPE((o), KOV_TYPE_UNIT_CHAIN_GL_WIDGET))

typedef struct _KovUnitChainGLWidget KovUnitChainGLWidget;
typedef struct _KovUnitChainGLWidgetClass KovUnitChainGLWidgetClass;

G_GNUC_BEGIN_IGNORE_DEPRECATIONS
struct _KovUnitChainGLWidget {
  GtkVBox parent;
  KovGLDrawingArea *area;
  KovUnitChain *chain; /* reference */
  guint run_source;    /* the chain driver's source in the default main context */
  guint64 redraw_requests;
  gboolean threaded;       /* the chain runs on a thread of its own */
  KovChainThread *thread;  /* that thread while the widget has a chain */
  gint picture_pending;    /* a new picture waits for the main loop (atomic) */
  gint frame_width, frame_height; /* frame size of the last picture shown */
};

struct _KovUnitChainGLWidgetClass {
  GtkVBoxClass parent_class;
};
G_GNUC_END_IGNORE_DEPRECATIONS

GType kov_unit_chain_gl_widget_get_type(void);

/**
 * kov_unit_chain_gl_widget_new:
 * Returns: (transfer floating): a new widget without chain.
 */
GtkWidget *kov_unit_chain_gl_widget_new(void);
/**
 * kov_unit_chain_gl_widget_new_threaded:
 * Returns: (transfer floating): a new widget without chain that will run its
 * chains on a thread of their own.
 */
GtkWidget *kov_unit_chain_gl_widget_new_threaded(void);
gboolean kov_unit_chain_gl_widget_get_threaded(KovUnitChainGLWidget *widget);
/* Starts (waiting for the outcome: FALSE with @error set when the chain did
 * not start) or stops the widget's chain, with the GL context current. A
 * threaded widget's stop returns at once and takes effect when the unit at
 * work has finished its frame. */
gboolean kov_unit_chain_gl_widget_set_active(KovUnitChainGLWidget *widget, gboolean active,
                                             GError **error);
/**
 * kov_unit_chain_gl_widget_get_chain_thread: (skip)
 * Returns: (transfer none) (nullable): the thread that runs the chain of a
 * threaded widget.
 */
KovChainThread *kov_unit_chain_gl_widget_get_chain_thread(KovUnitChainGLWidget *widget);

/* Shows @chain (a reference is kept, a floating one is sunk). 0 on success,
 * -1 when @chain is not a chain. A threaded widget hands @chain to a new
 * thread, after ending the thread of the chain before (which waits for a
 * unit at work to finish its frame). */
gint kov_unit_chain_gl_widget_set_chain(KovUnitChainGLWidget *widget, KovUnitChain *chain);
/**
 * kov_unit_chain_gl_widget_get_chain:
 * Returns: (transfer none) (nullable):
 */
KovUnitChain *kov_unit_chain_gl_widget_get_chain(KovUnitChainGLWidget *widget);
/* Emits "redraw-requested" and schedules a redraw of the picture. */
void kov_unit_chain_gl_widget_request_redraw(KovUnitChainGLWidget *widget);
/* Makes the GL context current: 0, or -1 when there is none. A threaded
 * widget's context is current on the chain's thread: 0, nothing done. */
gint kov_unit_chain_gl_widget_set_context(KovUnitChainGLWidget *widget);
/**
 * kov_unit_chain_gl_widget_get_drawing_area:
 * Returns: (transfer none): the drawing area.
 */
KovGLDrawingArea *kov_unit_chain_gl_widget_get_drawing_area(KovUnitChainGLWidget *widget);

G_END_DECLS

#endif
