/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The debug trace compiled into each tracing plug-in. The KOV_DBG variable
 * (comma-separated category names, "-name" to clear one) is read at the
 * module's first trace call; enabled lines go to standard error with a colour
 * prefix and a reset. Every module has its own copy of this state. */
#ifndef KOVKIT_TRACE_H
#define KOVKIT_TRACE_H

#include <stdint.h>
#include <glib.h>

G_BEGIN_DECLS

enum : uint64_t {
  KOV_DBG_ERROR = 0x1,
  KOV_DBG_UNIT = 0x2,
  KOV_DBG_CHAIN = 0x4,
  KOV_DBG_DRIVER = 0x8,
  KOV_DBG_MANAGER = 0x10,
  KOV_DBG_INPUT = 0x20,
  KOV_DBG_FILTER = 0x40,
  KOV_DBG_OUTPUT = 0x80,
  KOV_DBG_GUI = 0x100,
  KOV_DBG_CONTROL = 0x200,
  KOV_DBG_REF = 0x400,
  KOV_DBG_PLUGIN = 0x800,
  KOV_DBG_LOG = 0x1000,
};

/* Module-local trace state. */
extern uint16_t kov_dbg_initialised;
extern uint64_t kov_dbg_mask;

/* Reads KOV_DBG and sets the mask. */
void kov_dbg_init(void);
/* Writes one line (prefix, message, reset) if the category is enabled. */
void kov_dbg_write(uint64_t category, const char *format, ...) G_GNUC_PRINTF(2, 3);

G_END_DECLS

/* A disabled line costs one test of the mask against the category. */
#define kov_dbg(category, ...)                                                 \
  do {                                                                         \
    if (G_UNLIKELY(!kov_dbg_initialised) || (kov_dbg_mask & (category)) != 0) \
      kov_dbg_write((category), __VA_ARGS__);                                  \
  } while (0)

#endif
