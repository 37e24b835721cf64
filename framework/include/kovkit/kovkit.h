/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The kovkit framework: include this one header. */
#ifndef KOVKIT_KOVKIT_H
#define KOVKIT_KOVKIT_H

#include <kovkit/types.h>
#include <kovkit/enumtypes.h>
#include <kovkit/format.h>
#include <kovkit/framebuffer.h>
#include <kovkit/framepool.h>
#include <kovkit/control.h>
#include <kovkit/unit.h>
#include <kovkit/driver.h>
#include <kovkit/manager.h>
#include <kovkit/chain.h>
#include <kovkit/pixel.h>
#include <kovkit/pixelformat.h>
#include <kovkit/simd.h>
#include <kovkit/gltexture.h>
#include <kovkit/glview.h>
#include <kovkit/imageio.h>
#include <kovkit/workers.h>
#include <kovkit/chain_thread.h>

#endif
