// SPDX-License-Identifier: LGPL-2.1-or-later
// GL textures for the display units: one 2D texture holding the last image a
// unit received, drawn as an immediate-mode quad over (0, 0)-(width, height)
// of the caller's coordinates. The calls touch GL only when the context the
// texture was made in is current, and restore the GL state they change.
#include <kovkit/gltexture.h>
#include <kovkit/pixelformat.h>

#include <epoxy/gl.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "gl_context.h"

struct _KovGLTexture {
  GLuint name;
  void *context;       // context the texture was made in
  guint64 view_serial; // its view, 0 when made in a context of someone else's
  gint width;          // size of the image the texture holds
  gint height;
  gint created_stride; // row stride of the image the texture was made for
  GLenum internal;     // internal format of the current storage
};

namespace {

// How an accepted pixel format reaches GL (its bytes per pixel come from the
// format table).
struct Layout {
  GLenum internal;
  GLenum format;
  GLenum type;
  int bytes_per_pixel;
};

bool layout_for(guint32 code, Layout *layout) {
  switch (code) {
    case KOV_PIX_FMT_RGB3: *layout = {GL_RGB8, GL_RGB, GL_UNSIGNED_BYTE, 0}; break;
    case KOV_PIX_FMT_BGR3: *layout = {GL_RGB8, GL_BGR, GL_UNSIGNED_BYTE, 0}; break;
    // The fourth byte is not shown: the picture stays opaque.
    case KOV_PIX_FMT_RGB4: *layout = {GL_RGB8, GL_RGBA, GL_UNSIGNED_BYTE, 0}; break;
    case KOV_PIX_FMT_BGR4: *layout = {GL_RGB8, GL_BGRA, GL_UNSIGNED_BYTE, 0}; break;
    // A Bayer mosaic is shown as the grey image of its samples.
    case KOV_PIX_FMT_GREY:
    case KOV_PIX_FMT_BA81:
    case KOV_PIX_FMT_XXX2:
    case KOV_PIX_FMT_XXX3:
    case KOV_PIX_FMT_XXX4:
      *layout = {GL_LUMINANCE8, GL_LUMINANCE, GL_UNSIGNED_BYTE, 0};
      break;
    case KOV_PIX_FMT_LG16:
      *layout = {GL_LUMINANCE16, GL_LUMINANCE, GL_UNSIGNED_SHORT, 0};
      break;
    // Floats are clamped to 0..1 by the conversion to a normalised format.
    case KOV_PIX_FMT_FG32:
      *layout = {GL_LUMINANCE16, GL_LUMINANCE, GL_FLOAT, 0};
      break;
    default:
      return false;
  }
  layout->bytes_per_pixel = int(kov_pixel_format_get_info(code)->bytes_per_pixel);
  return true;
}

// True when GL calls on this texture are safe: its own context is current.
bool texture_context_current(const KovGLTexture *texture) {
  return texture != nullptr && texture->context != nullptr &&
         kov::gl::current_context().handle == texture->context;
}

GLint max_texture_size() {
  GLint max_size = 0;
  glGetIntegerv(GL_MAX_TEXTURE_SIZE, &max_size);
  return max_size;
}

// Binds the texture for the duration of one call and puts the previous
// binding back.
class TextureBinding {
 public:
  explicit TextureBinding(GLuint name) {
    glGetIntegerv(GL_TEXTURE_BINDING_2D, &previous_);
    glBindTexture(GL_TEXTURE_2D, name);
  }
  ~TextureBinding() { glBindTexture(GL_TEXTURE_2D, static_cast<GLuint>(previous_)); }
  TextureBinding(const TextureBinding &) = delete;
  TextureBinding &operator=(const TextureBinding &) = delete;

 private:
  GLint previous_ = 0;
};

// Client memory is read with alignment 1 and the given row length; the
// caller's pixel-store state and unpack buffer come back afterwards.
class UnpackState {
 public:
  explicit UnpackState(GLint row_length) {
    glGetIntegerv(GL_PIXEL_UNPACK_BUFFER_BINDING, &buffer_);
    if (buffer_ != 0) glBindBuffer(GL_PIXEL_UNPACK_BUFFER, 0);
    glPushClientAttrib(GL_CLIENT_PIXEL_STORE_BIT);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glPixelStorei(GL_UNPACK_ROW_LENGTH, row_length);
    glPixelStorei(GL_UNPACK_SKIP_ROWS, 0);
    glPixelStorei(GL_UNPACK_SKIP_PIXELS, 0);
    glPixelStorei(GL_UNPACK_SWAP_BYTES, GL_FALSE);
    glPixelStorei(GL_UNPACK_LSB_FIRST, GL_FALSE);
  }
  ~UnpackState() {
    glPopClientAttrib();
    if (buffer_ != 0) glBindBuffer(GL_PIXEL_UNPACK_BUFFER, static_cast<GLuint>(buffer_));
  }
  UnpackState(const UnpackState &) = delete;
  UnpackState &operator=(const UnpackState &) = delete;

 private:
  GLint buffer_ = 0;
};

}  // namespace

KovGLTexture *kov_gl_texture_new(gint width, gint height, gsize size) {
  kov::gl::CurrentContext current = kov::gl::current_context();
  if (current.handle == nullptr) return nullptr;
  if (width < 1 || height < 1) return nullptr;
  GLint max_size = max_texture_size();
  if (width > max_size || height > max_size) return nullptr;

  GLuint name = 0;
  glGenTextures(1, &name);
  if (name == 0) return nullptr;
  {
    TextureBinding binding(name);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    UnpackState unpack(0);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGB8, width, height, 0, GL_RGB, GL_UNSIGNED_BYTE, nullptr);
  }
  if (glGetError() != GL_NO_ERROR) {
    glDeleteTextures(1, &name);
    return nullptr;
  }

  auto *texture = g_new0(KovGLTexture, 1);
  texture->name = name;
  texture->context = current.handle;
  texture->view_serial = current.view_serial;
  texture->width = width;
  texture->height = height;
  gsize stride = size / static_cast<gsize>(height);
  texture->created_stride = stride > G_MAXINT ? G_MAXINT : static_cast<gint>(stride);
  texture->internal = GL_RGB8;
  return texture;
}

// The image's geometry: its height is the texture's; its width is the
// texture's while the rows keep the stride the texture was made for, and
// otherwise follows the row stride (the image is of another size, and the
// texture is re-specified at that size). The data is read as height rows of
// row_stride bytes, never more than one row of the image per row.
gint kov_gl_texture_upload(KovGLTexture *texture, guint32 pixelformat, gint row_stride,
                           gconstpointer data) {
  Layout layout;
  if (texture == nullptr || data == nullptr || row_stride <= 0) return -1;
  if (!layout_for(pixelformat, &layout)) return -1;
  if (!texture_context_current(texture)) return -1;

  gint width = texture->width;
  const gint height = texture->height;
  if (row_stride != texture->created_stride || row_stride / layout.bytes_per_pixel < width)
    width = row_stride / layout.bytes_per_pixel;
  if (width < 1 || width > max_texture_size()) return -1;

  // Rows that GL can read in place: a whole number of pixels apart and
  // aligned for the sample type. Others are packed into a copy first.
  const auto *bytes = static_cast<const guint8 *>(data);
  const size_t sample_size = layout.type == GL_UNSIGNED_BYTE ? 1 : layout.bytes_per_pixel == 2 ? 2 : 4;
  std::vector<guint8> packed;
  GLint row_length = row_stride / layout.bytes_per_pixel;
  if (row_stride % layout.bytes_per_pixel != 0 ||
      reinterpret_cast<uintptr_t>(bytes) % sample_size != 0) {
    const size_t row_bytes = static_cast<size_t>(width) * layout.bytes_per_pixel;
    packed.resize(row_bytes * static_cast<size_t>(height));
    for (gint y = 0; y < height; ++y)
      std::memcpy(packed.data() + row_bytes * y, bytes + static_cast<size_t>(row_stride) * y,
                  row_bytes);
    bytes = packed.data();
    row_length = width;
  }

  TextureBinding binding(texture->name);
  UnpackState unpack(row_length);
  if (width != texture->width || layout.internal != texture->internal) {
    glTexImage2D(GL_TEXTURE_2D, 0, static_cast<GLint>(layout.internal), width, height, 0,
                 layout.format, layout.type, bytes);
    if (glGetError() != GL_NO_ERROR) return -1;
    texture->width = width;
    texture->internal = layout.internal;
  } else {
    glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, width, height, layout.format, layout.type, bytes);
  }
  return 0;
}

gint kov_gl_texture_draw(KovGLTexture *texture) {
  if (!texture_context_current(texture)) return -1;

  const GLboolean was_enabled = glIsEnabled(GL_TEXTURE_2D);
  GLint env_mode = GL_MODULATE;
  glGetTexEnviv(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, &env_mode);
  GLfloat tex_coord[4];
  glGetFloatv(GL_CURRENT_TEXTURE_COORDS, tex_coord);

  {
    TextureBinding binding(texture->name);
    glEnable(GL_TEXTURE_2D);
    // The image replaces the fragment colour: the current colour does not tint it.
    glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_REPLACE);
    const auto w = static_cast<GLfloat>(texture->width);
    const auto h = static_cast<GLfloat>(texture->height);
    glBegin(GL_QUADS);
    glTexCoord2f(0.0f, 0.0f);
    glVertex2f(0.0f, 0.0f);
    glTexCoord2f(1.0f, 0.0f);
    glVertex2f(w, 0.0f);
    glTexCoord2f(1.0f, 1.0f);
    glVertex2f(w, h);
    glTexCoord2f(0.0f, 1.0f);
    glVertex2f(0.0f, h);
    glEnd();
  }

  glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, env_mode);
  if (!was_enabled) glDisable(GL_TEXTURE_2D);
  glTexCoord4fv(tex_coord);
  return 0;
}

void kov_gl_texture_free(KovGLTexture *texture) {
  if (texture == nullptr) return;
  // The GL name lives in the texture's context: delete it there, switching
  // to that context when another one is current. A name whose context is
  // gone went with it.
  GLuint name = texture->name;
  if (texture_context_current(texture)) {
    glDeleteTextures(1, &name);
  } else if (texture->view_serial != 0) {
    kov::gl::run_in_view_context(texture->view_serial, [name] { glDeleteTextures(1, &name); });
  }
  g_free(texture);
}

void kov_gl_texture_get_size(KovGLTexture *texture, gint *width, gint *height) {
  if (width != nullptr) *width = texture != nullptr ? texture->width : 0;
  if (height != nullptr) *height = texture != nullptr ? texture->height : 0;
}
