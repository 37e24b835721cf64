/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* KovUnitChainGLWidget: a vertical box holding a KovGLDrawingArea that shows
 * the GL units of its chain. While the chain streams the widget runs it from
 * the main loop (with the GL context current), and every request_redraw
 * redraws the picture. */
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

/* Shows @chain (a reference is kept, a floating one is sunk). 0 on success,
 * -1 when @chain is not a chain. */
gint kov_unit_chain_gl_widget_set_chain(KovUnitChainGLWidget *widget, KovUnitChain *chain);
/**
 * kov_unit_chain_gl_widget_get_chain:
 * Returns: (transfer none) (nullable):
 */
KovUnitChain *kov_unit_chain_gl_widget_get_chain(KovUnitChainGLWidget *widget);
/* Emits "redraw-requested" and schedules a redraw of the picture. */
void kov_unit_chain_gl_widget_request_redraw(KovUnitChainGLWidget *widget);
/* Makes the GL context current: 0, or -1 when there is none. */
gint kov_unit_chain_gl_widget_set_context(KovUnitChainGLWidget *widget);
/**
 * kov_unit_chain_gl_widget_get_drawing_area:
 * Returns: (transfer none): the drawing area.
 */
KovGLDrawingArea *kov_unit_chain_gl_widget_get_drawing_area(KovUnitChainGLWidget *widget);

G_END_DECLS

#endif
