/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Basic types shared by every kovkit header: forward declarations, pixel
 * format codes, unit flags, control kinds and the error domain. */
#ifndef KOVKIT_TYPES_H
#define KOVKIT_TYPES_H

#include <glib-object.h>

G_BEGIN_DECLS

typedef struct _KovUnit KovUnit;
typedef struct _KovUnitClass KovUnitClass;
typedef struct _KovUnitFormat KovUnitFormat;
typedef struct _KovFrameBuffer KovFrameBuffer;
typedef struct _KovUnitControl KovUnitControl;
typedef struct _KovUnitDriver KovUnitDriver;
typedef struct _KovUnitDriverClass KovUnitDriverClass;
typedef struct _KovUnitDescription KovUnitDescription;
typedef struct _KovUnitManager KovUnitManager;
typedef struct _KovUnitChain KovUnitChain;

/* A pixel format code is four ASCII characters, the first in the lowest byte. */
#define KOV_FOURCC(a, b, c, d)                                              \
  ((guint32)(guint8)(a) | ((guint32)(guint8)(b) << 8) |                     \
   ((guint32)(guint8)(c) << 16) | ((guint32)(guint8)(d) << 24))

#define KOV_PIX_FMT_RGB3 KOV_FOURCC('R', 'G', 'B', '3') /* 0x33424752 */
#define KOV_PIX_FMT_BGR3 KOV_FOURCC('B', 'G', 'R', '3') /* 0x33524742 */
#define KOV_PIX_FMT_RGB4 KOV_FOURCC('R', 'G', 'B', '4') /* 0x34424752 */
#define KOV_PIX_FMT_BGR4 KOV_FOURCC('B', 'G', 'R', '4') /* 0x34524742 */
#define KOV_PIX_FMT_GREY KOV_FOURCC('G', 'R', 'E', 'Y') /* 0x59455247 */
#define KOV_PIX_FMT_LG16 KOV_FOURCC('L', 'G', '1', '6') /* 0x3631474C */
#define KOV_PIX_FMT_FG32 KOV_FOURCC('F', 'G', '3', '2') /* 0x32334746 */
#define KOV_PIX_FMT_BA81 KOV_FOURCC('B', 'A', '8', '1') /* BGGR */
#define KOV_PIX_FMT_XXX2 KOV_FOURCC('X', 'X', 'X', '2') /* GBRG */
#define KOV_PIX_FMT_XXX3 KOV_FOURCC('X', 'X', 'X', '3') /* GRBG */
#define KOV_PIX_FMT_XXX4 KOV_FOURCC('X', 'X', 'X', '4') /* RGGB */
#define KOV_PIX_FMT_I420 KOV_FOURCC('I', '4', '2', '0')
#define KOV_PIX_FMT_YUYV KOV_FOURCC('Y', 'U', 'Y', 'V')
#define KOV_PIX_FMT_UYVY KOV_FOURCC('U', 'Y', 'V', 'Y')
#define KOV_PIX_FMT_MJPG KOV_FOURCC('M', 'J', 'P', 'G') /* row stride 0 */
#define KOV_PIX_FMT_NONE_165 0x165u /* shown by the display units only */

typedef enum /*< flags >*/ {
  KOV_UNIT_RENDERS_GL = 0x4,
  KOV_UNIT_EVENT_METHOD_FD = 0x20,
  KOV_UNIT_EVENT_METHOD_TIMEOUT = 0x40
} KovUnitFlags;

typedef enum /*< flags >*/ {
  KOV_UNIT_CONTROL_CHECK_BOX = 0x2,
  KOV_UNIT_CONTROL_TOGGLE_BUTTON = 0x4,
  KOV_UNIT_CONTROL_MENU = 0x8,
  KOV_UNIT_CONTROL_RADIO_BUTTONS = 0x10,
  KOV_UNIT_CONTROL_FILENAME = 0x20,
  KOV_UNIT_CONTROL_TEXT_ENTRY = 0x40,
  KOV_UNIT_CONTROL_ONE_SHOT = 0x80,
  KOV_UNIT_CONTROL_SLIDER = 0x100,
  KOV_UNIT_CONTROL_SPINBUTTON = 0x200
} KovUnitControlUIHint;

typedef enum {
  KOV_UNIT_CONTROL_TYPE_INVALID = 0,
  KOV_UNIT_CONTROL_TYPE_INT = 1,
  KOV_UNIT_CONTROL_TYPE_BOOLEAN = 2,
  KOV_UNIT_CONTROL_TYPE_ENUM = 3,
  KOV_UNIT_CONTROL_TYPE_STRING = 4,
  KOV_UNIT_CONTROL_TYPE_FLOAT = 5
} KovUnitControlType;

/* Errors that reach a user: chain text, controls, files, plug-ins. */
#define KOV_ERROR (kov_error_quark())
GQuark kov_error_quark(void);

typedef enum {
  KOV_ERROR_FAILED,
  KOV_ERROR_PARSE,           /* malformed chain text */
  KOV_ERROR_UNKNOWN_UNIT,    /* no description with that identifier */
  KOV_ERROR_UNKNOWN_CONTROL, /* the unit has no control of that id */
  KOV_ERROR_BAD_VALUE,       /* wrong type, or text that does not parse */
  KOV_ERROR_OUT_OF_RANGE,    /* outside min..max, or off the step grid */
  KOV_ERROR_REFUSED,         /* the unit's control_change refused it */
  KOV_ERROR_FORMAT,          /* format not offered */
  KOV_ERROR_STREAM,          /* a unit refused to start streaming */
  KOV_ERROR_IO,              /* file input or output */
  KOV_ERROR_PLUGIN           /* a module that is not a plug-in */
} KovError;

/* Writes the four characters of a code (or its hex value when it is not
 * printable) into buf, which must hold at least 11 bytes; returns buf. */
const gchar *kov_pixel_format_to_string(guint32 pixelformat, gchar buf[11]);
/* Parses a four-character code ("GREY"); returns 0 for anything else. */
guint32 kov_pixel_format_from_string(const gchar *text);

G_END_DECLS

#endif
