// SPDX-License-Identifier: LGPL-2.1-or-later
// Texture upload and draw per frame in the offscreen GL view, at 640×480 and
// 1920×1080 for RGB3 and BGR4, against a bare glTexSubImage2D of the same data
// into a texture of the same size in the same run. Each figure carries its
// ratio to the bare upload ("x_bare"); "x_bare_upload" is the upload alone.
#include <benchmark/benchmark.h>

#include "test_support.h"

#include <kovkit/kovkit.h>

#include <epoxy/gl.h>

#include <algorithm>
#include <chrono>
#include <vector>

namespace {

struct ViewHolder {
  KovGLView *view = kov_gl_view_new_offscreen(nullptr);
  ~ViewHolder() { kov_gl_view_free(view); }
};

KovGLView *shared_view() {
  static ViewHolder holder;
  return holder.view;
}

std::vector<uint8_t> picture(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = uint8_t(i * 7 + (i >> 11));
  return bytes;
}

// Wall time: the GL driver may work on threads of its own; glFinish makes
// each measured frame complete.
double now_us() {
  return std::chrono::duration<double, std::micro>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The peer: a texture of the same size and a bare glTexSubImage2D.
struct BareTexture {
  GLuint name = 0;
  GLenum format;
  int width, height;
  BareTexture(int w, int h, int bpp) : format(bpp == 3 ? GL_RGB : GL_BGRA), width(w), height(h) {
    glGenTextures(1, &name);
    glBindTexture(GL_TEXTURE_2D, name);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGB8, w, h, 0, format, GL_UNSIGNED_BYTE, nullptr);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
  }
  ~BareTexture() { glDeleteTextures(1, &name); }
  void upload(const uint8_t *data) const {
    glBindTexture(GL_TEXTURE_2D, name);
    glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, width, height, format, GL_UNSIGNED_BYTE, data);
    glFinish();
  }
};

// Best of alternating rounds of 5 frames of fn and of the bare upload.
template <typename Fn>
double ratio_to_bare(Fn fn, const BareTexture &bare, const uint8_t *data, double *bare_us) {
  double best_fn = 1e30, best_bare = 1e30;
  for (int round = 0; round < 6; ++round) {
    const double t0 = now_us();
    for (int i = 0; i < 5; ++i) fn();
    const double t1 = now_us();
    for (int i = 0; i < 5; ++i) bare.upload(data);
    const double t2 = now_us();
    best_fn = std::min(best_fn, (t1 - t0) / 5);
    best_bare = std::min(best_bare, (t2 - t1) / 5);
  }
  *bare_us = best_bare;
  return best_fn / best_bare;
}

// Arguments: width, height, bytes per pixel (3: RGB3, 4: BGR4).
void BM_TextureUploadAndDraw(benchmark::State &state) {
  const int w = int(state.range(0)), h = int(state.range(1)), bpp = int(state.range(2));
  const guint32 code = bpp == 3 ? KOV_PIX_FMT_RGB3 : KOV_PIX_FMT_BGR4;
  const size_t size = size_t(w) * bpp * h;
  KovGLView *view = shared_view();
  if (view == nullptr || !kov_gl_view_begin(view, w, h)) {
    state.SkipWithError("no offscreen GL view");
    return;
  }
  glMatrixMode(GL_PROJECTION);
  glOrtho(0, w, h, 0, -1, 1);
  std::vector<uint8_t> data = picture(size);
  KovGLTexture *texture = kov_gl_texture_new(w, h, size);
  BareTexture bare(w, h, bpp);

  auto frame = [&] {
    kov_gl_texture_upload(texture, code, w * bpp, data.data());
    kov_gl_texture_draw(texture);
    glFinish();
  };
  auto upload_only = [&] {
    kov_gl_texture_upload(texture, code, w * bpp, data.data());
    glFinish();
  };
  for (auto _ : state) frame();
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));

  double bare_us = 0;
  state.counters["x_bare"] = ratio_to_bare(frame, bare, data.data(), &bare_us);
  state.counters["x_bare_upload"] = ratio_to_bare(upload_only, bare, data.data(), &bare_us);
  state.counters["bare_us"] = bare_us;
  kov_gl_texture_free(texture);
}

void BM_BareTexSubImage(benchmark::State &state) {
  const int w = int(state.range(0)), h = int(state.range(1)), bpp = int(state.range(2));
  const size_t size = size_t(w) * bpp * h;
  KovGLView *view = shared_view();
  if (view == nullptr || !kov_gl_view_make_current(view)) {
    state.SkipWithError("no offscreen GL view");
    return;
  }
  std::vector<uint8_t> data = picture(size);
  BareTexture bare(w, h, bpp);
  for (auto _ : state) bare.upload(data.data());
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
}

void gl_args(benchmark::internal::Benchmark *b) {
  b->ArgNames({"w", "h", "bpp"});
  for (int bpp : {3, 4}) {
    b->Args({640, 480, bpp});
    b->Args({1920, 1080, bpp});
  }
  b->Unit(benchmark::kMicrosecond)->UseRealTime();
}

BENCHMARK(BM_TextureUploadAndDraw)->Apply(gl_args);
BENCHMARK(BM_BareTexSubImage)->Apply(gl_args);

}  // namespace

BENCHMARK_MAIN();
