// SPDX-License-Identifier: LGPL-2.1-or-later
// KovGLDrawingArea: renders a chain's GL units into the offscreen KovGLView
// and paints the read-back picture with cairo, as large as the widget allows
// at the frame's aspect ratio, centred between black bars.
#include <kovkit-gtk/gl_drawing_area.h>

#include <cstring>

G_DEFINE_TYPE(KovGLDrawingArea, kov_gl_drawing_area, GTK_TYPE_DRAWING_AREA)

namespace {

constexpr gint kDefaultWidth = 320;
constexpr gint kDefaultHeight = 240;

// Makes the view on first use; remembers a failure so that a machine without
// GL does not retry on every draw.
KovGLView *ensure_view(KovGLDrawingArea *area) {
  if (area->view != nullptr || area->view_failed) return area->view;
  GError *error = nullptr;
  area->view = kov_gl_view_new_offscreen(&error);
  if (area->view == nullptr) {
    area->view_failed = TRUE;
    area->view_error = g_strdup(error != nullptr ? error->message : "no GL context");
    g_clear_error(&error);
    return nullptr;
  }
  if (area->chain != nullptr) kov_gl_view_set_chain(area->view, area->chain);
  return area->view;
}

// Converts the view's RGBA rows into cairo's native-endian ARGB32. The
// picture is shown opaque whatever its alpha: units that draw with a logical
// operation (an XOR marker) change the alpha byte too, and a premultiplied
// alpha of 0 would hide what they drew.
void rgba_to_cairo(const guint8 *src, gsize src_stride, guint8 *dst, gint dst_stride,
                   gint width, gint height) {
  for (gint y = 0; y < height; ++y) {
    const guint8 *__restrict s = src + static_cast<gsize>(y) * src_stride;
    guint32 *__restrict d = reinterpret_cast<guint32 *>(dst + static_cast<gsize>(y) * dst_stride);
    for (gint x = 0; x < width; ++x) {
      d[x] = 0xFF000000u | (static_cast<guint32>(s[4 * x]) << 16) |
             (static_cast<guint32>(s[4 * x + 1]) << 8) | s[4 * x + 2];
    }
  }
}

void paint_message(cairo_t *cr, const gchar *text) {
  cairo_set_source_rgb(cr, 0.8, 0.8, 0.8);
  cairo_move_to(cr, 8, 20);
  cairo_show_text(cr, text);
}

// The rectangle of an area_width × area_height area that shows a frame of
// frame_width × frame_height: the whole width or the whole height, the other
// side rounded to the nearest pixel, centred. Without a frame size, the area.
GdkRectangle fit_picture(gint area_width, gint area_height, gint frame_width, gint frame_height) {
  GdkRectangle r = {0, 0, area_width, area_height};
  if (frame_width < 1 || frame_height < 1) return r;
  const gint64 fw = frame_width, fh = frame_height;
  if (area_width * fh <= area_height * fw)
    r.height = static_cast<gint>(MAX(1, (area_width * fh + fw / 2) / fw));
  else
    r.width = static_cast<gint>(MAX(1, (area_height * fw + fh / 2) / fh));
  r.x = (area_width - r.width) / 2;
  r.y = (area_height - r.height) / 2;
  return r;
}

// The newest picture of the area's chain thread, as large as the area
// allows at the frame's aspect ratio (the thread draws it at that size); a
// picture of another size (the area was resized since) is scaled until the
// thread draws one of the new size.
void paint_thread_picture(KovGLDrawingArea *area, cairo_t *cr, gint area_width,
                          gint area_height) {
  gint width = 0, height = 0, frame_width = 0, frame_height = 0;
  const guint8 *pixels =
      kov_chain_thread_lock_picture(area->thread, &width, &height, &frame_width, &frame_height);
  const GdkRectangle picture = fit_picture(area_width, area_height,
                                           frame_width > 0 ? frame_width : width,
                                           frame_height > 0 ? frame_height : height);
  if (pixels != nullptr) {
    cairo_surface_t *surface = cairo_image_surface_create_for_data(
        const_cast<guint8 *>(pixels), CAIRO_FORMAT_RGB24, width, height, width * 4);
    if (cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS) {
      cairo_save(cr);
      cairo_translate(cr, picture.x, picture.y);
      cairo_scale(cr, double(picture.width) / width, double(picture.height) / height);
      cairo_set_source_surface(cr, surface, 0, 0);
      cairo_paint(cr);
      cairo_restore(cr);
    }
    cairo_surface_destroy(surface);
  }
  kov_chain_thread_unlock_picture(area->thread);
  kov_chain_thread_set_picture_size(area->thread, area_width, area_height);
}

// Returns FALSE so that handlers connected after it can draw on top.
gboolean on_draw(GtkWidget *widget, cairo_t *cr) {
  KovGLDrawingArea *area = KOV_GL_DRAWING_AREA(widget);
  cairo_set_source_rgb(cr, 0, 0, 0);
  cairo_paint(cr);
  if (gtk_widget_get_allocated_width(widget) <= 0 || gtk_widget_get_allocated_height(widget) <= 0)
    return FALSE;
  if (area->thread != nullptr) {
    paint_thread_picture(area, cr, gtk_widget_get_allocated_width(widget),
                         gtk_widget_get_allocated_height(widget));
    return FALSE;
  }

  KovGLView *view = ensure_view(area);
  if (view == nullptr) {
    paint_message(cr, area->view_error);
    return FALSE;
  }
  if (area->chain == nullptr) return FALSE;
  gint frame_width = 0, frame_height = 0;
  kov_gl_view_get_frame_size(view, &frame_width, &frame_height);
  const GdkRectangle picture =
      fit_picture(gtk_widget_get_allocated_width(widget), gtk_widget_get_allocated_height(widget),
                  frame_width, frame_height);
  const gint width = picture.width;
  const gint height = picture.height;
  if (kov_gl_view_render(view, width, height) != 0) return FALSE;

  const gsize stride = static_cast<gsize>(width) * 4;
  const gsize size = stride * static_cast<gsize>(height);
  if (area->pixels_size < size) {
    g_free(area->pixels);
    area->pixels = static_cast<guint8 *>(g_malloc(size));
    area->pixels_size = size;
  }
  if (!kov_gl_view_read_pixels(view, area->pixels, stride)) return FALSE;

  cairo_surface_t *surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
  if (cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS) {
    cairo_surface_flush(surface);
    rgba_to_cairo(area->pixels, stride, cairo_image_surface_get_data(surface),
                  cairo_image_surface_get_stride(surface), width, height);
    cairo_surface_mark_dirty(surface);
    cairo_set_source_surface(cr, surface, picture.x, picture.y);
    cairo_paint(cr);
  }
  cairo_surface_destroy(surface);
  return FALSE;
}

// Asks for the chain's frame size, so that a frame is shown pixel for pixel
// when the window leaves room for it.
void get_preferred_size(KovGLDrawingArea *area, bool horizontal, gint *minimum, gint *natural) {
  gint w = kDefaultWidth, h = kDefaultHeight;
  if (area->thread != nullptr) {
    gint fw = 0, fh = 0;
    kov_chain_thread_lock_picture(area->thread, nullptr, nullptr, &fw, &fh);
    kov_chain_thread_unlock_picture(area->thread);
    if (fw > 0 && fh > 0) {
      w = fw;
      h = fh;
    }
  } else if (area->view != nullptr) {
    gint fw = 0, fh = 0;
    if (kov_gl_view_get_frame_size(area->view, &fw, &fh) && fw > 0 && fh > 0) {
      w = fw;
      h = fh;
    }
  }
  *minimum = 1;
  *natural = horizontal ? w : h;
}

void get_preferred_width(GtkWidget *widget, gint *minimum, gint *natural) {
  get_preferred_size(KOV_GL_DRAWING_AREA(widget), true, minimum, natural);
}

void get_preferred_height(GtkWidget *widget, gint *minimum, gint *natural) {
  get_preferred_size(KOV_GL_DRAWING_AREA(widget), false, minimum, natural);
}

// A threaded area asks for pictures of its new size before it draws.
void size_allocate(GtkWidget *widget, GtkAllocation *allocation) {
  GTK_WIDGET_CLASS(kov_gl_drawing_area_parent_class)->size_allocate(widget, allocation);
  KovGLDrawingArea *area = KOV_GL_DRAWING_AREA(widget);
  if (area->thread != nullptr)
    kov_chain_thread_set_picture_size(area->thread, gtk_widget_get_allocated_width(widget),
                                      gtk_widget_get_allocated_height(widget));
}

void dispose(GObject *object) {
  KovGLDrawingArea *area = KOV_GL_DRAWING_AREA(object);
  // The view releases the chain's GL units with its context current.
  g_clear_pointer(&area->view, kov_gl_view_free);
  g_clear_object(&area->chain);
  G_OBJECT_CLASS(kov_gl_drawing_area_parent_class)->dispose(object);
}

void finalize(GObject *object) {
  KovGLDrawingArea *area = KOV_GL_DRAWING_AREA(object);
  g_free(area->pixels);
  g_free(area->view_error);
  G_OBJECT_CLASS(kov_gl_drawing_area_parent_class)->finalize(object);
}

}  // namespace

static void kov_gl_drawing_area_class_init(KovGLDrawingAreaClass *klass) {
  GObjectClass *object_class = G_OBJECT_CLASS(klass);
  object_class->dispose = dispose;
  object_class->finalize = finalize;
  GtkWidgetClass *widget_class = GTK_WIDGET_CLASS(klass);
  widget_class->draw = on_draw;
  widget_class->get_preferred_width = get_preferred_width;
  widget_class->get_preferred_height = get_preferred_height;
  widget_class->size_allocate = size_allocate;
}

static void kov_gl_drawing_area_init(KovGLDrawingArea *area) {
  area->vblank_sync = 1;
}

GtkWidget *kov_gl_drawing_area_new(void) {
  return GTK_WIDGET(g_object_new(KOV_TYPE_GL_DRAWING_AREA, nullptr));
}

void kov_gl_drawing_area_set_vblank_sync(KovGLDrawingArea *area, gint vblank_sync) {
  g_return_if_fail(KOV_IS_GL_DRAWING_AREA(area));
  area->vblank_sync = vblank_sync;
}

void kov_gl_drawing_area_swap_buffers(KovGLDrawingArea *area) {
  g_return_if_fail(KOV_IS_GL_DRAWING_AREA(area));
  gtk_widget_queue_draw(GTK_WIDGET(area));
}

gint kov_gl_drawing_area_set_context(KovGLDrawingArea *area) {
  g_return_val_if_fail(KOV_IS_GL_DRAWING_AREA(area), -1);
  KovGLView *view = ensure_view(area);
  if (view == nullptr) return -1;
  return kov_gl_view_make_current(view) ? 0 : -1;
}

void kov_gl_drawing_area_invalidate(KovGLDrawingArea *area) {
  g_return_if_fail(KOV_IS_GL_DRAWING_AREA(area));
  gtk_widget_queue_draw(GTK_WIDGET(area));
}

void kov_gl_drawing_area_set_chain(KovGLDrawingArea *area, KovUnitChain *chain) {
  g_return_if_fail(KOV_IS_GL_DRAWING_AREA(area));
  g_return_if_fail(chain == nullptr || KOV_IS_UNIT_CHAIN(chain));
  if (chain == area->chain) return;
  if (chain != nullptr) g_object_ref_sink(chain);
  if (area->view != nullptr) kov_gl_view_set_chain(area->view, chain);
  if (area->chain != nullptr) g_object_unref(area->chain);
  area->chain = chain;
  gtk_widget_queue_resize(GTK_WIDGET(area));
}

void kov_gl_drawing_area_set_chain_thread(KovGLDrawingArea *area, KovChainThread *thread) {
  g_return_if_fail(KOV_IS_GL_DRAWING_AREA(area));
  area->thread = thread;
  GtkWidget *widget = GTK_WIDGET(area);
  if (thread != nullptr && gtk_widget_get_allocated_width(widget) > 1)
    kov_chain_thread_set_picture_size(thread, gtk_widget_get_allocated_width(widget),
                                      gtk_widget_get_allocated_height(widget));
  gtk_widget_queue_resize(widget);
}

KovGLView *kov_gl_drawing_area_get_view(KovGLDrawingArea *area) {
  g_return_val_if_fail(KOV_IS_GL_DRAWING_AREA(area), nullptr);
  return ensure_view(area);
}
