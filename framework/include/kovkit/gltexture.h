/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* GL textures for the display units. Every call needs a current GL context. */
#ifndef KOVKIT_GLTEXTURE_H
#define KOVKIT_GLTEXTURE_H

#include <kovkit/types.h>

G_BEGIN_DECLS

typedef struct _KovGLTexture KovGLTexture;

/* NULL when no GL context is current or the texture cannot be made. */
KovGLTexture *kov_gl_texture_new(gint width, gint height, gsize size);
/* Copies one image into the texture; -1 for a format it cannot show. */
gint kov_gl_texture_upload(KovGLTexture *texture, guint32 pixelformat, gint row_stride,
                           gconstpointer data);
/* Draws the image over (0, 0) to (width, height) of the current coordinates. */
gint kov_gl_texture_draw(KovGLTexture *texture);
void kov_gl_texture_free(KovGLTexture *texture);
/* Size of the image the texture holds now (an upload of an image of another
 * width re-specifies it). */
void kov_gl_texture_get_size(KovGLTexture *texture, gint *width, gint *height);

G_END_DECLS

#endif
