/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Frame operations for the framework's own use.
#ifndef KOVKIT_FRAMEBUFFER_PRIVATE_H
#define KOVKIT_FRAMEBUFFER_PRIVATE_H

#include <kovkit/framebuffer.h>

// Makes a frame as good as new for its maker's next use: bytesused and
// timestamp 0, no metadata. The bytes are left as they are.
G_GNUC_INTERNAL void kov_framebuffer_reset(KovFrameBuffer *frame);

#endif
