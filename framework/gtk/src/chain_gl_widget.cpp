// KovUnitChainGLWidget: a vertical box around a KovGLDrawingArea. It keeps
// the chain, runs it from the main loop while it streams (GL context current,
// since GL units upload their textures as frames arrive) and redraws the
// picture on every request_redraw.
#include <kovkit-gtk/chain_gl_widget.h>

G_GNUC_BEGIN_IGNORE_DEPRECATIONS
G_DEFINE_TYPE(KovUnitChainGLWidget, kov_unit_chain_gl_widget, GTK_TYPE_VBOX)
G_GNUC_END_IGNORE_DEPRECATIONS

namespace {

enum { SIGNAL_REDRAW_REQUESTED, N_SIGNALS };
guint signals[N_SIGNALS];

// How long to wait before looking again at a chain that does not stream.
constexpr guint kIdlePollMs = 50;
// Upper bound of one wait while streaming, so that a control change that
// makes a source due earlier is noticed soon.
constexpr gint64 kMaxWaitUs = 50000;

gboolean run_chain(gpointer data);

void schedule_run(KovUnitChainGLWidget *widget, guint delay_ms) {
  widget->run_source = g_timeout_add(delay_ms, run_chain, widget);
  g_source_set_name_by_id(widget->run_source, "[kovkit] chain GL widget run");
}

// One step of the chain: every due source produces; then wait until the next
// one is due.
gboolean run_chain(gpointer data) {
  KovUnitChainGLWidget *widget = KOV_UNIT_CHAIN_GL_WIDGET(data);
  widget->run_source = 0;
  guint delay_ms = kIdlePollMs;
  // A frame handler may drop the last reference to the widget: keep it alive
  // until the next step is scheduled (dispose then removes that step).
  g_object_ref(widget);
  if (widget->chain != nullptr && kov_unit_chain_is_streaming(widget->chain)) {
    kov_gl_drawing_area_set_context(widget->area);
    const gint64 next = kov_unit_chain_iterate(widget->chain);
    const gint64 wait = next - kov_time_now();
    delay_ms = static_cast<guint>(CLAMP(wait, 0, kMaxWaitUs) / 1000);
  }
  // A disposed widget has no chain and must not run again.
  if (widget->chain != nullptr && widget->run_source == 0) schedule_run(widget, delay_ms);
  g_object_unref(widget);
  return G_SOURCE_REMOVE;
}

void dispose(GObject *object) {
  KovUnitChainGLWidget *widget = KOV_UNIT_CHAIN_GL_WIDGET(object);
  if (widget->run_source != 0) {
    g_source_remove(widget->run_source);
    widget->run_source = 0;
  }
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
    if (widget->chain != nullptr) g_object_unref(widget->chain);
    widget->chain = chain;
    kov_gl_drawing_area_set_chain(widget->area, chain);
  }
  if (widget->run_source == 0) schedule_run(widget, 0);
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
