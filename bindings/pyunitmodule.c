/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* _pyunit: the engine behind units written in Python (kovkit.PythonUnit).
 *
 * Every Python unit is a KovPyUnit, a KovUnit that holds one instance of the
 * registered Python class. A KovPyDriver per registered class lets the
 * manager create such units from chain text, beside the C units.
 *
 * Frames reach Python as a kovkit.Frame whose .array is a read-only NumPy
 * view of the frame's bytes (no copy); the view holds a reference to the
 * frame for as long as it lives. What process() returns becomes the output
 * frame:
 *  - the input frame itself when the array is the input's own bytes in the
 *    output format's layout (a pass-through costs no copy);
 *  - otherwise a copy of the array in a frame from the unit's frame pool,
 *    with the input's timestamp and metadata.
 *
 * The unit's operations run on whatever thread drives the chain: each one
 * that touches Python takes the GIL (PyGILState_Ensure) and gives it back
 * before the frame goes on to the next units. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#pragma GCC visibility push(default)
#include <pygobject.h>
#pragma GCC visibility pop

#include <string.h>

#include <kovkit/kovkit.h>

PyMODINIT_FUNC PyInit__pyunit(void);

/* ---- What a registered class declares ---------------------------------- */

typedef struct {
  gchar *id;
  gchar *label;
  PyObject *factory;  /* factory(handle) -> instance of the Python class */
  PyObject *controls; /* tuple of control declarations, see add_controls */
  GArray *accepts;    /* guint32 codes; empty means any */
  GArray *gives;      /* guint32 codes; empty means the input's format */
} PyUnitInfo;

/* ---- Python-side objects -------------------------------------------------- */

typedef struct _KovPyUnit KovPyUnit;

/* What a Python instance knows of its unit: a weak reference (the unit owns
 * the instance, not the other way round), which any thread may resolve. */
typedef struct {
  PyObject_HEAD
  GWeakRef unit;
} UnitHandle;

static PyTypeObject UnitHandle_type;
static PyObject *Frame_class;       /* kovkit.frame.Frame */
static PyObject *FrameFormat_class; /* kovkit.frame.FrameFormat */
static PyObject *process_name;      /* "process", interned */
static PyObject *array_name;        /* "_array": kovkit.Frame's cached array */

/* ---- The unit --------------------------------------------------------------- */

struct _KovPyUnit {
  KovUnit parent;
  const PyUnitInfo *info;
  PyObject *instance;     /* the Python unit; NULL once finalized */
  PyObject *format_tuple; /* kovkit.FrameFormat of the format below */
  guint32 format_code;
  gint format_width, format_height, format_stride;
  KovFramePool *pool;     /* output frames when process() makes new pixels */
  gboolean traceback_shown;
  guint exceptions;       /* since the last summary */
  gboolean array_error_posted;
  guint wrong_arrays;     /* since the last summary */
};

typedef struct {
  KovUnitClass parent_class;
} KovPyUnitClass;

static GType kov_py_unit_get_type(void);
G_DEFINE_TYPE(KovPyUnit, kov_py_unit, KOV_TYPE_UNIT)

/* Python can be entered: not before the interpreter starts, not while it
 * shuts down (a chain thread may outlive it). */
static gboolean python_alive(void) { return Py_IsInitialized() && !_Py_IsFinalizing(); }

static const gchar *unit_id(KovPyUnit *self) { return self->info != NULL ? self->info->id : "?"; }

/* Prints what was not shown of the unit's Python failures. GIL held. */
static void report_counts(KovPyUnit *self) {
  if (self->exceptions > 0)
    PySys_FormatStderr("%s: process() raised %u more exception%s after the one shown; "
                       "those frames were dropped\n",
                       unit_id(self), self->exceptions, self->exceptions == 1 ? "" : "s");
  if (self->wrong_arrays > 0)
    PySys_FormatStderr("%s: process() returned %u more unusable array%s; those frames were "
                       "dropped\n",
                       unit_id(self), self->wrong_arrays, self->wrong_arrays == 1 ? "" : "s");
  self->exceptions = 0;
  self->wrong_arrays = 0;
}

static void kov_py_unit_finalize(GObject *object) {
  KovPyUnit *self = (KovPyUnit *)object;
  kov_frame_pool_free(self->pool);
  self->pool = NULL;
  if (self->instance != NULL && python_alive()) {
    PyGILState_STATE gil = PyGILState_Ensure();
    report_counts(self);
    Py_CLEAR(self->instance);
    Py_CLEAR(self->format_tuple);
    PyGILState_Release(gil);
  }
  G_OBJECT_CLASS(kov_py_unit_parent_class)->finalize(object);
}

static gint kov_py_unit_stream_shutdown(KovUnit *unit) {
  KovPyUnit *self = (KovPyUnit *)unit;
  kov_frame_pool_free(self->pool);
  self->pool = NULL;
  /* A unit's errors belong to one stream: the next one reports its own. */
  self->array_error_posted = FALSE;
  if ((self->exceptions > 0 || self->wrong_arrays > 0) && python_alive()) {
    PyGILState_STATE gil = PyGILState_Ensure();
    report_counts(self);
    PyGILState_Release(gil);
  }
  return 0;
}

/* ---- Array layout of a format ---------------------------------------------- */

/* How a frame of one format looks as an array: (height, width) or
 * (height, width, channels) of one sample type, or flat bytes for the
 * compressed, planar and pair-packed formats. */
typedef struct {
  gboolean flat;
  int typenum;
  int ndim;
  npy_intp shape[3];
  npy_intp strides[3];
} Layout;

static gboolean layout_of(const KovUnitFormat *format, Layout *layout) {
  const KovPixelFormatInfo *info = kov_pixel_format_get_info(format->pixelformat);
  memset(layout, 0, sizeof *layout);
  if (info == NULL) return FALSE;
  if (info->compressed || info->planes != 1 || info->block_width != 1) {
    layout->flat = TRUE;
    layout->typenum = NPY_UINT8;
    layout->ndim = 1;
    layout->strides[0] = 1;
    return TRUE;
  }
  int itemsize = 1;
  layout->typenum = NPY_UINT8;
  if (format->pixelformat == KOV_PIX_FMT_LG16) {
    layout->typenum = NPY_UINT16;
    itemsize = 2;
  } else if (format->pixelformat == KOV_PIX_FMT_FG32) {
    layout->typenum = NPY_FLOAT32;
    itemsize = 4;
  }
  const int channels = (int)info->bytes_per_pixel / itemsize;
  layout->ndim = channels > 1 ? 3 : 2;
  layout->shape[0] = format->height;
  layout->shape[1] = format->width;
  layout->shape[2] = channels;
  layout->strides[0] = format->row_stride;
  layout->strides[1] = (npy_intp)info->bytes_per_pixel;
  layout->strides[2] = itemsize;
  return TRUE;
}

/* "(480, 640, 3) uint8": the shape and dtype a format needs, for messages. */
static gchar *describe_layout(const Layout *layout) {
  const char *dtype = layout->typenum == NPY_UINT16    ? "uint16"
                      : layout->typenum == NPY_FLOAT32 ? "float32"
                                                       : "uint8";
  if (layout->flat) return g_strdup_printf("one dimension, dtype %s", dtype);
  if (layout->ndim == 2)
    return g_strdup_printf("shape (%ld, %ld), dtype %s", (long)layout->shape[0],
                           (long)layout->shape[1], dtype);
  return g_strdup_printf("shape (%ld, %ld, %ld), dtype %s", (long)layout->shape[0],
                         (long)layout->shape[1], (long)layout->shape[2], dtype);
}

/* Bytes of a frame that hold its picture, as kovkit.Frame counts them. */
static gsize frame_bytes(const KovFrameBuffer *frame) { return MIN(frame->bytesused, frame->length); }

/* A NumPy array over @frame's bytes in @format's layout that keeps @owner
 * alive; read-only unless @writable. NULL with an exception set when the
 * frame is too small for the format. */
static PyObject *array_over(KovFrameBuffer *frame, const KovUnitFormat *format, gboolean writable,
                            PyObject *owner) {
  Layout layout;
  char code[11];
  if (!layout_of(format, &layout)) {
    PyErr_Format(PyExc_ValueError, "frames of format %s have no array form",
                 kov_pixel_format_to_string(format->pixelformat, code));
    return NULL;
  }
  if (layout.flat) {
    layout.shape[0] = (npy_intp)frame_bytes(frame);
  } else {
    const gsize need = kov_pixel_format_min_frame_size(format->pixelformat, format->width,
                                                       format->height, format->row_stride);
    if (need == 0 || need > frame->length) {
      PyErr_Format(PyExc_ValueError, "a frame of %zu bytes is too small for %s %dx%d with rows "
                   "of %d bytes",
                   (size_t)frame->length, kov_pixel_format_to_string(format->pixelformat, code),
                   format->width, format->height, format->row_stride);
      return NULL;
    }
  }
  PyArray_Descr *descr = PyArray_DescrFromType(layout.typenum);
  const int flags = writable ? NPY_ARRAY_WRITEABLE : 0;
  PyObject *array = PyArray_NewFromDescr(&PyArray_Type, descr, layout.ndim, layout.shape,
                                         layout.strides, frame->data, flags, NULL);
  if (array == NULL) return NULL;
  if (owner != NULL) {
    Py_INCREF(owner);
    if (PyArray_SetBaseObject((PyArrayObject *)array, owner) < 0) {
      Py_DECREF(array);
      return NULL;
    }
  }
  return array;
}

/* ---- Frame ------------------------------------------------------------------------ */

/* The kovkit.Frame handed to process(): kovkit.Frame(buffer, FrameFormat), with
 * its array made here already (a NumPy view whose base is the buffer's
 * wrapper, which holds the frame). The FrameFormat is made once per format. */
static PyObject *frame_new(KovPyUnit *self, KovFrameBuffer *frame, KovUnitFormat *format) {
  char code[11];
  if (self->format_tuple == NULL || self->format_code != format->pixelformat ||
      self->format_width != format->width || self->format_height != format->height ||
      self->format_stride != format->row_stride) {
    Py_CLEAR(self->format_tuple);
    self->format_tuple = PyObject_CallFunction(
        FrameFormat_class, "siii", kov_pixel_format_to_string(format->pixelformat, code),
        format->width, format->height, format->row_stride);
    if (self->format_tuple == NULL) return NULL;
    self->format_code = format->pixelformat;
    self->format_width = format->width;
    self->format_height = format->height;
    self->format_stride = format->row_stride;
  }
  PyObject *buffer = pygobject_new(G_OBJECT(frame));
  if (buffer == NULL) return NULL;
  PyObject *object = PyObject_CallFunctionObjArgs(Frame_class, buffer, self->format_tuple, NULL);
  PyObject *array = object != NULL ? array_over(frame, format, FALSE, buffer) : NULL;
  /* A frame too short for its format gets no array here: reading
   * frame.array raises the error then. */
  if (array == NULL || PyObject_SetAttr(object, array_name, array) < 0) PyErr_Clear();
  Py_XDECREF(array);
  Py_DECREF(buffer);
  return object;
}

/* ---- Frames through process() ---------------------------------------------- */

/* Shows the pending exception the first time, counts it later. GIL held.
 * A Ctrl-C that landed in process() is raised again in the main thread; a
 * SystemExit does not end the process from a unit. */
static void report_exception(KovPyUnit *self) {
  if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) {
    PyErr_Clear();
    PyErr_SetInterrupt();
    return;
  }
  if (self->traceback_shown) {
    PyErr_Clear();
    self->exceptions++;
    return;
  }
  self->traceback_shown = TRUE;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != NULL && value != NULL) PyException_SetTraceback(value, traceback);
  PySys_FormatStderr("%s: process() raised an exception; the frame is dropped (later "
                     "exceptions are counted, not shown):\n",
                     unit_id(self));
  PyErr_Display(type, value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
  PyErr_Clear();
}

/* Refuses an unusable result: posts the first refusal as the unit's error,
 * counts the later ones. GIL held. */
static void refuse_array(KovPyUnit *self, const gchar *message) {
  if (!self->array_error_posted) {
    self->array_error_posted = TRUE;
    GError *error = g_error_new(KOV_ERROR, KOV_ERROR_BAD_VALUE, "%s", message);
    kov_unit_post_error(&self->parent, error);
    g_error_free(error);
  } else {
    self->wrong_arrays++;
  }
}

/* Checks @result against the output format. On success returns TRUE with
 * *pass_through set when it is the input's own bytes. */
static gboolean check_result(KovPyUnit *self, PyObject *result, KovFrameBuffer *in,
                             const KovUnitFormat *in_format, const KovUnitFormat *out_format,
                             gboolean *pass_through) {
  char code[11];
  Layout want;
  *pass_through = FALSE;
  if (out_format == NULL || !layout_of(out_format, &want)) {
    refuse_array(self, "no output format to put the array in");
    return FALSE;
  }
  gchar *expected = describe_layout(&want);
  gchar *message = NULL;
  if (!PyArray_Check(result)) {
    message = g_strdup_printf("%s: process() returned a %s; expected None or a NumPy array "
                              "(%s for %s %dx%d)",
                              unit_id(self), Py_TYPE(result)->tp_name, expected,
                              kov_pixel_format_to_string(out_format->pixelformat, code),
                              out_format->width, out_format->height);
  } else {
    PyArrayObject *array = (PyArrayObject *)result;
    gboolean ok = PyArray_TYPE(array) == want.typenum && PyArray_ISNOTSWAPPED(array) &&
                  PyArray_NDIM(array) == want.ndim;
    if (ok && want.flat) {
      const npy_intp n = PyArray_DIM(array, 0);
      if (out_format->pixelformat == KOV_PIX_FMT_MJPG) {
        ok = n > 0;
      } else {
        ok = (gsize)n >= kov_pixel_format_min_frame_size(out_format->pixelformat,
                                                         out_format->width, out_format->height,
                                                         out_format->row_stride) &&
             (gsize)n <= kov_pixel_format_frame_size(out_format->pixelformat, out_format->width,
                                                     out_format->height, out_format->row_stride);
      }
    } else if (ok) {
      for (int i = 0; i < want.ndim; i++) ok = ok && PyArray_DIM(array, i) == want.shape[i];
    }
    if (!ok) {
      PyObject *shape = PyObject_GetAttrString(result, "shape");
      PyObject *dtype = PyObject_GetAttrString(result, "dtype");
      PyObject *text = shape != NULL && dtype != NULL
                           ? PyUnicode_FromFormat("shape %S, dtype %S", shape, dtype)
                           : NULL;
      PyErr_Clear();
      const char *got = text != NULL ? PyUnicode_AsUTF8(text) : NULL;
      message = g_strdup_printf("%s: process() returned an array of %s; %s %dx%d needs %s",
                                unit_id(self), got != NULL ? got : "another layout",
                                kov_pixel_format_to_string(out_format->pixelformat, code),
                                out_format->width, out_format->height, expected);
      PyErr_Clear();
      Py_XDECREF(text);
      Py_XDECREF(shape);
      Py_XDECREF(dtype);
    } else if (PyArray_DATA(array) == (void *)in->data &&
               kov_unit_format_equal(in_format, out_format)) {
      gboolean same = TRUE;
      if (want.flat)
        same = (gsize)PyArray_DIM(array, 0) == frame_bytes(in);
      else
        for (int i = 0; i < want.ndim; i++)
          same = same && PyArray_STRIDE(array, i) == want.strides[i];
      *pass_through = same;
    }
  }
  g_free(expected);
  if (message != NULL) {
    refuse_array(self, message);
    g_free(message);
    return FALSE;
  }
  return TRUE;
}

/* A pool frame holding a copy of @result in @format's layout, with @in's
 * timestamp and metadata; NULL with an exception set on failure. */
static KovFrameBuffer *copy_result(KovPyUnit *self, PyArrayObject *result, KovFrameBuffer *in,
                                   const KovUnitFormat *format) {
  gsize size;
  const gboolean compressed = format->pixelformat == KOV_PIX_FMT_MJPG;
  Layout layout;
  layout_of(format, &layout);
  if (layout.flat)
    size = (gsize)PyArray_DIM(result, 0);
  else
    size = kov_pixel_format_frame_size(format->pixelformat, format->width, format->height,
                                       format->row_stride);
  /* Compressed frames vary in size: their pool's frames have the largest
   * size seen so far. */
  gsize pool_size = size;
  if (compressed && self->pool != NULL && kov_frame_pool_get_frame_size(self->pool) > size)
    pool_size = kov_frame_pool_get_frame_size(self->pool);
  KovFrameBuffer *out = kov_frame_pool_acquire_sized(&self->pool, pool_size);
  if (out == NULL) {
    PyErr_NoMemory();
    return NULL;
  }
  if (layout.flat) layout.shape[0] = (npy_intp)size;
  PyArray_Descr *descr = PyArray_DescrFromType(layout.typenum);
  PyObject *view = PyArray_NewFromDescr(&PyArray_Type, descr, layout.ndim, layout.shape,
                                        layout.strides, out->data, NPY_ARRAY_WRITEABLE, NULL);
  if (view == NULL || PyArray_CopyInto((PyArrayObject *)view, result) < 0) {
    Py_XDECREF(view);
    g_object_unref(out);
    return NULL;
  }
  Py_DECREF(view);
  kov_framebuffer_copy_metadata(out, in);
  out->bytesused = size;
  return out;
}

static void kov_py_unit_input_frame_ready(KovUnit *unit, KovFrameBuffer *frame,
                                          KovUnitFormat *format) {
  KovPyUnit *self = (KovPyUnit *)unit;
  KovUnitFormat *out_format = kov_unit_get_output_format(unit);
  if (self->instance == NULL || out_format == NULL || !python_alive()) return;

  KovFrameBuffer *out = NULL;
  PyGILState_STATE gil = PyGILState_Ensure();
  PyObject *arg = frame_new(self, frame, format);
  PyObject *result = arg != NULL ? PyObject_CallMethodOneArg(self->instance, process_name, arg)
                                 : NULL;
  Py_XDECREF(arg);
  gboolean pass_through = FALSE;
  if (result == NULL) {
    report_exception(self);
  } else if (result != Py_None &&
             check_result(self, result, frame, format, out_format, &pass_through)) {
    if (pass_through) {
      out = g_object_ref(frame);
    } else {
      out = copy_result(self, (PyArrayObject *)result, frame, out_format);
      if (out == NULL) report_exception(self);
    }
  }
  Py_XDECREF(result);
  PyGILState_Release(gil);

  /* The next units run without the GIL. */
  if (out != NULL) {
    kov_unit_produce_frame(unit, out, out_format);
    g_object_unref(out);
  }
}

/* Offers the declared output formats for an accepted input format. */
static void on_input_format_changed(KovUnit *unit, KovUnitFormat *input, gpointer user_data) {
  (void)user_data;
  KovPyUnit *self = (KovPyUnit *)unit;
  const PyUnitInfo *info = self->info;
  if (input == NULL || info == NULL) {
    kov_unit_mirror_input_format(unit, NULL);
    return;
  }
  gboolean accepted = info->accepts->len == 0;
  for (guint i = 0; i < info->accepts->len && !accepted; i++)
    accepted = g_array_index(info->accepts, guint32, i) == input->pixelformat;
  if (!accepted) {
    GString *list = g_string_new(NULL);
    char code[11];
    for (guint i = 0; i < info->accepts->len; i++)
      g_string_append_printf(list, "%s%s", i > 0 ? ", " : "",
                             kov_pixel_format_to_string(g_array_index(info->accepts, guint32, i),
                                                        code));
    GError *error = g_error_new(KOV_ERROR, KOV_ERROR_FORMAT, "accepts %s, not %s", list->str,
                                kov_pixel_format_to_string(input->pixelformat, code));
    g_string_free(list, TRUE);
    kov_unit_set_error(unit, error);
    g_error_free(error);
    kov_unit_mirror_input_format(unit, NULL);
    return;
  }
  kov_unit_set_error(unit, NULL);
  if (info->gives->len == 0) {
    kov_unit_mirror_input_format(unit, input);
    return;
  }
  kov_unit_remove_all_output_formats(unit);
  for (guint i = 0; i < info->gives->len; i++) {
    const guint32 code = g_array_index(info->gives, guint32, i);
    const gint stride = code == input->pixelformat
                            ? input->row_stride
                            : kov_pixel_format_min_row_stride(code, input->width);
    kov_unit_add_output_format(unit, code, NULL, input->width, input->height, stride);
  }
}

static void kov_py_unit_class_init(KovPyUnitClass *klass) {
  G_OBJECT_CLASS(klass)->finalize = kov_py_unit_finalize;
  klass->parent_class.stream_shutdown = kov_py_unit_stream_shutdown;
  klass->parent_class.input_frame_ready = kov_py_unit_input_frame_ready;
}

static void kov_py_unit_init(KovPyUnit *self) {
  g_signal_connect(self, "input-format-changed", G_CALLBACK(on_input_format_changed), NULL);
}

/* ---- Controls ------------------------------------------------------------------ */

/* Adds the declared controls. Each declaration is a tuple
 *   ("bool", id, label, default)
 *   ("int", id, label, default, minimum, maximum, step)
 *   ("float", id, label, default, minimum, maximum, step)
 *   ("enum", id, label, default, ((value, nick), ...))
 *   ("string", id, label, default)
 * as kovkit.pyunit makes them. GIL held; FALSE with an exception set. */
static gboolean add_controls(KovUnit *unit, PyObject *declarations) {
  const Py_ssize_t n = PyTuple_GET_SIZE(declarations);
  for (Py_ssize_t i = 0; i < n; i++) {
    PyObject *d = PyTuple_GET_ITEM(declarations, i);
    const char *kind, *id, *label;
    if (!PyTuple_Check(d) || PyTuple_GET_SIZE(d) < 4 ||
        (kind = PyUnicode_AsUTF8(PyTuple_GET_ITEM(d, 0))) == NULL) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "bad control declaration");
      return FALSE;
    }
    if (strcmp(kind, "bool") == 0) {
      int def;
      if (!PyArg_ParseTuple(d, "sssp", &kind, &id, &label, &def)) return FALSE;
      kov_unit_add_control_boolean(unit, id, label, def, TRUE);
    } else if (strcmp(kind, "int") == 0) {
      int def, min, max, step;
      if (!PyArg_ParseTuple(d, "sssiiii", &kind, &id, &label, &def, &min, &max, &step))
        return FALSE;
      kov_unit_add_control_int(unit, id, label, min, max, step, def, TRUE);
    } else if (strcmp(kind, "float") == 0) {
      float def, min, max, step;
      if (!PyArg_ParseTuple(d, "sssffff", &kind, &id, &label, &def, &min, &max, &step))
        return FALSE;
      kov_unit_add_control_float(unit, id, label, min, max, step, def, TRUE);
    } else if (strcmp(kind, "enum") == 0) {
      int def;
      PyObject *entries;
      if (!PyArg_ParseTuple(d, "sssiO!", &kind, &id, &label, &def, &PyTuple_Type, &entries))
        return FALSE;
      const Py_ssize_t m = PyTuple_GET_SIZE(entries);
      KovUnitControlEnumEntry *list = g_new0(KovUnitControlEnumEntry, m + 1);
      for (Py_ssize_t j = 0; j < m; j++) {
        int value;
        const char *nick;
        if (!PyArg_ParseTuple(PyTuple_GET_ITEM(entries, j), "is", &value, &nick)) {
          g_free(list);
          return FALSE;
        }
        list[j].value = value;
        list[j].nick = nick; /* copied by the control */
        list[j].enabled = 1;
      }
      kov_unit_add_control_enum(unit, id, label, def, TRUE, list);
      g_free(list);
    } else if (strcmp(kind, "string") == 0) {
      const char *def;
      if (!PyArg_ParseTuple(d, "ssss", &kind, &id, &label, &def)) return FALSE;
      kov_unit_add_control_string(unit, id, label, def, TRUE);
    } else {
      PyErr_Format(PyExc_ValueError, "unknown control kind %s", kind);
      return FALSE;
    }
  }
  return TRUE;
}

/* ---- UnitHandle: control values for the Python instance ------------------------ */

/* The unit (a new reference) and its control @id, or NULL with an exception. */
static KovUnitControl *handle_control(UnitHandle *self, const char *id, KovPyUnit **unit) {
  *unit = g_weak_ref_get(&self->unit);
  if (*unit == NULL) {
    PyErr_SetString(PyExc_RuntimeError, "the unit no longer exists");
    return NULL;
  }
  KovUnitControl *control = kov_unit_find_control(&(*unit)->parent, id);
  if (control == NULL) {
    PyErr_Format(PyExc_KeyError, "%s has no control %s", unit_id(*unit), id);
    g_clear_object(unit);
  }
  return control;
}

static PyObject *control_value(KovUnitControl *control) {
  switch (kov_unit_control_get_control_type(control)) {
  case KOV_UNIT_CONTROL_TYPE_BOOLEAN:
    return PyBool_FromLong(kov_unit_control_get_boolean(control));
  case KOV_UNIT_CONTROL_TYPE_INT:
    return PyLong_FromLong(kov_unit_control_get_int(control));
  case KOV_UNIT_CONTROL_TYPE_FLOAT:
    return PyFloat_FromDouble(kov_unit_control_get_float(control));
  case KOV_UNIT_CONTROL_TYPE_ENUM: {
    guint n = 0;
    const gint value = kov_unit_control_get_enum(control);
    const KovUnitControlEnumEntry *entries = kov_unit_control_get_enum_entries(control, &n);
    for (guint i = 0; i < n; i++)
      if (entries[i].value == value) return PyUnicode_FromString(entries[i].nick);
    return PyLong_FromLong(value);
  }
  case KOV_UNIT_CONTROL_TYPE_STRING: {
    gchar *text = kov_unit_control_dup_string(control);
    PyObject *value = PyUnicode_FromString(text != NULL ? text : "");
    g_free(text);
    return value;
  }
  default:
    Py_RETURN_NONE;
  }
}

static PyObject *UnitHandle_get(UnitHandle *self, PyObject *args) {
  const char *id;
  KovPyUnit *unit;
  if (!PyArg_ParseTuple(args, "s", &id)) return NULL;
  KovUnitControl *control = handle_control(self, id, &unit);
  if (control == NULL) return NULL;
  PyObject *value = control_value(control);
  g_object_unref(unit);
  return value;
}

/* Sets a control from a Python value: the framework checks it (type, range,
 * step, entry) and its message becomes a ValueError. */
static PyObject *set_value(KovPyUnit *unit, KovUnitControl *control, const char *id,
                           PyObject *value) {

  GError *error = NULL;
  gboolean ok = FALSE;
  const KovUnitControlType type = kov_unit_control_get_control_type(control);
  const char *wanted = NULL;
  if (type == KOV_UNIT_CONTROL_TYPE_BOOLEAN && PyBool_Check(value)) {
    ok = kov_unit_control_set_boolean(control, value == Py_True, &error);
  } else if (type == KOV_UNIT_CONTROL_TYPE_INT && PyLong_Check(value) && !PyBool_Check(value)) {
    int overflow = 0;
    const long v = PyLong_AsLongAndOverflow(value, &overflow);
    if (overflow != 0 || v < G_MININT || v > G_MAXINT) {
      PyErr_Format(PyExc_ValueError, "%s: %R is out of range for %s", unit_id(unit),
                   value, id);
      return NULL;
    }
    ok = kov_unit_control_set_int(control, (gint)v, &error);
  } else if (type == KOV_UNIT_CONTROL_TYPE_FLOAT &&
             (PyFloat_Check(value) || (PyLong_Check(value) && !PyBool_Check(value)))) {
    const double v = PyFloat_AsDouble(value);
    if (v == -1.0 && PyErr_Occurred()) return NULL;
    ok = kov_unit_control_set_float(control, (gfloat)v, &error);
  } else if (type == KOV_UNIT_CONTROL_TYPE_ENUM && PyUnicode_Check(value)) {
    const char *nick = PyUnicode_AsUTF8(value);
    if (nick == NULL) return NULL;
    ok = kov_unit_control_set_from_string(control, nick, &error);
  } else if (type == KOV_UNIT_CONTROL_TYPE_ENUM && PyLong_Check(value) && !PyBool_Check(value)) {
    const long v = PyLong_AsLong(value);
    if (v == -1 && PyErr_Occurred()) return NULL;
    ok = kov_unit_control_set_enum(control, (gint)CLAMP(v, G_MININT, G_MAXINT), &error);
  } else if (type == KOV_UNIT_CONTROL_TYPE_STRING && PyUnicode_Check(value)) {
    const char *text = PyUnicode_AsUTF8(value);
    if (text == NULL) return NULL;
    ok = kov_unit_control_set_string(control, text, &error);
  } else {
    wanted = type == KOV_UNIT_CONTROL_TYPE_BOOLEAN ? "a bool"
             : type == KOV_UNIT_CONTROL_TYPE_INT   ? "an int"
             : type == KOV_UNIT_CONTROL_TYPE_FLOAT ? "a float"
             : type == KOV_UNIT_CONTROL_TYPE_ENUM  ? "an entry's name or value"
                                                    : "a str";
    PyErr_Format(PyExc_TypeError, "%s: control %s takes %s, not %s", unit_id(unit), id,
                 wanted, Py_TYPE(value)->tp_name);
    return NULL;
  }
  if (!ok) {
    PyErr_SetString(PyExc_ValueError, error != NULL ? error->message : "value refused");
    g_clear_error(&error);
    return NULL;
  }
  Py_RETURN_NONE;
}

static PyObject *UnitHandle_set(UnitHandle *self, PyObject *args) {
  const char *id;
  PyObject *value;
  KovPyUnit *unit;
  if (!PyArg_ParseTuple(args, "sO", &id, &value)) return NULL;
  KovUnitControl *control = handle_control(self, id, &unit);
  if (control == NULL) return NULL;
  PyObject *result = set_value(unit, control, id, value);
  g_object_unref(unit);
  return result;
}

static PyObject *UnitHandle_gobject(UnitHandle *self, PyObject *unused) {
  (void)unused;
  KovPyUnit *unit = g_weak_ref_get(&self->unit);
  if (unit == NULL) Py_RETURN_NONE;
  PyObject *wrapper = pygobject_new(G_OBJECT(unit));
  g_object_unref(unit);
  return wrapper;
}

static PyMethodDef UnitHandle_methods[] = {
    {"get", (PyCFunction)UnitHandle_get, METH_VARARGS, "get(id): a control's value"},
    {"set", (PyCFunction)UnitHandle_set, METH_VARARGS, "set(id, value): sets a control"},
    {"gobject", (PyCFunction)UnitHandle_gobject, METH_NOARGS, "The Kovkit.Unit, or None"},
    {NULL, NULL, 0, NULL},
};

static void UnitHandle_dealloc(UnitHandle *self) {
  g_weak_ref_clear(&self->unit);
  PyObject_Free(self);
}

static PyTypeObject UnitHandle_type = {
    PyVarObject_HEAD_INIT(NULL, 0).tp_name = "kovkit._pyunit.UnitHandle",
    .tp_basicsize = sizeof(UnitHandle),
    .tp_dealloc = (destructor)UnitHandle_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "The unit behind a PythonUnit instance",
    .tp_methods = UnitHandle_methods,
};

/* ---- The driver: creates the units of one registered class ---------------------- */

typedef struct {
  KovUnitDriver parent;
  PyUnitInfo *info; /* lives as long as the process: drivers are never dropped */
} KovPyDriver;

typedef struct {
  KovUnitDriverClass parent_class;
} KovPyDriverClass;

static GType kov_py_driver_get_type(void);
G_DEFINE_TYPE(KovPyDriver, kov_py_driver, KOV_TYPE_UNIT_DRIVER)

static gint kov_py_driver_update_unit_descriptions(KovUnitDriver *driver) {
  KovPyDriver *self = (KovPyDriver *)driver;
  kov_unit_driver_add_unit_description(driver, self->info->label, NULL, 0);
  return 0;
}

static KovUnit *kov_py_driver_create_unit(KovUnitDriver *driver, KovUnitDescription *desc) {
  (void)desc;
  KovPyDriver *self = (KovPyDriver *)driver;
  if (!python_alive()) return NULL;
  PyGILState_STATE gil = PyGILState_Ensure();
  KovPyUnit *unit = g_object_new(kov_py_unit_get_type(), NULL);
  unit->info = self->info;
  UnitHandle *handle = NULL;
  PyObject *instance = NULL;
  if (add_controls(&unit->parent, self->info->controls) &&
      (handle = PyObject_New(UnitHandle, &UnitHandle_type)) != NULL) {
    g_weak_ref_init(&handle->unit, unit);
    instance = PyObject_CallOneArg(self->info->factory, (PyObject *)handle);
  }
  if (instance == NULL) {
    PySys_FormatStderr("%s: the unit could not be made:\n", self->info->id);
    PyErr_PrintEx(0);
    Py_XDECREF(handle);
    PyGILState_Release(gil);
    g_object_ref_sink(unit);
    g_object_unref(unit);
    return NULL;
  }
  unit->instance = instance;
  Py_DECREF(handle); /* the instance keeps it */
  PyGILState_Release(gil);
  return &unit->parent;
}

static void kov_py_driver_class_init(KovPyDriverClass *klass) {
  klass->parent_class.update_unit_descriptions = kov_py_driver_update_unit_descriptions;
  klass->parent_class.driver_create_unit = kov_py_driver_create_unit;
}

static void kov_py_driver_init(KovPyDriver *self) { (void)self; }

/* ---- Module functions --------------------------------------------------------------- */

/* The code of a known four-character format, or a ValueError. */
static gboolean code_of(PyObject *text, guint32 *code) {
  const char *s = PyUnicode_Check(text) ? PyUnicode_AsUTF8(text) : NULL;
  if (s == NULL) {
    if (!PyErr_Occurred())
      PyErr_Format(PyExc_TypeError, "a format is a four-character str, not %s",
                   Py_TYPE(text)->tp_name);
    return FALSE;
  }
  *code = strlen(s) == 4 ? kov_pixel_format_from_string(s) : 0;
  if (*code == 0 || kov_pixel_format_get_info(*code) == NULL) {
    PyErr_Format(PyExc_ValueError, "unknown pixel format %R", text);
    return FALSE;
  }
  return TRUE;
}

static gboolean codes_of(PyObject *sequence, GArray *codes) {
  PyObject *fast = PySequence_Fast(sequence, "formats are given as a sequence of str");
  if (fast == NULL) return FALSE;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(fast); i++) {
    guint32 code;
    if (!code_of(PySequence_Fast_GET_ITEM(fast, i), &code)) {
      Py_DECREF(fast);
      return FALSE;
    }
    g_array_append_val(codes, code);
  }
  Py_DECREF(fast);
  return TRUE;
}

/* register(id, label, factory, controls, accepts, gives) */
static PyObject *module_register(PyObject *module, PyObject *args) {
  (void)module;
  const char *id, *label;
  PyObject *factory, *controls, *accepts, *gives;
  if (!PyArg_ParseTuple(args, "ssOO!OO", &id, &label, &factory, &PyTuple_Type, &controls,
                        &accepts, &gives))
    return NULL;
  const char *dot = strchr(id, '.');
  if (dot == NULL || dot == id || dot[1] == '\0' || strpbrk(id, " \t\n!=") != NULL) {
    PyErr_Format(PyExc_ValueError, "a unit id is \"package.name\" without spaces, '!' or '=', "
                 "not \"%s\"", id);
    return NULL;
  }
  GArray *accept_codes = g_array_new(FALSE, FALSE, sizeof(guint32));
  GArray *give_codes = g_array_new(FALSE, FALSE, sizeof(guint32));
  if (!codes_of(accepts, accept_codes) || !codes_of(gives, give_codes)) {
    g_array_free(accept_codes, TRUE);
    g_array_free(give_codes, TRUE);
    return NULL;
  }
  KovUnitManager *manager = kov_unit_manager_get_and_ref();
  if (kov_unit_manager_find_unit_description(manager, id) != NULL) {
    g_object_unref(manager);
    g_array_free(accept_codes, TRUE);
    g_array_free(give_codes, TRUE);
    PyErr_Format(PyExc_ValueError, "a unit %s is already registered", id);
    return NULL;
  }
  PyUnitInfo *info = g_new0(PyUnitInfo, 1);
  info->id = g_strdup(id);
  info->label = g_strdup(label);
  info->factory = Py_NewRef(factory);
  info->controls = Py_NewRef(controls);
  info->accepts = accept_codes;
  info->gives = give_codes;

  KovPyDriver *driver = g_object_new(kov_py_driver_get_type(), NULL);
  driver->info = info;
  gchar *package = g_strndup(id, (gsize)(dot - id));
  kov_unit_driver_set_name(&driver->parent, package, dot + 1);
  g_free(package);
  kov_unit_manager_register_driver(manager, &driver->parent);
  g_object_unref(driver);
  g_object_unref(manager);
  Py_RETURN_NONE;
}

static PyMethodDef module_methods[] = {
    {"register", module_register, METH_VARARGS,
     "register(id, label, factory, controls, accepts, gives): makes a Python unit class "
     "known to the unit manager"},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "kovkit._pyunit",
    "The engine behind kovkit.PythonUnit", -1, module_methods, NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit__pyunit(void) {
  import_array();
  if (pygobject_init(3, 36, 0) == NULL) return NULL;
  if (PyType_Ready(&UnitHandle_type) < 0) return NULL;
  PyObject *frame_module = PyImport_ImportModule("kovkit.frame");
  if (frame_module == NULL) return NULL;
  Frame_class = PyObject_GetAttrString(frame_module, "Frame");
  FrameFormat_class = PyObject_GetAttrString(frame_module, "FrameFormat");
  Py_DECREF(frame_module);
  process_name = PyUnicode_InternFromString("process");
  array_name = PyUnicode_InternFromString("_array");
  if (Frame_class == NULL || FrameFormat_class == NULL || process_name == NULL ||
      array_name == NULL)
    return NULL;
  return PyModule_Create(&module_def);
}
