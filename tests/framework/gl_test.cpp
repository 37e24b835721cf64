// SPDX-License-Identifier: LGPL-2.1-or-later
// GL textures and the offscreen GL view, rendered for real (Mesa's llvmpipe
// here) and read back pixel by pixel.
#include <gtest/gtest.h>

#include <test_support.h>

#include "gl_test_util.h"

#include <epoxy/egl.h>

#include <cstring>
#include <string>
#include <vector>

using kovtest::Ref;
using kovtest::gl::Picture;
using kovtest::gl::ViewPtr;

namespace {

/* ---- textures ---------------------------------------------------------- */

class TextureTest : public ::testing::Test {
 protected:
  void SetUp() override { view_ = kovtest::gl::make_view(); }

  // Draws the texture over a width × height view with the units' pixel projection.
  Picture draw(KovGLTexture *texture, int width, int height) {
    EXPECT_TRUE(kov_gl_view_begin(view_.get(), width, height));
    glMatrixMode(GL_PROJECTION);
    glOrtho(0, width, height, 0, -1, 1);
    EXPECT_EQ(kov_gl_texture_draw(texture), 0);
    return kovtest::gl::read_picture(view_.get());
  }

  ViewPtr view_;
};

struct FormatCase {
  const char *name;
  guint32 code;
  int bytes_per_pixel;
};

// Bytes of one pixel of a test image and the colour GL must show for it.
struct Sample {
  std::vector<uint8_t> bytes;
  uint32_t shown;
};

Sample sample_for(guint32 code, int x, int y) {
  const uint8_t r = kovtest::gl::coord_value(x, y, 0), g = kovtest::gl::coord_value(x, y, 1),
                b = kovtest::gl::coord_value(x, y, 2);
  const uint32_t rgb = uint32_t(r) << 16 | uint32_t(g) << 8 | b;
  const uint32_t grey = uint32_t(r) * 0x010101;
  switch (code) {
    case KOV_PIX_FMT_RGB3: return {{r, g, b}, rgb};
    case KOV_PIX_FMT_BGR3: return {{b, g, r}, rgb};
    case KOV_PIX_FMT_RGB4: return {{r, g, b, 0}, rgb};
    case KOV_PIX_FMT_BGR4: return {{b, g, r, 0}, rgb};
    case KOV_PIX_FMT_LG16: {
      const uint16_t v = uint16_t(r * 257);  // exactly r after scaling to 8 bits
      uint8_t le[2];
      std::memcpy(le, &v, 2);
      return {{le[0], le[1]}, grey};
    }
    case KOV_PIX_FMT_FG32: {
      const float v = r / 255.0f;
      uint8_t raw[4];
      std::memcpy(raw, &v, 4);
      return {{raw[0], raw[1], raw[2], raw[3]}, grey};
    }
    default:  // GREY and the Bayer mosaics: one grey sample
      return {{r}, grey};
  }
}

std::vector<uint8_t> image_for(guint32 code, int bpp, int width, int height, int stride) {
  std::vector<uint8_t> bytes(size_t(stride) * height, 0xEE);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      Sample s = sample_for(code, x, y);
      std::memcpy(&bytes[size_t(y) * stride + size_t(x) * bpp], s.bytes.data(), bpp);
    }
  return bytes;
}

void expect_image(const Picture &p, guint32 code, int width, int height) {
  int wrong = 0;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      if (p.rgb(x, y) != sample_for(code, x, y).shown || p.alpha(x, y) != 255) {
        if (++wrong <= 5)
          ADD_FAILURE() << "pixel (" << x << ", " << y << ") is " << std::hex << p.rgb(x, y)
                        << " alpha " << int(p.alpha(x, y)) << ", expected "
                        << sample_for(code, x, y).shown;
      }
    }
  EXPECT_EQ(wrong, 0);
}

TEST(TextureNoContextTest, NewReturnsNullAndOtherCallsRefuseWithoutCurrentContext) {
  ASSERT_EQ(eglGetCurrentContext(), EGL_NO_CONTEXT);
  EXPECT_EQ(kov_gl_texture_new(16, 16, 16 * 16 * 3), nullptr);
  EXPECT_EQ(kov_gl_texture_upload(nullptr, KOV_PIX_FMT_RGB3, 48, "x"), -1);
  EXPECT_EQ(kov_gl_texture_draw(nullptr), -1);
  kov_gl_texture_free(nullptr);
}

TEST_F(TextureTest, NewRefusesEmptySizes) {
  EXPECT_EQ(kov_gl_texture_new(0, 4, 0), nullptr);
  EXPECT_EQ(kov_gl_texture_new(4, 0, 0), nullptr);
  EXPECT_EQ(kov_gl_texture_new(-3, 4, 12), nullptr);
  EXPECT_EQ(kov_gl_texture_new(1 << 20, 1, 3 << 20), nullptr);
}

TEST_F(TextureTest, EveryShownFormatAppearsPixelForPixel) {
  const FormatCase cases[] = {
      {"RGB3", KOV_PIX_FMT_RGB3, 3}, {"BGR3", KOV_PIX_FMT_BGR3, 3}, {"RGB4", KOV_PIX_FMT_RGB4, 4},
      {"BGR4", KOV_PIX_FMT_BGR4, 4}, {"GREY", KOV_PIX_FMT_GREY, 1}, {"BA81", KOV_PIX_FMT_BA81, 1},
      {"XXX2", KOV_PIX_FMT_XXX2, 1}, {"XXX3", KOV_PIX_FMT_XXX3, 1}, {"XXX4", KOV_PIX_FMT_XXX4, 1},
      {"LG16", KOV_PIX_FMT_LG16, 2}, {"FG32", KOV_PIX_FMT_FG32, 4},
  };
  // Odd widths and packed as well as padded rows.
  const int widths[] = {1, 3, 7, 33};
  for (const FormatCase &c : cases) {
    for (int width : widths) {
      for (int pad : {0, 8}) {
        SCOPED_TRACE(std::string(c.name) + " width " + std::to_string(width) + " pad " +
                     std::to_string(pad));
        const int height = 5, stride = width * c.bytes_per_pixel + pad;
        KovGLTexture *texture = kov_gl_texture_new(width, height, size_t(stride) * height);
        ASSERT_NE(texture, nullptr);
        std::vector<uint8_t> bytes = image_for(c.code, c.bytes_per_pixel, width, height, stride);
        EXPECT_EQ(kov_gl_texture_upload(texture, c.code, stride, bytes.data()), 0);
        expect_image(draw(texture, width, height), c.code, width, height);
        kov_gl_texture_free(texture);
      }
    }
  }
}

TEST_F(TextureTest, RowsThatAreNoWholeNumberOfPixelsApartAreShownExactly) {
  // 5 RGB3 pixels in rows of 17 bytes, and LG16 data starting at an odd address.
  const int width = 5, height = 4;
  KovGLTexture *texture = kov_gl_texture_new(width, height, 17 * height);
  ASSERT_NE(texture, nullptr);
  std::vector<uint8_t> rgb = image_for(KOV_PIX_FMT_RGB3, 3, width, height, 17);
  ASSERT_EQ(kov_gl_texture_upload(texture, KOV_PIX_FMT_RGB3, 17, rgb.data()), 0);
  expect_image(draw(texture, width, height), KOV_PIX_FMT_RGB3, width, height);
  kov_gl_texture_free(texture);

  texture = kov_gl_texture_new(width, height, 10 * height);
  ASSERT_NE(texture, nullptr);
  std::vector<uint8_t> grey16 = image_for(KOV_PIX_FMT_LG16, 2, width, height, 10);
  std::vector<uint8_t> shifted(grey16.size() + 1);
  std::memcpy(shifted.data() + 1, grey16.data(), grey16.size());
  ASSERT_EQ(kov_gl_texture_upload(texture, KOV_PIX_FMT_LG16, 10, shifted.data() + 1), 0);
  expect_image(draw(texture, width, height), KOV_PIX_FMT_LG16, width, height);
  kov_gl_texture_free(texture);
}

TEST_F(TextureTest, FormatsItCannotShowAreRefusedAndTheImageStays) {
  const int width = 4, height = 3;
  KovGLTexture *texture = kov_gl_texture_new(width, height, 12 * height);
  ASSERT_NE(texture, nullptr);
  std::vector<uint8_t> rgb = image_for(KOV_PIX_FMT_RGB3, 3, width, height, 12);
  ASSERT_EQ(kov_gl_texture_upload(texture, KOV_PIX_FMT_RGB3, 12, rgb.data()), 0);

  std::vector<uint8_t> other(12 * height, 0x40);
  for (guint32 code : {KOV_PIX_FMT_MJPG, KOV_PIX_FMT_NONE_165, KOV_PIX_FMT_YUYV,
                       KOV_PIX_FMT_I420, guint32(0)})
    EXPECT_EQ(kov_gl_texture_upload(texture, code, 12, other.data()), -1) << std::hex << code;
  EXPECT_EQ(kov_gl_texture_upload(texture, KOV_PIX_FMT_RGB3, 0, other.data()), -1);
  EXPECT_EQ(kov_gl_texture_upload(texture, KOV_PIX_FMT_RGB3, -12, other.data()), -1);
  EXPECT_EQ(kov_gl_texture_upload(texture, KOV_PIX_FMT_RGB3, 12, nullptr), -1);
  EXPECT_EQ(kov_gl_texture_upload(texture, KOV_PIX_FMT_BGR4, 3, other.data()), -1);

  expect_image(draw(texture, width, height), KOV_PIX_FMT_RGB3, width, height);
  kov_gl_texture_free(texture);
}

TEST_F(TextureTest, ImageOfAnotherWidthRespecifiesTheTextureWithinTheFrame) {
  // A texture made for 4×3 RGB3 gets frames of 8×6 and of 2×6: each is read
  // for the texture's three rows only, from an exactly sized heap block (the
  // address sanitizer catches a read past it), and the texture takes the
  // new width.
  KovGLTexture *texture = kov_gl_texture_new(4, 3, 12 * 3);
  ASSERT_NE(texture, nullptr);

  std::vector<uint8_t> large = image_for(KOV_PIX_FMT_RGB3, 3, 8, 6, 24);
  auto *exact = static_cast<uint8_t *>(g_memdup2(large.data(), large.size()));
  ASSERT_EQ(kov_gl_texture_upload(texture, KOV_PIX_FMT_RGB3, 24, exact), 0);
  gint w = 0, h = 0;
  kov_gl_texture_get_size(texture, &w, &h);
  EXPECT_EQ(w, 8);
  EXPECT_EQ(h, 3);
  expect_image(draw(texture, 8, 3), KOV_PIX_FMT_RGB3, 8, 3);
  g_free(exact);

  std::vector<uint8_t> small = image_for(KOV_PIX_FMT_RGB3, 3, 2, 3, 6);
  exact = static_cast<uint8_t *>(g_memdup2(small.data(), small.size()));
  ASSERT_EQ(kov_gl_texture_upload(texture, KOV_PIX_FMT_RGB3, 6, exact), 0);
  kov_gl_texture_get_size(texture, &w, &h);
  EXPECT_EQ(w, 2);
  EXPECT_EQ(h, 3);
  expect_image(draw(texture, 2, 3), KOV_PIX_FMT_RGB3, 2, 3);
  g_free(exact);
  kov_gl_texture_free(texture);
}

TEST_F(TextureTest, DrawIsNotTintedAndPutsBackTheStateItChanges) {
  const int width = 6, height = 4;
  KovGLTexture *texture = kov_gl_texture_new(width, height, 18 * height);
  ASSERT_NE(texture, nullptr);
  std::vector<uint8_t> rgb = image_for(KOV_PIX_FMT_RGB3, 3, width, height, 18);
  ASSERT_EQ(kov_gl_texture_upload(texture, KOV_PIX_FMT_RGB3, 18, rgb.data()), 0);

  ASSERT_TRUE(kov_gl_view_begin(view_.get(), width, height));
  GLuint other = 0;
  glGenTextures(1, &other);
  glBindTexture(GL_TEXTURE_2D, other);
  glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
  glColor3f(1.0f, 0.0f, 0.0f);
  glTexCoord2f(0.25f, 0.5f);
  glMatrixMode(GL_PROJECTION);
  glOrtho(0, width, height, 0, -1, 1);
  ASSERT_EQ(kov_gl_texture_draw(texture), 0);

  GLint binding = 0, env = 0;
  glGetIntegerv(GL_TEXTURE_BINDING_2D, &binding);
  glGetTexEnviv(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, &env);
  GLfloat colour[4], coord[4];
  glGetFloatv(GL_CURRENT_COLOR, colour);
  glGetFloatv(GL_CURRENT_TEXTURE_COORDS, coord);
  EXPECT_EQ(GLuint(binding), other);
  EXPECT_EQ(env, GL_MODULATE);
  EXPECT_FALSE(glIsEnabled(GL_TEXTURE_2D));
  EXPECT_EQ(colour[0], 1.0f);
  EXPECT_EQ(colour[1], 0.0f);
  EXPECT_EQ(coord[0], 0.25f);
  EXPECT_EQ(coord[1], 0.5f);
  EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
  expect_image(kovtest::gl::read_picture(view_.get()), KOV_PIX_FMT_RGB3, width, height);

  // Drawn with texturing already enabled, it stays enabled.
  glEnable(GL_TEXTURE_2D);
  ASSERT_EQ(kov_gl_texture_draw(texture), 0);
  EXPECT_TRUE(glIsEnabled(GL_TEXTURE_2D));
  glDisable(GL_TEXTURE_2D);
  glDeleteTextures(1, &other);
  kov_gl_texture_free(texture);
}

TEST_F(TextureTest, FreeDeletesTheNameInItsOwnContextWhateverIsCurrent) {
  KovGLTexture *texture = kov_gl_texture_new(4, 4, 48);
  ASSERT_NE(texture, nullptr);
  ViewPtr other = kovtest::gl::make_view();
  ASSERT_TRUE(kov_gl_view_is_current(other.get()));
  // Calls in another context are refused rather than touching its names.
  std::vector<uint8_t> rgb(48, 1);
  EXPECT_EQ(kov_gl_texture_upload(texture, KOV_PIX_FMT_RGB3, 12, rgb.data()), -1);
  EXPECT_EQ(kov_gl_texture_draw(texture), -1);
  kov_gl_texture_free(texture);
  // The other view is still the current one afterwards.
  EXPECT_TRUE(kov_gl_view_is_current(other.get()));

  // A texture that outlives its view is freed without GL.
  ASSERT_TRUE(kov_gl_view_make_current(view_.get()));
  KovGLTexture *orphan = kov_gl_texture_new(4, 4, 48);
  ASSERT_NE(orphan, nullptr);
  view_.reset();
  EXPECT_EQ(eglGetCurrentContext(), EGL_NO_CONTEXT);
  kov_gl_texture_free(orphan);
}

/* ---- the view ---------------------------------------------------------- */

TEST(GLViewTest, ReadsBackTopRowFirstAfterClearingToOpaqueBlack) {
  ViewPtr view = kovtest::gl::make_view();
  ASSERT_TRUE(view);
  std::vector<uint8_t> pixels(4 * 4 * 3);
  EXPECT_FALSE(kov_gl_view_read_pixels(view.get(), pixels.data(), 16));  // nothing drawn yet
  EXPECT_EQ(kov_gl_view_get_width(view.get()), 0);

  ASSERT_TRUE(kov_gl_view_begin(view.get(), 4, 3));
  EXPECT_EQ(kov_gl_view_get_width(view.get()), 4);
  EXPECT_EQ(kov_gl_view_get_height(view.get()), 3);
  Picture cleared = kovtest::gl::read_picture(view.get());
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 4; ++x) {
      EXPECT_EQ(cleared.rgb(x, y), 0u);
      EXPECT_EQ(cleared.alpha(x, y), 255);
    }

  // A red top row, in the units' coordinates (origin top-left).
  glMatrixMode(GL_PROJECTION);
  glOrtho(0, 4, 3, 0, -1, 1);
  glColor3f(1, 0, 0);
  glBegin(GL_QUADS);
  glVertex2f(0, 0);
  glVertex2f(4, 0);
  glVertex2f(4, 1);
  glVertex2f(0, 1);
  glEnd();
  // Rows further apart than the picture's width; the gap is left alone.
  std::vector<uint8_t> padded(20 * 3, 0x77);
  ASSERT_TRUE(kov_gl_view_read_pixels(view.get(), padded.data(), 20));
  for (int x = 0; x < 4; ++x) {
    EXPECT_EQ(padded[x * 4], 255);
    EXPECT_EQ(padded[20 + x * 4], 0);
    EXPECT_EQ(padded[40 + x * 4], 0);
  }
  EXPECT_EQ(padded[16], 0x77);
  // The same picture as B, G, R, A bytes.
  std::vector<uint8_t> bgra(16 * 3, 0);
  ASSERT_TRUE(kov_gl_view_read_pixels_bgra(view.get(), bgra.data(), 16));
  EXPECT_EQ(std::vector<uint8_t>(bgra.begin(), bgra.begin() + 4),
            (std::vector<uint8_t>{0, 0, 255, 255}));
  EXPECT_EQ(std::vector<uint8_t>(bgra.begin() + 16, bgra.begin() + 20),
            (std::vector<uint8_t>{0, 0, 0, 255}));
  EXPECT_FALSE(kov_gl_view_read_pixels_bgra(view.get(), bgra.data(), 12));
  EXPECT_FALSE(kov_gl_view_read_pixels(view.get(), padded.data(), 15));
  EXPECT_FALSE(kov_gl_view_read_pixels(view.get(), nullptr, 16));
}

TEST(GLViewTest, RefusesSizesItCannotDraw) {
  ViewPtr view = kovtest::gl::make_view();
  ASSERT_TRUE(view);
  EXPECT_FALSE(kov_gl_view_begin(view.get(), 0, 10));
  EXPECT_FALSE(kov_gl_view_begin(view.get(), 10, -1));
  EXPECT_FALSE(kov_gl_view_begin(view.get(), 1 << 20, 10));
  // No chain, no size: nothing to render.
  EXPECT_EQ(kov_gl_view_render(view.get(), 0, 0), -1);
  EXPECT_EQ(kov_gl_view_render(view.get(), 8, 8), 0);
  EXPECT_EQ(kov_gl_view_render(nullptr, 8, 8), -1);
  kov_gl_view_free(nullptr);
}

TEST(GLViewTest, TwoViewsKeepTheirOwnContexts) {
  ViewPtr a = kovtest::gl::make_view();
  ViewPtr b = kovtest::gl::make_view();
  ASSERT_TRUE(a && b);
  EXPECT_TRUE(kov_gl_view_is_current(b.get()));
  EXPECT_FALSE(kov_gl_view_is_current(a.get()));
  ASSERT_TRUE(kov_gl_view_begin(a.get(), 2, 2));
  kovtest::gl::clear_to(0x102030);
  ASSERT_TRUE(kov_gl_view_begin(b.get(), 3, 1));
  kovtest::gl::clear_to(0x405060);
  // Reading a view that is not current leaves the current one in place.
  EXPECT_EQ(kovtest::gl::read_picture(a.get()).rgb(1, 1), 0x102030u);
  EXPECT_TRUE(kov_gl_view_is_current(b.get()));
  EXPECT_EQ(kovtest::gl::read_picture(b.get()).rgb(2, 0), 0x405060u);
}

/* A GL unit of the test's own that logs its GL operations, and draws a 1×1
 * pixel of its colour at its position in the chain. */
struct ProbeUnit {
  KovUnit parent;
  gint index;
};
struct ProbeUnitClass {
  KovUnitClass parent_class;
};

std::vector<std::string> probe_log;
int probe_count = 0;

G_DEFINE_TYPE(ProbeUnit, probe_unit, KOV_TYPE_UNIT)

std::string probe_name(KovUnit *unit) {
  std::string name = "p";  // appended, not "p" + ...: GCC 12 warns falsely on i386 for that
  return name += std::to_string(reinterpret_cast<ProbeUnit *>(unit)->index);
}
gint probe_draw_gl_init(KovUnit *unit) {
  probe_log.push_back(probe_name(unit) + ".init");
  return 0;
}
gint probe_draw_gl(KovUnit *unit) {
  probe_log.push_back(probe_name(unit) + ".draw");
  const int i = reinterpret_cast<ProbeUnit *>(unit)->index;
  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  glOrtho(0, 4, 1, 0, -1, 1);
  glColor3f(1, 1, 1);
  glBegin(GL_QUADS);
  glVertex2f(i, 0);
  glVertex2f(i + 1, 0);
  glVertex2f(i + 1, 1);
  glVertex2f(i, 1);
  glEnd();
  return 0;
}
gint probe_draw_gl_release(KovUnit *unit) {
  probe_log.push_back(probe_name(unit) + ".release");
  // Only ever called with a context current.
  EXPECT_NE(eglGetCurrentContext(), EGL_NO_CONTEXT);
  return 0;
}
void on_probe_format(KovUnit *unit, KovUnitFormat *format, gpointer) {
  kov_unit_remove_all_output_formats(unit);
  if (format != nullptr)
    kov_unit_add_output_format(unit, format->pixelformat, nullptr, format->width, format->height,
                               format->row_stride);
}
void probe_unit_class_init(ProbeUnitClass *klass) {
  KovUnitClass *unit_class = KOV_UNIT_CLASS(klass);
  unit_class->draw_gl_init = probe_draw_gl_init;
  unit_class->draw_gl = probe_draw_gl;
  unit_class->draw_gl_release = probe_draw_gl_release;
}
void probe_unit_init(ProbeUnit *probe) {
  probe->index = probe_count++;
  g_signal_connect(probe, "input-format-changed", G_CALLBACK(on_probe_format), nullptr);
}
gpointer new_probe() { return g_object_new(probe_unit_get_type(), nullptr); }

class GLViewChainTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    KovUnitManager *manager = kov_unit_manager_get_and_ref();
    KovUnitDriver *gl = kov_unit_driver_new_stock_full("test", "glprobe", "GL probe",
                                                       KOV_UNIT_RENDERS_GL, new_probe, nullptr);
    KovUnitDriver *plain =
        kov_unit_driver_new_stock_full("test", "plainprobe", "Plain probe", 0, new_probe, nullptr);
    kov_unit_manager_register_driver(manager, gl);
    kov_unit_manager_register_driver(manager, plain);
    g_object_unref(gl);
    g_object_unref(plain);
    g_object_unref(manager);
  }

  void SetUp() override {
    probe_log.clear();
    probe_count = 0;
    view_ = kovtest::gl::make_view();
    ASSERT_TRUE(view_);
    source_ = kovtest::make_source(KOV_PIX_FMT_GREY, 4, 1, 4);
    chain_ = Ref<KovUnitChain>(kov_unit_chain_new());
    kov_unit_chain_add_unit(chain_.get(), source_.get());
    // p0 and p2 render GL, p1 does not.
    for (const char *id : {"test.glprobe", "test.plainprobe", "test.glprobe"}) {
      Ref<KovUnit> unit = kovtest::create_unit(id);
      ASSERT_TRUE(unit);
      kov_unit_chain_add_unit(chain_.get(), unit.get());
    }
    kov_gl_view_set_chain(view_.get(), chain_.get());
  }

  ViewPtr view_;
  Ref<KovUnit> source_;
  Ref<KovUnitChain> chain_;
};

TEST_F(GLViewChainTest, InitialisesEachGLUnitOnceAndDrawsThemInChainOrder) {
  gint w = 0, h = 0;
  ASSERT_TRUE(kov_gl_view_get_frame_size(view_.get(), &w, &h));
  EXPECT_EQ(w, 4);
  EXPECT_EQ(h, 1);
  ASSERT_EQ(kov_gl_view_render(view_.get(), 0, 0), 0);
  ASSERT_EQ(kov_gl_view_render(view_.get(), 0, 0), 0);
  EXPECT_EQ(probe_log, (std::vector<std::string>{"p0.init", "p0.draw", "p2.init", "p2.draw",
                                                  "p0.draw", "p2.draw"}));
  Picture p = kovtest::gl::read_picture(view_.get());
  EXPECT_EQ(p.rgb(0, 0), 0xFFFFFFu);
  EXPECT_EQ(p.rgb(1, 0), 0u);  // the plain unit does not draw
  EXPECT_EQ(p.rgb(2, 0), 0xFFFFFFu);
  EXPECT_EQ(p.rgb(3, 0), 0u);
}

TEST_F(GLViewChainTest, StoppingTheChainReleasesAndTheNextRedrawInitialisesAgain) {
  ASSERT_EQ(kov_unit_chain_all_units_stream_init(chain_.get()), 0);
  ASSERT_EQ(kov_gl_view_render(view_.get(), 0, 0), 0);
  // Another context is current when the chain stops: the view switches.
  ViewPtr other = kovtest::gl::make_view();
  probe_log.clear();
  ASSERT_EQ(kov_unit_chain_all_units_stream_shutdown(chain_.get()), 0);
  EXPECT_EQ(probe_log, (std::vector<std::string>{"p0.release", "p2.release"}));
  EXPECT_TRUE(kov_gl_view_is_current(other.get()));
  probe_log.clear();
  ASSERT_EQ(kov_gl_view_render(view_.get(), 0, 0), 0);
  EXPECT_EQ(probe_log, (std::vector<std::string>{"p0.init", "p0.draw", "p2.init", "p2.draw"}));
}

TEST_F(GLViewChainTest, ExplicitReleaseLeadsToInitAtTheNextRedraw) {
  ASSERT_EQ(kov_gl_view_render(view_.get(), 0, 0), 0);
  probe_log.clear();
  kov_gl_view_release(view_.get());
  ASSERT_EQ(kov_gl_view_render(view_.get(), 0, 0), 0);
  EXPECT_EQ(probe_log, (std::vector<std::string>{"p0.release", "p2.release", "p0.init",
                                                  "p0.draw", "p2.init", "p2.draw"}));
}

TEST_F(GLViewChainTest, LettingGoOfTheChainOrFreeingTheViewReleasesItsGLUnits) {
  ASSERT_EQ(kov_gl_view_render(view_.get(), 0, 0), 0);
  probe_log.clear();
  kov_gl_view_set_chain(view_.get(), nullptr);
  EXPECT_EQ(probe_log, (std::vector<std::string>{"p0.release", "p2.release"}));
  EXPECT_EQ(kov_gl_view_get_chain(view_.get()), nullptr);

  kov_gl_view_set_chain(view_.get(), chain_.get());
  probe_log.clear();
  view_.reset();
  EXPECT_EQ(probe_log, (std::vector<std::string>{"p0.release", "p2.release"}));
}

TEST_F(GLViewChainTest, AUnitDestroyedWhileTheViewKnowsItIsReleasedFirst) {
  ASSERT_EQ(kov_gl_view_render(view_.get(), 0, 0), 0);
  probe_log.clear();
  kov_unit_chain_clear(chain_.get());
  EXPECT_EQ(probe_log, (std::vector<std::string>{"p0.release", "p2.release"}));
  probe_log.clear();
  // The view forgot them: nothing is released twice, nothing drawn.
  EXPECT_EQ(kov_gl_view_render(view_.get(), 4, 1), 0);
  view_.reset();
  EXPECT_TRUE(probe_log.empty());
}

}  // namespace
