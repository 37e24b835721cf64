// SPDX-License-Identifier: LGPL-2.1-or-later
// KovUnitChainGLWidget: a vertical box around a KovGLDrawingArea. It keeps
// the chain, runs it on the chain driver in the main loop while it streams
// (GL context current, since GL units upload their textures as frames
// arrive) and redraws the picture on every request_redraw. A threaded
// widget hands its chain to a KovChainThread, whose view draws the pictures
// that the area shows.
#include <kovkit-gtk/chain_gl_widget.h>

G_GNUC_BEGIN_IGNORE_DEPRECATIONS
G_DEFINE_TYPE(KovUnitChainGLWidget, kov_unit_chain_gl_widget, GTK_TYPE_VBOX)
G_GNUC_END_IGNORE_DEPRECATIONS

namespace {

enum { SIGNAL_REDRAW_REQUESTED, N_SIGNALS };
guint signals[N_SIGNALS];

enum { PROP_0, PROP_THREADED };

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

// In the main loop: shows the newest picture of the chain's thread, and asks
// for a new layout when the frame size changed.
gboolean show_new_picture(gpointer data) {
  auto *widget = KOV_UNIT_CHAIN_GL_WIDGET(data);
  g_atomic_int_set(&widget->picture_pending, 0);
  if (widget->thread == nullptr) return G_SOURCE_REMOVE;
  gint fw = 0, fh = 0;
  kov_chain_thread_lock_picture(widget->thread, nullptr, nullptr, &fw, &fh);
  kov_chain_thread_unlock_picture(widget->thread);
  if (fw != widget->frame_width || fh != widget->frame_height) {
    widget->frame_width = fw;
    widget->frame_height = fh;
    gtk_widget_queue_resize(GTK_WIDGET(widget->area));
  }
  kov_gl_drawing_area_invalidate(widget->area);
  return G_SOURCE_REMOVE;
}

// On the chain's thread: one visit of the main loop for any number of new
// pictures (the newest is shown).
void on_new_picture(KovChainThread *, gpointer data) {
  auto *widget = KOV_UNIT_CHAIN_GL_WIDGET(data);
  if (g_atomic_int_compare_and_exchange(&widget->picture_pending, 0, 1))
    g_idle_add_full(G_PRIORITY_DEFAULT, show_new_picture, g_object_ref(widget), g_object_unref);
}

// Ends the chain's thread (waiting for a unit at work to finish its frame).
void end_thread(KovUnitChainGLWidget *widget) {
  if (widget->thread == nullptr) return;
  kov_gl_drawing_area_set_chain_thread(widget->area, nullptr);
  kov_chain_thread_free(widget->thread);
  widget->thread = nullptr;
}

// Hands the chain to a thread of its own, with a GL view there when one can
// be made.
void start_thread(KovUnitChainGLWidget *widget) {
  GError *error = nullptr;
  widget->thread = kov_chain_thread_new(widget->chain, KOV_CHAIN_THREAD_GL_VIEW, &error);
  if (widget->thread == nullptr) {
    g_printerr("kovkit: %s; the chain runs without picture\n", error->message);
    g_clear_error(&error);
    widget->thread = kov_chain_thread_new(widget->chain, 0, &error);
  }
  if (widget->thread == nullptr) {
    g_printerr("kovkit: %s\n", error->message);
    g_error_free(error);
    return;
  }
  kov_chain_thread_set_picture_func(widget->thread, on_new_picture, widget, nullptr);
  kov_gl_drawing_area_set_chain_thread(widget->area, widget->thread);
}

gboolean redraw_in_main_loop(gpointer data) {
  kov_unit_chain_gl_widget_request_redraw(KOV_UNIT_CHAIN_GL_WIDGET(data));
  return G_SOURCE_REMOVE;
}

void set_property(GObject *object, guint id, const GValue *value, GParamSpec *pspec) {
  if (id == PROP_THREADED)
    KOV_UNIT_CHAIN_GL_WIDGET(object)->threaded = g_value_get_boolean(value);
  else
    G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
}

void get_property(GObject *object, guint id, GValue *value, GParamSpec *pspec) {
  if (id == PROP_THREADED)
    g_value_set_boolean(value, KOV_UNIT_CHAIN_GL_WIDGET(object)->threaded);
  else
    G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
}

void dispose(GObject *object) {
  KovUnitChainGLWidget *widget = KOV_UNIT_CHAIN_GL_WIDGET(object);
  detach_driver(widget);
  end_thread(widget);
  g_clear_object(&widget->chain);
  G_OBJECT_CLASS(kov_unit_chain_gl_widget_parent_class)->dispose(object);
}

}  // namespace

static void kov_unit_chain_gl_widget_class_init(KovUnitChainGLWidgetClass *klass) {
  G_OBJECT_CLASS(klass)->dispose = dispose;
  G_OBJECT_CLASS(klass)->set_property = set_property;
  G_OBJECT_CLASS(klass)->get_property = get_property;
  // Whether chains run on a thread of their own; chosen at construction.
  g_object_class_install_property(
      G_OBJECT_CLASS(klass), PROP_THREADED,
      g_param_spec_boolean("threaded", "Threaded", "Run the chain on a thread of its own", FALSE,
                           GParamFlags(G_PARAM_READWRITE | G_PARAM_CONSTRUCT_ONLY |
                                       G_PARAM_STATIC_STRINGS)));
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

GtkWidget *kov_unit_chain_gl_widget_new_threaded(void) {
  return GTK_WIDGET(g_object_new(KOV_TYPE_UNIT_CHAIN_GL_WIDGET, "threaded", TRUE, nullptr));
}

gboolean kov_unit_chain_gl_widget_get_threaded(KovUnitChainGLWidget *widget) {
  g_return_val_if_fail(KOV_IS_UNIT_CHAIN_GL_WIDGET(widget), FALSE);
  return widget->threaded;
}

KovChainThread *kov_unit_chain_gl_widget_get_chain_thread(KovUnitChainGLWidget *widget) {
  g_return_val_if_fail(KOV_IS_UNIT_CHAIN_GL_WIDGET(widget), nullptr);
  return widget->thread;
}

gboolean kov_unit_chain_gl_widget_set_active(KovUnitChainGLWidget *widget, gboolean active,
                                             GError **error) {
  g_return_val_if_fail(KOV_IS_UNIT_CHAIN_GL_WIDGET(widget), FALSE);
  if (widget->chain == nullptr) {
    g_set_error(error, KOV_ERROR, KOV_ERROR_STREAM, "the widget has no chain");
    return FALSE;
  }
  if (widget->thread != nullptr) {
    if (active) return kov_chain_thread_start(widget->thread, error);
    kov_chain_thread_stop(widget->thread);
    return TRUE;
  }
  kov_unit_chain_gl_widget_set_context(widget);
  if (active) return kov_unit_chain_all_units_stream_init_full(widget->chain, error);
  kov_unit_chain_all_units_stream_shutdown(widget->chain);
  return TRUE;
}

gint kov_unit_chain_gl_widget_set_chain(KovUnitChainGLWidget *widget, KovUnitChain *chain) {
  g_return_val_if_fail(KOV_IS_UNIT_CHAIN_GL_WIDGET(widget), -1);
  if (!KOV_IS_UNIT_CHAIN(chain)) return -1;
  if (widget->threaded) {
    if (chain != widget->chain || widget->thread == nullptr) {
      g_object_ref_sink(chain);
      end_thread(widget);
      if (widget->chain != nullptr) g_object_unref(widget->chain);
      widget->chain = chain;
      start_thread(widget);
    }
    return 0;
  }
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
  if (kov_chain_thread_in_chain_thread()) {
    g_idle_add_full(G_PRIORITY_DEFAULT, redraw_in_main_loop, g_object_ref(widget), g_object_unref);
    return;
  }
  ++widget->redraw_requests;
  g_signal_emit(widget, signals[SIGNAL_REDRAW_REQUESTED], 0);
  kov_gl_drawing_area_invalidate(widget->area);
}

gint kov_unit_chain_gl_widget_set_context(KovUnitChainGLWidget *widget) {
  g_return_val_if_fail(KOV_IS_UNIT_CHAIN_GL_WIDGET(widget), -1);
  if (widget->threaded) return 0;
  return kov_gl_drawing_area_set_context(widget->area);
}

KovGLDrawingArea *kov_unit_chain_gl_widget_get_drawing_area(KovUnitChainGLWidget *widget) {
  g_return_val_if_fail(KOV_IS_UNIT_CHAIN_GL_WIDGET(widget), nullptr);
  return widget->area;
}
