// SPDX-License-Identifier: LGPL-2.1-or-later
// convert.to_rgb8: turns any supported input into 8-bit RGB (RGB3). It
// converts nothing itself but BGRA: for each input format it creates a
// private worker unit by identifier (the colour-space converter, the fast
// debayer or a JPEG decompressor), feeds it from its own input unit, offers
// the worker's RGB formats as its own and relays the worker's frames. A fast
// debayer that offers no RGB3 has its BGR4 output converted to RGB here, into
// frames from the unit's pool; an RGB3 input is passed through untouched.
#include <kovkit/plugin_frame.h>
#include <kovkit/trace.h>

#include <cstring>

namespace {

struct KovRgb8Convert {
  KovUnit parent;
  KovUnit *worker;           // one strong reference, or NULL
  KovUnitManager *manager;   // one strong reference
  KovFramePool *rgb_pool;    // frames for converted BGRA, made on the first one; or NULL
  KovUnitControl *threads_ctl;  // bands of rows converted at once, by this unit and its worker
};

// Object data on each mirrored output format: the worker format it stands for.
constexpr const char *kWorkerFormatKey = "rgb8_convert:wfmt";

KovRgb8Convert *as_rgb8(gpointer object) { return kov::plugin::cast<KovRgb8Convert>(object); }

void on_worker_frame_ready(KovUnit *worker, KovFrameBuffer *frame, KovUnitFormat *wf,
                           gpointer user_data);

void free_rgb_pool(KovRgb8Convert *self) {
  kov_frame_pool_free(self->rgb_pool);
  self->rgb_pool = nullptr;
}

void drop_worker(KovRgb8Convert *self) {
  if (self->worker == nullptr) return;
  g_signal_handlers_disconnect_matched(
      self->worker, GSignalMatchType(G_SIGNAL_MATCH_FUNC | G_SIGNAL_MATCH_DATA), 0, 0, nullptr,
      reinterpret_cast<gpointer>(on_worker_frame_ready), self);
  g_object_unref(self->worker);
  self->worker = nullptr;
}

// Creates the worker when there is none yet and the manager knows the id.
void try_create_worker(KovRgb8Convert *self, const gchar *id) {
  if (self->worker != nullptr) return;
  if (kov_unit_manager_find_unit_description(self->manager, id) == nullptr) return;
  self->worker = kov_unit_manager_create_unit_by_id(self->manager, id);
  if (self->worker == nullptr) return;
  kov_dbg(KOV_DBG_DRIVER, "using worker unit [%s]\n", id);
}

// The worker converts with as many bands as this unit (when it can).
void pass_threads_to_worker(KovRgb8Convert *self) {
  KovUnitControl *worker_threads =
      self->worker != nullptr ? kov_unit_find_control(self->worker, "threads") : nullptr;
  if (worker_threads != nullptr)
    kov_unit_control_set_int(worker_threads, kov_unit_control_get_int(self->threads_ctl), nullptr);
}

void on_threads_changed(KovUnitControl *, gpointer self) {
  pass_threads_to_worker(static_cast<KovRgb8Convert *>(self));
}

void mirror_worker_formats(KovUnit *unit, KovUnit *worker) {
  const bool debayer = std::strcmp(kov_unit_get_id(worker), "convert.fast_debayer") == 0;
  GList *formats = kov_unit_get_output_formats(worker);
  // A debayer that demosaics straight to RGB is asked for that.
  bool worker_has_rgb = false;
  for (GList *l = formats; l != nullptr; l = l->next)
    worker_has_rgb = worker_has_rgb || KOV_UNIT_FORMAT(l->data)->pixelformat == KOV_PIX_FMT_RGB3;
  for (GList *l = formats; l != nullptr; l = l->next) {
    auto *f = static_cast<KovUnitFormat *>(l->data);
    KovUnitFormat *mine = nullptr;
    if (f->pixelformat == KOV_PIX_FMT_RGB3)
      mine = kov_unit_add_output_format(unit, KOV_PIX_FMT_RGB3, f->name, f->width, f->height,
                                        f->row_stride);
    else if (debayer && !worker_has_rgb && f->pixelformat == KOV_PIX_FMT_BGR4)
      mine = kov_unit_add_output_format(
          unit, KOV_PIX_FMT_RGB3, f->name, f->width, f->height,
          kov_pixel_format_min_row_stride(KOV_PIX_FMT_RGB3, f->width));
    if (mine != nullptr) g_object_set_data(G_OBJECT(mine), kWorkerFormatKey, f);
  }
  g_list_free(formats);
}

void on_input_format_changed(KovUnit *unit, KovUnitFormat *in, gpointer) {
  KovRgb8Convert *self = as_rgb8(unit);
  const bool was_streaming = kov_unit_is_streaming(unit);
  kov_unit_stream_shutdown(unit);
  drop_worker(self);
  kov_unit_remove_all_output_formats(unit);
  if (in == nullptr) return;

  switch (in->pixelformat) {
    case KOV_PIX_FMT_RGB3:
      kov_unit_mirror_input_format(unit, in);
      if (was_streaming) kov_unit_stream_init(unit, nullptr);
      return;
    case KOV_PIX_FMT_BGR4:
    case KOV_PIX_FMT_BGR3:
    case KOV_PIX_FMT_GREY:
    case KOV_PIX_FMT_I420:
    case KOV_PIX_FMT_YUYV:
    case KOV_PIX_FMT_UYVY:
      try_create_worker(self, "convert.colorspace");
      break;
    case KOV_PIX_FMT_MJPG:
      try_create_worker(self, "ipp.jpeg_decompress");
      try_create_worker(self, "framewave.jpeg_decompress");
      try_create_worker(self, "convert.jpeg_decompress");
      break;
    default:
      if (!kov_pixel_format_is_bayer(in->pixelformat)) return;
      try_create_worker(self, "convert.fast_debayer");
      break;
  }
  if (self->worker == nullptr) return;

  g_object_ref_sink(self->worker);
  g_signal_connect_data(self->worker, "frame-ready", G_CALLBACK(on_worker_frame_ready), self,
                        nullptr, GConnectFlags(0));
  pass_threads_to_worker(self);
  kov_unit_set_input(self->worker, kov_unit_get_input(unit));
  mirror_worker_formats(unit, self->worker);
  if (was_streaming) kov_unit_stream_init(unit, nullptr);
}

gint rgb8_stream_init(KovUnit *unit, KovUnitFormat *format) {
  KovRgb8Convert *self = as_rgb8(unit);
  KovUnit *input = kov_unit_get_input(unit);
  KovUnitFormat *in = input != nullptr ? kov_unit_get_output_format(input) : nullptr;
  if (in != nullptr && in->pixelformat == KOV_PIX_FMT_RGB3) return 0;
  if (self->worker == nullptr || format == nullptr) return -1;
  auto *wf = static_cast<KovUnitFormat *>(g_object_get_data(G_OBJECT(format), kWorkerFormatKey));
  if (wf == nullptr) return -1;
  return kov_unit_stream_init(self->worker, wf);
}

gint rgb8_stream_shutdown(KovUnit *unit) {
  KovRgb8Convert *self = as_rgb8(unit);
  free_rgb_pool(self);
  return self->worker != nullptr ? kov_unit_stream_shutdown(self->worker) : 0;
}

void rgb8_input_frame_ready(KovUnit *unit, KovFrameBuffer *frame, KovUnitFormat *in) {
  if (in != nullptr && in->pixelformat == KOV_PIX_FMT_RGB3) kov_unit_produce_frame(unit, frame, in);
}

// BGRA frame of the fast debayer to a new RGB3 frame in the unit's format.
void convert_bgra_frame(KovUnit *unit, KovFrameBuffer *frame, KovUnitFormat *wf) {
  KovUnitFormat *out = kov_unit_get_output_format(unit);
  const gchar *name = kov_unit_get_name(unit);
  if (out == nullptr || !kov_unit_is_streaming(unit)) {
    kov_dbg(KOV_DBG_ERROR, "[%s] worker frame arrived while not streaming, dropped\n", name);
    return;
  }
  // Rows to read: row_stride × (height − 1) + 4 × width bytes of the frame;
  // rows to write: the unit's own format, which mirrors the worker's size.
  const gsize w = gsize(MAX(wf->width, 0)), h = gsize(MAX(wf->height, 0));
  if (w == 0 || h == 0 || wf->row_stride < gint(4 * w) || out->width != wf->width ||
      out->height != wf->height || out->row_stride < gint(3 * w) ||
      frame->bytesused < gsize(wf->row_stride) * (h - 1) + 4 * w) {
    kov_dbg(KOV_DBG_ERROR, "[%s] worker frame does not fit the stream, dropped\n", name);
    return;
  }
  const gsize size = w * h * 3;
  const gsize frame_size = MAX(size, gsize(out->row_stride) * h);
  KovFrameBuffer *rgb = kov_frame_pool_acquire_sized(&as_rgb8(unit)->rgb_pool, frame_size);
  if (rgb == nullptr) {
    kov_dbg(KOV_DBG_ERROR, "[%s] no memory for an output frame, dropped\n", name);
    return;
  }
  struct Rows {
    guint8 *dst;
    gint dst_stride, width;
    const guint8 *src;
    gint src_stride;
  } rows = {rgb->data, out->row_stride, wf->width, frame->data, wf->row_stride};
  kov_workers_run_bands(
      kov_unit_control_get_int(as_rgb8(unit)->threads_ctl), wf->height, 1,
      [](gint first, gint n, gpointer data) {
        const Rows &r = *static_cast<Rows *>(data);
        kov_pixel_convert_8u_bgra_to_8u_rgb(r.dst + gsize(first) * r.dst_stride, r.dst_stride,
                                            r.width, n, r.src + gsize(first) * r.src_stride,
                                            r.src_stride);
      },
      &rows);
  kov_framebuffer_copy_metadata(rgb, frame);
  rgb->bytesused = size;
  kov_unit_produce_frame(unit, rgb, out);
  g_object_unref(rgb);
}

void on_worker_frame_ready(KovUnit *, KovFrameBuffer *frame, KovUnitFormat *wf,
                           gpointer user_data) {
  KovUnit *unit = KOV_UNIT(user_data);
  if (frame == nullptr || wf == nullptr) return;
  if (wf->pixelformat == KOV_PIX_FMT_RGB3) {
    // The frame goes on in this unit's own format (the mirror of wf).
    KovUnitFormat *out = kov_unit_get_output_format(unit);
    kov_unit_produce_frame(unit, frame, out != nullptr ? out : wf);
  }
  else if (wf->pixelformat == KOV_PIX_FMT_BGR4)
    convert_bgra_frame(unit, frame, wf);
}

void rgb8_finalize(GObject *object) {
  KovRgb8Convert *self = as_rgb8(object);
  drop_worker(self);
  free_rgb_pool(self);
  if (self->manager != nullptr) g_object_unref(self->manager);
  self->manager = nullptr;
  kov::plugin::parent_class<KovRgb8Convert>()->finalize(object);
}

void rgb8_class_init(KovUnitClass *klass) {
  G_OBJECT_CLASS(klass)->finalize = rgb8_finalize;
  klass->stream_init = rgb8_stream_init;
  klass->stream_shutdown = rgb8_stream_shutdown;
  klass->input_frame_ready = rgb8_input_frame_ready;
}

void rgb8_init(KovRgb8Convert *self) {
  KovUnit *unit = &self->parent;
  kov_unit_set_preferred_format(unit, KOV_PIX_FMT_RGB3, 0, 0, 0);
  self->worker = nullptr;
  self->rgb_pool = nullptr;
  self->manager = kov_unit_manager_get_and_ref();
  self->threads_ctl = kov_unit_add_control_int(unit, "threads", "Threads", 1, 16, 1, 1, TRUE);
  g_signal_connect(self->threads_ctl, "changed", G_CALLBACK(on_threads_changed), self);
  g_signal_connect_data(unit, "input-format-changed", G_CALLBACK(on_input_format_changed),
                        nullptr, nullptr, GConnectFlags(0));
}

}  // namespace

KOV_PLUGIN_STOCK_UNIT(KovRgb8Convert, kov_rgb8_convert_get_type, "KovRgb8Convert",
                      rgb8_class_init, rgb8_init, "convert", "to_rgb8",
                      "Convert to 8-bit RGB", 0)
