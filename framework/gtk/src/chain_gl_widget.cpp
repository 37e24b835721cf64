// SPDX-License-Identifier: LGPL-2.1-or-later
// KovUnitChainGLWidget: a vertical box around a KovGLDrawingArea. It keeps
// the chain, runs it on the chain driver in the main loop while it streams
// (GL context current, since GL units upload their textures as frames
// arrive) and redraws the picture on every request_redraw.
#include <kovkit-gtk/chain_gl_widget.h>

G_GNUC_BEGIN_IGNORE_DEPRECATIONS
G_DEFINE_TYPE(KovUnitChainGLWidget, kov_unit_chain_gl_widget, GTK_TYPE_VBOX)
G_GNUC_END_IGNORE_DEPRECATIONS

namespace {

enum { SIGNAL_REDRAW_REQUESTED, N_SIGNALS };
guint signals[N_SIGNALS];

// Runs before each step of the chain driver: GL units upload their textures
// as frames arrive, so the widget's context must be current.
gboolean before_step(gpointer data) {
  kov_gl_drawing_area_set_context(KOV_UNIT_CHAIN_GL_WIDGET(data)->area);
  return G_SOURCE_CONTINUE;
}

// Runs the chain on the chain driver in the default main context.
void attach_driver(KovUnitChainGLWidget *widget) {
  GSource *source = kov_unit_chain_source_new(widget->chain);
  // Below GTK's input and redraw: a source that is always due (a file list,
  // a test source without rate) must not keep the window from drawing.
  g_source_set_priority(source, G_PRIORITY_DEFAULT_IDLE);
  g_source_set_callback(source, before_step, widget, nullptr);
  widget->run_source = g_source_attach(source, nullptr);
  g_source_unref(source);
}

void detach_driver(KovUnitChainGLWidget *widget) {
  if (widget->run_source == 0) return;
  g_source_remove(widget->run_source);
  widget->run_source = 0;
}

void dispose(GObject *object) {
  KovUnitChainGLWidget *widget = KOV_UNIT_CHAIN_GL_WIDGET(object);
  detach_driver(widget);
  g_clear_object(&widget->chain);
  G_OBJECT_CLASS(kov_unit_chain_gl_widget_parent_class)->dispose(object);
}

}  // namespace

static void kov_unit_chain_gl_widget_class_init(KovUnitChainGLWidgetClass *klass) {
  G_OBJECT_CLASS(klass)->dispose = dispose;
  // Emitted by every request_redraw, before the picture is redrawn.
  signals[SIGNAL_REDRAW_REQUESTED] =
      g_signal_new("redraw-requested", G_TYPE_FROM_CLASS(klass), G_SIGNAL_RUN_LAST, 0, nullptr,
                   nullptr, nullptr, G_TYPE_NONE, 0);
}

static void kov_unit_chain_gl_widget_init(KovUnitChainGLWidget *widget) {
  widget->area = KOV_GL_DRAWING_AREA(kov_gl_drawing_area_new());
  gtk_box_pack_start(GTK_BOX(widget), GTK_WIDGET(widget->area), TRUE, TRUE, 0);
  gtk_widget_show(GTK_WIDGET(widget->area));
}

GtkWidget *kov_unit_chain_gl_widget_new(void) {
  return GTK_WIDGET(g_object_new(KOV_TYPE_UNIT_CHAIN_GL_WIDGET, nullptr));
}

gint kov_unit_chain_gl_widget_set_chain(KovUnitChainGLWidget *widget, KovUnitChain *chain) {
  g_return_val_if_fail(KOV_IS_UNIT_CHAIN_GL_WIDGET(widget), -1);
  if (!KOV_IS_UNIT_CHAIN(chain)) return -1;
  if (chain != widget->chain) {
    g_object_ref_sink(chain);
    detach_driver(widget);
    if (widget->chain != nullptr) g_object_unref(widget->chain);
    widget->chain = chain;
    kov_gl_drawing_area_set_chain(widget->area, chain);
  }
  if (widget->run_source == 0) attach_driver(widget);
  return 0;
}

KovUnitChain *kov_unit_chain_gl_widget_get_chain(KovUnitChainGLWidget *widget) {
  g_return_val_if_fail(KOV_IS_UNIT_CHAIN_GL_WIDGET(widget), nullptr);
  return widget->chain;
}

void kov_unit_chain_gl_widget_request_redraw(KovUnitChainGLWidget *widget) {
  g_return_if_fail(KOV_IS_UNIT_CHAIN_GL_WIDGET(widget));
  ++widget->redraw_requests;
  g_signal_emit(widget, signals[SIGNAL_REDRAW_REQUESTED], 0);
  kov_gl_drawing_area_invalidate(widget->area);
}

gint kov_unit_chain_gl_widget_set_context(KovUnitChainGLWidget *widget) {
  g_return_val_if_fail(KOV_IS_UNIT_CHAIN_GL_WIDGET(widget), -1);
  return kov_gl_drawing_area_set_context(widget->area);
}

KovGLDrawingArea *kov_unit_chain_gl_widget_get_drawing_area(KovUnitChainGLWidget *widget) {
  g_return_val_if_fail(KOV_IS_UNIT_CHAIN_GL_WIDGET(widget), nullptr);
  return widget->area;
}
