/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* _kovkitgtk: makes the kovkit GTK widgets usable from Python.
 *
 * On import the module attaches to PyGObject (through gi._gobject, with a
 * version check), imports its base classes from gi.repository.Gtk and the
 * framework classes Unit, Chain and GInitiallyUnowned from the kovkit
 * package, and creates seven wrapper classes. PyGObject's classes are heap
 * types, so each wrapper is made at start-up by calling its base's metaclass
 * with a class dictionary that already holds __gtype__ (PyGObject then
 * registers no GType of its own); the C methods are attached as method
 * descriptors, and the class is set as the GType's Python type, so that
 * PyGObject wraps every object of that GType in it.
 *
 * The module also registers the three framework enumeration types
 * KovUnitControlUIHint, KovUnitFlags and KovUnitControlType. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

/* pygobject.h defines the PyGObject function-table pointer _PyGObject_API;
 * it is one of the module's exports. */
#pragma GCC visibility push(default)
#include <pygobject.h>
#pragma GCC visibility pop

#include <stdio.h>
#include <string.h>

#include <kovkit-gtk/kovkit-gtk.h>

#define MODULE_NAME "kovkit.gtk"

/* Oldest accepted PyGObject, within its major version. */
#define REQUIRED_MAJOR 3
#define REQUIRED_MINOR 36
#define REQUIRED_MICRO 0

/* Exported: the C entry points of the module besides PyInit__kovkitgtk. */
#define KOVKITGTK_EXPORT __attribute__((visibility("default")))
KOVKITGTK_EXPORT GType kov_unit_control_ui_hint_get_type(void);
KOVKITGTK_EXPORT GType kov_unit_flags_get_type(void);
KOVKITGTK_EXPORT GType kov_unit_control_type_get_type(void);
KOVKITGTK_EXPORT void pykovkitgtk_register_classes(PyObject *d);
PyMODINIT_FUNC PyInit__kovkitgtk(void);

/* ---- Module-wide state, kept for the life of the process ---------------- */

static PyObject *gobject_module; /* gi._gobject */
static PyObject *GObject_class;
static PyObject *DrawingArea_class, *TreeStore_class, *TreeView_class, *TextView_class,
    *VBox_class, *EventBox_class;
static PyObject *Unit_class, *Chain_class, *GInitiallyUnowned_class;

/* The wrapper classes, in registration order. */
static PyTypeObject *GLDrawingArea_type, *TreeStore_type, *ChainGLWidget_type, *ChainWidget_type,
    *ControlWidget_type, *DescriptionWidget_type, *ManagerWidget_type;

/* ---- Enumeration types ---------------------------------------------------- */

GType kov_unit_control_ui_hint_get_type(void) {
  static GType type = 0;
  static const GFlagsValue values[] = {
      {0x2, "KOV_UNIT_CONTROL_CHECK_BOX", ""},
      {0x4, "KOV_UNIT_CONTROL_TOGGLE_BUTTON", ""},
      {0x8, "KOV_UNIT_CONTROL_MENU", ""},
      {0x10, "KOV_UNIT_CONTROL_RADIO_BUTTONS", ""},
      {0x20, "KOV_UNIT_CONTROL_FILENAME", ""},
      {0x40, "KOV_UNIT_CONTROL_TEXT_ENTRY", ""},
      {0x80, "KOV_UNIT_CONTROL_ONE_SHOT", ""},
      {0x100, "KOV_UNIT_CONTROL_SLIDER", ""},
      {0x200, "KOV_UNIT_CONTROL_SPINBUTTON", ""},
      {0, NULL, NULL},
  };
  if (type == 0) type = g_flags_register_static(g_intern_static_string("KovUnitControlUIHint"), values);
  return type;
}

GType kov_unit_flags_get_type(void) {
  static GType type = 0;
  static const GFlagsValue values[] = {
      {0x4, "KOV_UNIT_RENDERS_GL", "Unit renders GL"},
      {0x20, "KOV_UNIT_EVENT_METHOD_FD", "Event based on fd polling"},
      {0x40, "KOV_UNIT_EVENT_METHOD_TIMEOUT", "Event based on timeout"},
      {0, NULL, NULL},
  };
  if (type == 0) type = g_flags_register_static(g_intern_static_string("KovUnitFlags"), values);
  return type;
}

GType kov_unit_control_type_get_type(void) {
  static GType type = 0;
  static const GEnumValue values[] = {
      {0, "KOV_UNIT_CONTROL_TYPE_INVALID", "Invalid"},
      {1, "KOV_UNIT_CONTROL_TYPE_INT", "Integer control with min, max and step"},
      {2, "KOV_UNIT_CONTROL_TYPE_BOOLEAN", "Boolean value"},
      {3, "KOV_UNIT_CONTROL_TYPE_ENUM", "Enumeration control"},
      {4, "KOV_UNIT_CONTROL_TYPE_STRING", "String control"},
      {5, "KOV_UNIT_CONTROL_TYPE_FLOAT", "Floating point control"},
      {0, NULL, NULL},
  };
  if (type == 0) type = g_enum_register_static(g_intern_static_string("KovUnitControlType"), values);
  return type;
}

/* ---- Helpers ---------------------------------------------------------------- */

/* The wrapped object of @self as an instance of @type, or NULL with a
 * Python error: a subclass whose __init__ did not chain up has no object. */
static gpointer wrapped_object(PyObject *self, GType type) {
  GObject *obj = pygobject_get(self);
  if (obj == NULL) {
    PyErr_Format(PyExc_TypeError, "object at %p of type %s is not initialized", (void *)self,
                 Py_TYPE(self)->tp_name);
    return NULL;
  }
  if (!G_TYPE_CHECK_INSTANCE_TYPE(obj, type)) {
    PyErr_Format(PyExc_TypeError, "object of type %s does not wrap a %s", Py_TYPE(self)->tp_name,
                 g_type_name(type));
    return NULL;
  }
  return obj;
}

/* The object of an argument that the parser has already checked to be an
 * instance of the right Python class. */
static gpointer argument_object(PyObject *arg, GType type, const char *what) {
  GObject *obj = pygobject_get(arg);
  if (obj == NULL || !G_TYPE_CHECK_INSTANCE_TYPE(obj, type)) {
    PyErr_Format(PyExc_TypeError, "%s: the %s argument wraps no %s object", what,
                 Py_TYPE(arg)->tp_name, g_type_name(type));
    return NULL;
  }
  return obj;
}

static PyObject *wrap_object(gpointer obj) {
  if (obj == NULL) Py_RETURN_NONE;
  return pygobject_new(G_OBJECT(obj));
}

/* Redraw handler of a chain's "frame-ready": it only calls C, so it needs
 * no GIL (a Python handler of "redraw-requested" takes it itself). */
static void on_chain_frame_ready(GObject *chain, gpointer frame, gpointer format, gpointer data) {
  (void)chain;
  (void)frame;
  (void)format;
  if (data != NULL && KOV_IS_UNIT_CHAIN_GL_WIDGET(data))
    kov_unit_chain_gl_widget_request_redraw(KOV_UNIT_CHAIN_GL_WIDGET(data));
}

/* Every call adds one more connection. The connection goes away with the
 * widget, so a chain that outlives its widget never calls into freed memory. */
static void connect_redraw(KovUnitChain *chain, KovUnitChainGLWidget *widget) {
  g_signal_connect_object(chain, "frame-ready", G_CALLBACK(on_chain_frame_ready), widget, 0);
}

/* ---- GLDrawingArea -------------------------------------------------------- */

static PyObject *GLDrawingArea_set_vblank_sync(PyObject *self, PyObject *args, PyObject *kwargs) {
  static char *kwlist[] = {"vblank_sync", NULL};
  int vblank_sync;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "i:Kov.GLDrawingArea.set_vblank_sync", kwlist,
                                   &vblank_sync))
    return NULL;
  KovGLDrawingArea *area = wrapped_object(self, kov_gl_drawing_area_get_type());
  if (area == NULL) return NULL;
  kov_gl_drawing_area_set_vblank_sync(area, vblank_sync);
  Py_RETURN_NONE;
}

static PyObject *GLDrawingArea_swap_buffers(PyObject *self, PyObject *unused) {
  (void)unused;
  KovGLDrawingArea *area = wrapped_object(self, kov_gl_drawing_area_get_type());
  if (area == NULL) return NULL;
  kov_gl_drawing_area_swap_buffers(area);
  Py_RETURN_NONE;
}

static PyObject *GLDrawingArea_set_context(PyObject *self, PyObject *unused) {
  (void)unused;
  KovGLDrawingArea *area = wrapped_object(self, kov_gl_drawing_area_get_type());
  if (area == NULL) return NULL;
  return PyLong_FromLong(kov_gl_drawing_area_set_context(area));
}

static PyObject *GLDrawingArea_invalidate(PyObject *self, PyObject *unused) {
  (void)unused;
  KovGLDrawingArea *area = wrapped_object(self, kov_gl_drawing_area_get_type());
  if (area == NULL) return NULL;
  kov_gl_drawing_area_invalidate(area);
  Py_RETURN_NONE;
}

static PyMethodDef GLDrawingArea_methods[] = {
    {"set_vblank_sync", (PyCFunction)(void (*)(void))GLDrawingArea_set_vblank_sync,
     METH_VARARGS | METH_KEYWORDS, NULL},
    {"swap_buffers", GLDrawingArea_swap_buffers, METH_NOARGS, NULL},
    {"set_context", GLDrawingArea_set_context, METH_NOARGS, NULL},
    {"invalidate", GLDrawingArea_invalidate, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};

/* ---- TreeStore ---------------------------------------------------------------- */

static PyObject *TreeStore_set_draggable_col(PyObject *self, PyObject *args, PyObject *kwargs) {
  static char *kwlist[] = {"col", NULL};
  int col;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "i:Kov.TreeStore.set_draggable_col", kwlist, &col))
    return NULL;
  KovTreeStore *store = wrapped_object(self, kov_tree_store_get_type());
  if (store == NULL) return NULL;
  kov_tree_store_set_draggable_col(store, col);
  Py_RETURN_NONE;
}

/* The tree store cannot be made from Python: it always fails, naming the
 * instance's own class (a subclass that keeps this initializer gets its own
 * name). The text is cut to 511 characters. */
static PyObject *TreeStore_init(PyObject *self, PyObject *args, PyObject *kwargs) {
  (void)args;
  (void)kwargs;
  char message[512];
  PyObject *module = PyObject_GetAttrString((PyObject *)Py_TYPE(self), "__module__");
  PyObject *qualname = PyObject_GetAttrString((PyObject *)Py_TYPE(self), "__qualname__");
  const char *module_text = module != NULL && PyUnicode_Check(module) ? PyUnicode_AsUTF8(module) : NULL;
  const char *qualname_text =
      qualname != NULL && PyUnicode_Check(qualname) ? PyUnicode_AsUTF8(qualname) : NULL;
  PyErr_Clear();
  if (module_text != NULL && qualname_text != NULL && strcmp(module_text, "builtins") != 0)
    snprintf(message, sizeof message, "%s.%s is an abstract widget", module_text, qualname_text);
  else
    snprintf(message, sizeof message, "%s is an abstract widget", Py_TYPE(self)->tp_name);
  Py_XDECREF(module);
  Py_XDECREF(qualname);
  PyErr_SetString(PyExc_NotImplementedError, message);
  return NULL;
}

static PyMethodDef TreeStore_methods[] = {
    {"set_draggable_col", (PyCFunction)(void (*)(void))TreeStore_set_draggable_col,
     METH_VARARGS | METH_KEYWORDS, NULL},
    {NULL, NULL, 0, NULL},
};

/* ---- ChainGLWidget ------------------------------------------------------------ */

static PyObject *ChainGLWidget_set_chain(PyObject *self, PyObject *args, PyObject *kwargs) {
  static char *kwlist[] = {"chain", NULL};
  PyObject *py_chain;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!:ChainGLWidget.set_chain", kwlist,
                                   (PyTypeObject *)Chain_class, &py_chain))
    return NULL;
  KovUnitChainGLWidget *widget = wrapped_object(self, kov_unit_chain_gl_widget_get_type());
  if (widget == NULL) return NULL;
  KovUnitChain *chain = argument_object(py_chain, kov_unit_chain_get_type(), "ChainGLWidget.set_chain");
  if (chain == NULL) return NULL;
  int result = kov_unit_chain_gl_widget_set_chain(widget, chain);
  if (result == 0) connect_redraw(chain, widget);
  return PyLong_FromLong(result);
}

static PyObject *ChainGLWidget_get_chain(PyObject *self, PyObject *unused) {
  (void)unused;
  KovUnitChainGLWidget *widget = wrapped_object(self, kov_unit_chain_gl_widget_get_type());
  if (widget == NULL) return NULL;
  return wrap_object(kov_unit_chain_gl_widget_get_chain(widget));
}

static PyObject *ChainGLWidget_request_redraw(PyObject *self, PyObject *unused) {
  (void)unused;
  KovUnitChainGLWidget *widget = wrapped_object(self, kov_unit_chain_gl_widget_get_type());
  if (widget == NULL) return NULL;
  kov_unit_chain_gl_widget_request_redraw(widget);
  Py_RETURN_NONE;
}

static PyObject *ChainGLWidget_set_context(PyObject *self, PyObject *unused) {
  (void)unused;
  KovUnitChainGLWidget *widget = wrapped_object(self, kov_unit_chain_gl_widget_get_type());
  if (widget == NULL) return NULL;
  kov_unit_chain_gl_widget_set_context(widget);
  Py_RETURN_NONE;
}

/* Starts (nonzero) or stops every unit of the widget's chain. Each call
 * first prints one line on standard output. */
static PyObject *ChainGLWidget_set_active(PyObject *self, PyObject *args) {
  int active = 0;
  if (!PyArg_ParseTuple(args, "i:ChainGLWidget.set_active", &active)) return NULL;
  KovUnitChainGLWidget *widget = wrapped_object(self, kov_unit_chain_gl_widget_get_type());
  if (widget == NULL) return NULL;
  KovUnitChain *chain = kov_unit_chain_gl_widget_get_chain(widget);
  printf("Active: %d; Widget: %p; Chain: %p\n", active, (void *)widget, (void *)chain);
  fflush(stdout);
  if (chain == NULL) {
    PyErr_SetString(PyExc_RuntimeError, "Widget has no chain assigned");
    return NULL;
  }
  /* A threaded widget's chain starts and stops on the chain's thread. */
  if (kov_unit_chain_gl_widget_get_threaded(widget)) {
    GError *error = NULL;
    if (!kov_unit_chain_gl_widget_set_active(widget, active, &error)) {
      fprintf(stderr, "kovkit: %s\n", error->message);
      g_error_free(error);
    }
    Py_RETURN_NONE;
  }
  kov_unit_chain_gl_widget_set_context(widget);
  if (active)
    kov_unit_chain_all_units_stream_init(chain);
  else
    kov_unit_chain_all_units_stream_shutdown(chain);
  Py_RETURN_NONE;
}

/* Loads a chain description into the widget's chain, creating and assigning
 * a chain first when the widget has none. */
static PyObject *ChainGLWidget_load_from_str(PyObject *self, PyObject *args) {
  KovUnitChainGLWidget *widget = wrapped_object(self, kov_unit_chain_gl_widget_get_type());
  if (widget == NULL) return NULL;
  KovUnitChain *chain = kov_unit_chain_gl_widget_get_chain(widget);
  const char *text;
  if (!PyArg_ParseTuple(args, "s:ChainGLWidget.load_from_str", &text)) return NULL;
  /* A threaded widget's chain belongs to its thread: the description goes
   * into a new chain, which the widget then hands to a thread of its own. */
  if (kov_unit_chain_gl_widget_get_threaded(widget)) {
    chain = kov_unit_chain_new();
    g_object_ref_sink(chain);
    connect_redraw(chain, widget);
    GError *error = NULL;
    kov_unit_chain_load_from_str(chain, text, &error);
    kov_unit_chain_gl_widget_set_chain(widget, chain);
    g_object_unref(chain);
    if (error != NULL) {
      PyErr_SetString(PyExc_RuntimeError, error->message);
      g_error_free(error);
      return NULL;
    }
    Py_RETURN_NONE;
  }
  if (chain == NULL) {
    /* The widget sinks the new chain's floating reference and owns it. */
    chain = kov_unit_chain_new();
    if (kov_unit_chain_gl_widget_set_chain(widget, chain) != 0) {
      g_object_ref_sink(chain);
      g_object_unref(chain);
      PyErr_SetString(PyExc_RuntimeError, "could not assign a new chain to the widget");
      return NULL;
    }
  }
  connect_redraw(chain, widget);
  kov_unit_chain_gl_widget_set_context(widget);
  GError *error = NULL;
  kov_unit_chain_load_from_str(chain, text, &error);
  if (error != NULL) {
    PyErr_SetString(PyExc_RuntimeError, error->message);
    g_error_free(error);
    return NULL;
  }
  Py_RETURN_NONE;
}

static PyMethodDef ChainGLWidget_methods[] = {
    {"set_chain", (PyCFunction)(void (*)(void))ChainGLWidget_set_chain,
     METH_VARARGS | METH_KEYWORDS, NULL},
    {"get_chain", ChainGLWidget_get_chain, METH_NOARGS, NULL},
    {"request_redraw", ChainGLWidget_request_redraw, METH_NOARGS, NULL},
    {"set_context", ChainGLWidget_set_context, METH_NOARGS, NULL},
    {"set_active", ChainGLWidget_set_active, METH_VARARGS, NULL},
    {"load_from_str", ChainGLWidget_load_from_str, METH_VARARGS, NULL},
    {NULL, NULL, 0, NULL},
};

/* ---- ChainWidget -------------------------------------------------------------- */

static PyObject *ChainWidget_set_chain(PyObject *self, PyObject *args, PyObject *kwargs) {
  static char *kwlist[] = {"chain", NULL};
  PyObject *py_chain;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!:KovUnit.ChainWidget.set_chain", kwlist,
                                   (PyTypeObject *)Chain_class, &py_chain))
    return NULL;
  KovUnitChainWidget *widget = wrapped_object(self, kov_unit_chain_widget_get_type());
  if (widget == NULL) return NULL;
  KovUnitChain *chain =
      argument_object(py_chain, kov_unit_chain_get_type(), "KovUnit.ChainWidget.set_chain");
  if (chain == NULL) return NULL;
  return PyLong_FromLong(kov_unit_chain_widget_set_chain(widget, chain));
}

static PyObject *ChainWidget_find_unit_by_id(PyObject *self, PyObject *args, PyObject *kwargs) {
  static char *kwlist[] = {"unit_id", NULL};
  const char *unit_id;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s:KovUnit.ChainWidget.find_unit_by_id", kwlist,
                                   &unit_id))
    return NULL;
  KovUnitChainWidget *widget = wrapped_object(self, kov_unit_chain_widget_get_type());
  if (widget == NULL) return NULL;
  return wrap_object(kov_unit_chain_widget_find_unit_by_id(widget, unit_id));
}

static PyMethodDef ChainWidget_methods[] = {
    {"set_chain", (PyCFunction)(void (*)(void))ChainWidget_set_chain, METH_VARARGS | METH_KEYWORDS,
     NULL},
    {"find_unit_by_id", (PyCFunction)(void (*)(void))ChainWidget_find_unit_by_id,
     METH_VARARGS | METH_KEYWORDS, NULL},
    {NULL, NULL, 0, NULL},
};

/* ---- ControlWidget ------------------------------------------------------------ */

static PyObject *ControlWidget_set_unit(PyObject *self, PyObject *args, PyObject *kwargs) {
  static char *kwlist[] = {"unit", NULL};
  PyObject *py_unit;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!:KovUnit.ControlWidget.set_unit", kwlist,
                                   (PyTypeObject *)Unit_class, &py_unit))
    return NULL;
  KovUnitControlWidget *widget = wrapped_object(self, kov_unit_control_widget_get_type());
  if (widget == NULL) return NULL;
  KovUnit *unit = argument_object(py_unit, kov_unit_get_type(), "KovUnit.ControlWidget.set_unit");
  if (unit == NULL) return NULL;
  return PyLong_FromLong(kov_unit_control_widget_set_unit(widget, unit));
}

static PyObject *ControlWidget_get_unit(PyObject *self, PyObject *unused) {
  (void)unused;
  KovUnitControlWidget *widget = wrapped_object(self, kov_unit_control_widget_get_type());
  if (widget == NULL) return NULL;
  return wrap_object(kov_unit_control_widget_get_unit(widget));
}

static PyObject *ControlWidget_set_expanded(PyObject *self, PyObject *args, PyObject *kwargs) {
  static char *kwlist[] = {"expanded", NULL};
  int expanded;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "i:KovUnit.ControlWidget.set_expanded", kwlist,
                                   &expanded))
    return NULL;
  KovUnitControlWidget *widget = wrapped_object(self, kov_unit_control_widget_get_type());
  if (widget == NULL) return NULL;
  kov_unit_control_widget_set_expanded(widget, expanded);
  Py_RETURN_NONE;
}

static PyObject *ControlWidget_detach(PyObject *self, PyObject *unused) {
  (void)unused;
  KovUnitControlWidget *widget = wrapped_object(self, kov_unit_control_widget_get_type());
  if (widget == NULL) return NULL;
  kov_unit_control_widget_detach(widget);
  Py_RETURN_NONE;
}

static PyMethodDef ControlWidget_methods[] = {
    {"set_unit", (PyCFunction)(void (*)(void))ControlWidget_set_unit, METH_VARARGS | METH_KEYWORDS,
     NULL},
    {"get_unit", ControlWidget_get_unit, METH_NOARGS, NULL},
    {"set_expanded", (PyCFunction)(void (*)(void))ControlWidget_set_expanded,
     METH_VARARGS | METH_KEYWORDS, NULL},
    {"detach", ControlWidget_detach, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};

/* ---- DescriptionWidget and ManagerWidget ------------------------------------- */

/* Creates the wrapper's GObject through PyGObject's own initializer, called
 * with no arguments: it makes an object of the wrapper's GType. */
static PyObject *construct(PyObject *self, PyObject *args, PyObject *kwargs, const char *format,
                           const char *failure) {
  static char *kwlist[] = {NULL};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, kwlist)) return NULL;
  PyObject *empty = PyTuple_New(0);
  if (empty == NULL) return NULL;
  int result = PyGObject_Type.tp_init(self, empty, NULL);
  Py_DECREF(empty);
  if (result < 0) return NULL;
  if (pygobject_get(self) == NULL) {
    PyErr_SetString(PyExc_RuntimeError, failure);
    return NULL;
  }
  Py_RETURN_NONE;
}

static PyObject *DescriptionWidget_init(PyObject *self, PyObject *args, PyObject *kwargs) {
  return construct(self, args, kwargs, ":kovkit.gtk.DescriptionWidget.__init__",
                   "could not create kovkit.gtk.DescriptionWidget object");
}

static PyObject *DescriptionWidget_set_manager(PyObject *self, PyObject *args, PyObject *kwargs) {
  static char *kwlist[] = {"manager", NULL};
  PyObject *py_manager;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!:KovUnit.DescriptionWidget.set_manager", kwlist,
                                   ManagerWidget_type, &py_manager))
    return NULL;
  KovUnitDescriptionWidget *widget = wrapped_object(self, kov_unit_description_widget_get_type());
  if (widget == NULL) return NULL;
  KovUnitManagerWidget *manager = argument_object(py_manager, kov_unit_manager_widget_get_type(),
                                                  "KovUnit.DescriptionWidget.set_manager");
  if (manager == NULL) return NULL;
  return PyLong_FromLong(kov_unit_description_widget_set_manager(widget, manager));
}

static PyMethodDef DescriptionWidget_methods[] = {
    {"set_manager", (PyCFunction)(void (*)(void))DescriptionWidget_set_manager,
     METH_VARARGS | METH_KEYWORDS, NULL},
    {NULL, NULL, 0, NULL},
};

static PyObject *ManagerWidget_init(PyObject *self, PyObject *args, PyObject *kwargs) {
  return construct(self, args, kwargs, ":kovkit.gtk.ManagerWidget.__init__",
                   "could not create kovkit.gtk.ManagerWidget object");
}

static PyObject *ManagerWidget_get_selected_description(PyObject *self, PyObject *unused) {
  (void)unused;
  KovUnitManagerWidget *widget = wrapped_object(self, kov_unit_manager_widget_get_type());
  if (widget == NULL) return NULL;
  return wrap_object(kov_unit_manager_widget_get_selected_description(widget));
}

static PyMethodDef ManagerWidget_methods[] = {
    {"get_selected_description", ManagerWidget_get_selected_description, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};

/* Initializers, attached as __init__ so that Python subclasses inherit them. */
static PyMethodDef TreeStore_init_def = {"__init__", (PyCFunction)(void (*)(void))TreeStore_init,
                                         METH_VARARGS | METH_KEYWORDS, NULL};
static PyMethodDef DescriptionWidget_init_def = {
    "__init__", (PyCFunction)(void (*)(void))DescriptionWidget_init, METH_VARARGS | METH_KEYWORDS,
    NULL};
static PyMethodDef ManagerWidget_init_def = {
    "__init__", (PyCFunction)(void (*)(void))ManagerWidget_init, METH_VARARGS | METH_KEYWORDS, NULL};

/* ---- Module functions ----------------------------------------------------------- */

#define GTYPE_FUNCTION(name)                                       \
  static PyObject *py_##name(PyObject *self, PyObject *unused) {   \
    (void)self;                                                    \
    (void)unused;                                                  \
    return pyg_type_wrapper_new(name());                           \
  }

GTYPE_FUNCTION(kov_tree_store_get_type)
GTYPE_FUNCTION(kov_gl_drawing_area_get_type)
GTYPE_FUNCTION(kov_unit_chain_gl_widget_get_type)
GTYPE_FUNCTION(kov_unit_chain_widget_get_type)
GTYPE_FUNCTION(kov_unit_control_widget_get_type)
GTYPE_FUNCTION(kov_unit_description_widget_get_type)
GTYPE_FUNCTION(kov_unit_manager_widget_get_type)
GTYPE_FUNCTION(kov_unit_control_ui_hint_get_type)
GTYPE_FUNCTION(kov_unit_flags_get_type)
GTYPE_FUNCTION(kov_unit_control_type_get_type)

#define GTYPE_ENTRY(name) {#name, py_##name, METH_NOARGS, NULL}

KOVKITGTK_EXPORT PyMethodDef pykovkitgtk_functions[] = {
    GTYPE_ENTRY(kov_tree_store_get_type),
    GTYPE_ENTRY(kov_gl_drawing_area_get_type),
    GTYPE_ENTRY(kov_unit_chain_gl_widget_get_type),
    GTYPE_ENTRY(kov_unit_chain_widget_get_type),
    GTYPE_ENTRY(kov_unit_control_widget_get_type),
    GTYPE_ENTRY(kov_unit_description_widget_get_type),
    GTYPE_ENTRY(kov_unit_manager_widget_get_type),
    GTYPE_ENTRY(kov_unit_control_ui_hint_get_type),
    GTYPE_ENTRY(kov_unit_flags_get_type),
    GTYPE_ENTRY(kov_unit_control_type_get_type),
    {NULL, NULL, 0, NULL},
};

/* ---- Class registration ----------------------------------------------------------- */

/* Imports @module_name into *@module, or sets ImportError @failure. */
static int import_module(const char *module_name, const char *failure, PyObject **module) {
  *module = PyImport_ImportModule(module_name);
  if (*module == NULL) {
    PyErr_Clear();
    PyErr_SetString(PyExc_ImportError, failure);
    return -1;
  }
  return 0;
}

/* Takes attribute @attr of @module into *@out, or sets ImportError
 * "cannot import name <name> from <from>". */
static int import_name(PyObject *module, const char *attr, const char *name, const char *from,
                       PyObject **out) {
  *out = PyObject_GetAttrString(module, attr);
  if (*out == NULL) {
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name %s from %s", name, from);
    return -1;
  }
  return 0;
}

static int import_gtk(PyObject **gtk) {
  PyObject *gi = PyImport_ImportModule("gi");
  if (gi == NULL) goto fail;
  PyObject *result = PyObject_CallMethod(gi, "require_version", "ss", "Gtk", "3.0");
  Py_DECREF(gi);
  if (result == NULL) goto fail;
  Py_DECREF(result);
  *gtk = PyImport_ImportModule("gi.repository.Gtk");
  if (*gtk == NULL) goto fail;
  return 0;
fail:
  PyErr_Clear();
  PyErr_SetString(PyExc_ImportError, "could not import gtk");
  return -1;
}

/* Creates one wrapper class: a subclass of @base made by @base's metaclass,
 * with __gtype__ and __module__ set, the C methods attached, and the class
 * registered as the GType's Python type. Enters it into @d as @name. */
static PyTypeObject *register_class(PyObject *d, const char *name, GType gtype, PyObject *base,
                                    PyMethodDef *methods, PyMethodDef *init) {
  PyObject *bases = Py_BuildValue("(O)", base);
  PyObject *namespace = PyDict_New();
  PyObject *gtype_wrapper = pyg_type_wrapper_new(gtype);
  PyObject *cls = NULL;
  if (bases == NULL || namespace == NULL || gtype_wrapper == NULL) goto done;
  if (PyDict_SetItemString(namespace, "__gtype__", gtype_wrapper) < 0) goto done;
  PyObject *module_name = PyUnicode_FromString(MODULE_NAME);
  if (module_name == NULL) goto done;
  int set = PyDict_SetItemString(namespace, "__module__", module_name);
  Py_DECREF(module_name);
  if (set < 0) goto done;

  cls = PyObject_CallFunction((PyObject *)Py_TYPE(base), "sOO", name, bases, namespace);
  if (cls == NULL) goto done;
  for (PyMethodDef *m = methods; m != NULL && m->ml_name != NULL; ++m) {
    PyObject *descr = PyDescr_NewMethod((PyTypeObject *)cls, m);
    if (descr == NULL || PyObject_SetAttrString(cls, m->ml_name, descr) < 0) {
      Py_XDECREF(descr);
      Py_CLEAR(cls);
      goto done;
    }
    Py_DECREF(descr);
  }
  if (init != NULL) {
    PyObject *descr = PyDescr_NewMethod((PyTypeObject *)cls, init);
    if (descr == NULL || PyObject_SetAttrString(cls, "__init__", descr) < 0) {
      Py_XDECREF(descr);
      Py_CLEAR(cls);
      goto done;
    }
    Py_DECREF(descr);
  }
  /* pygobject_new now wraps objects of this GType in the class. */
  if (PyObject_SetAttrString(gtype_wrapper, "pytype", cls) < 0 ||
      PyDict_SetItemString(d, name, cls) < 0) {
    Py_CLEAR(cls);
    goto done;
  }
done:
  Py_XDECREF(bases);
  Py_XDECREF(namespace);
  Py_XDECREF(gtype_wrapper);
  if (cls == NULL && !PyErr_Occurred())
    PyErr_Format(PyExc_ImportError, "could not register %s.%s", MODULE_NAME, name);
  /* The module keeps the class for the life of the process. */
  return (PyTypeObject *)cls;
}

void pykovkitgtk_register_classes(PyObject *d) {
  PyObject *module;

  if (import_module("gi.repository.GObject", "could not import gobject", &module) < 0) return;
  int failed = import_name(module, "Object", "GObject", "gobject", &GObject_class);
  Py_DECREF(module);
  if (failed) return;

  if (import_gtk(&module) < 0) return;
  failed = import_name(module, "DrawingArea", "DrawingArea", "gtk", &DrawingArea_class) ||
           import_name(module, "TreeStore", "TreeStore", "gtk", &TreeStore_class) ||
           import_name(module, "TreeView", "TreeView", "gtk", &TreeView_class) ||
           import_name(module, "TextView", "TextView", "gtk", &TextView_class) ||
           import_name(module, "VBox", "VBox", "gtk", &VBox_class) ||
           import_name(module, "EventBox", "EventBox", "gtk", &EventBox_class);
  Py_DECREF(module);
  if (failed) return;

  if (import_module("kovkit", "could not import kovkit", &module) < 0) return;
  failed = import_name(module, "Unit", "Unit", "kovkit", &Unit_class) ||
           import_name(module, "Chain", "Chain", "kovkit", &Chain_class) ||
           import_name(module, "GInitiallyUnowned", "GInitiallyUnowned", "kovkit",
                       &GInitiallyUnowned_class);
  Py_DECREF(module);
  if (failed) return;
  if (!PyType_Check(Unit_class) || !PyType_Check(Chain_class)) {
    PyErr_SetString(PyExc_ImportError, "kovkit.Unit and kovkit.Chain must be classes");
    return;
  }

  if ((GLDrawingArea_type = register_class(d, "GLDrawingArea", kov_gl_drawing_area_get_type(),
                                           DrawingArea_class, GLDrawingArea_methods, NULL)) == NULL)
    return;
  if ((TreeStore_type = register_class(d, "TreeStore", kov_tree_store_get_type(), TreeStore_class,
                                       TreeStore_methods, &TreeStore_init_def)) == NULL)
    return;
  if ((ChainGLWidget_type = register_class(d, "ChainGLWidget", kov_unit_chain_gl_widget_get_type(),
                                           VBox_class, ChainGLWidget_methods, NULL)) == NULL)
    return;
  if ((ChainWidget_type = register_class(d, "ChainWidget", kov_unit_chain_widget_get_type(),
                                         EventBox_class, ChainWidget_methods, NULL)) == NULL)
    return;
  if ((ControlWidget_type = register_class(d, "ControlWidget", kov_unit_control_widget_get_type(),
                                           EventBox_class, ControlWidget_methods, NULL)) == NULL)
    return;
  if ((DescriptionWidget_type =
           register_class(d, "DescriptionWidget", kov_unit_description_widget_get_type(),
                          TextView_class, DescriptionWidget_methods, &DescriptionWidget_init_def)) ==
      NULL)
    return;
  ManagerWidget_type = register_class(d, "ManagerWidget", kov_unit_manager_widget_get_type(),
                                      TreeView_class, ManagerWidget_methods, &ManagerWidget_init_def);
}

/* ---- Start-up ------------------------------------------------------------------------ */

/* Attaches to PyGObject: imports gi._gobject, takes its function table and
 * checks its version. Returns the module (kept for the life of the process),
 * or NULL with ImportError set. */
static PyObject *attach_pygobject(void) {
  PyObject *gobject = PyImport_ImportModule("gi._gobject");
  if (gobject == NULL) {
    if (PyErr_Occurred()) {
      PyObject *type, *value, *traceback;
      PyErr_Fetch(&type, &value, &traceback);
      PyObject *repr = PyObject_Repr(value);
      Py_XDECREF(type);
      Py_XDECREF(value);
      Py_XDECREF(traceback);
      if (repr == NULL) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ImportError, "could not import gobject (error was: ?)");
      } else {
        PyErr_Format(PyExc_ImportError, "could not import gobject (error was: %U)", repr);
        Py_DECREF(repr);
      }
    } else {
      PyErr_SetString(PyExc_ImportError, "could not import gobject (no error given)");
    }
    return NULL;
  }

  PyObject *api = PyObject_GetAttrString(gobject, "_PyGObject_API");
  void *table = NULL;
  if (api != NULL && PyCapsule_CheckExact(api))
    table = PyCapsule_GetPointer(api, "gobject._PyGObject_API");
  Py_XDECREF(api);
  if (table == NULL) {
    PyErr_Clear();
    PyErr_SetString(PyExc_ImportError,
                    "could not import gobject (could not find _PyGObject_API object)");
    Py_DECREF(gobject);
    return NULL;
  }

  PyObject *version = PyObject_GetAttrString(gobject, "pygobject_version");
  if (version == NULL) {
    PyErr_Clear();
    version = PyObject_GetAttrString(gobject, "pygtk_version");
  }
  if (version == NULL) {
    PyErr_Clear();
    PyErr_SetString(PyExc_ImportError, "could not import gobject (version too old)");
    Py_DECREF(gobject);
    return NULL;
  }
  int major, minor, micro;
  if (!PyTuple_Check(version) || !PyArg_ParseTuple(version, "iii", &major, &minor, &micro)) {
    PyErr_Clear();
    PyErr_SetString(PyExc_ImportError, "could not import gobject (version has invalid format)");
    Py_DECREF(version);
    Py_DECREF(gobject);
    return NULL;
  }
  Py_DECREF(version);
  if (major != REQUIRED_MAJOR || minor < REQUIRED_MINOR ||
      (minor == REQUIRED_MINOR && micro < REQUIRED_MICRO)) {
    PyErr_Format(PyExc_ImportError,
                 "could not import gobject (version mismatch, %d.%d.%d is required, found %d.%d.%d)",
                 REQUIRED_MAJOR, REQUIRED_MINOR, REQUIRED_MICRO, major, minor, micro);
    Py_DECREF(gobject);
    return NULL;
  }
  _PyGObject_API = table;
  return gobject;
}

static struct PyModuleDef kovkitgtk_module = {
    PyModuleDef_HEAD_INIT, "_kovkitgtk", NULL, -1, pykovkitgtk_functions, NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit__kovkitgtk(void) {
  gobject_module = attach_pygobject();
  if (gobject_module == NULL) return NULL;
  /* The services this module reaches through PyGObject's table. */
  if (_PyGObject_API->type_wrapper_new == NULL || _PyGObject_API->newgobj == NULL ||
      _PyGObject_API->object_type == NULL || _PyGObject_API->object_type->tp_init == NULL) {
    PyErr_SetString(PyExc_ImportError,
                    "could not import gobject (could not find _PyGObject_API object)");
    return NULL;
  }

  PyObject *module = PyModule_Create(&kovkitgtk_module);
  if (module == NULL) return NULL;
  pykovkitgtk_register_classes(PyModule_GetDict(module));
  if (PyErr_Occurred()) {
    Py_DECREF(module);
    return NULL;
  }
  return module;
}
