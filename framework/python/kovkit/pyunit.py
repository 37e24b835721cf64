# SPDX-License-Identifier: LGPL-2.1-or-later
"""Units written in Python.

A subclass of PythonUnit names its unit (id = "py.invert"), the formats it
accepts and gives, and its controls; register(cls) makes the id usable in
chain text, beside the C units:

    class Invert(kovkit.PythonUnit):
        id = "py.invert"
        accepts = ("GREY", "RGB3")
        enabled = kovkit.BoolControl(default=True)

        def process(self, frame):
            return 255 - frame.array if self.enabled else frame.array

    kovkit.register(Invert)
    chain.load_from_str("input.testsrc format=GREY ! py.invert enabled=false")

process(frame) gets a kovkit.Frame (its .array a read-only NumPy view of the
frame's bytes, .metadata, .format, .timestamp) and returns a NumPy array for
the output frame, or None to drop the frame. An array that is the input frame's own bytes (frame.array itself)
passes the frame on as it is; any other array is copied into a frame of the
unit's frame pool, which carries the input frame's timestamp and metadata.
The array must have the output format's shape and dtype: (height, width, 3)
for RGB3/BGR3, (height, width, 4) for RGB4/BGR4, (height, width) for GREY and
the Bayer formats (uint8), LG16 (uint16) and FG32 (float32), and one flat
uint8 dimension for MJPG and the YUV formats.

Controls are class attributes; they become the unit's controls (settable in
chain text and in the control widget) and read as their current value on the
instance (self.enabled). Assigning to one sets the unit's control, checked as
any other change. The control id is the attribute name with "_" turned into
"-" unless id= is given.

process() runs on the thread that drives the chain, holding the GIL. An
exception in it drops that frame: the first one's traceback is printed, later
ones are counted and reported when the unit stops.
"""

__all__ = ["PythonUnit", "register", "BoolControl", "IntControl", "FloatControl",
           "EnumControl", "StringControl"]


class Control:
    """A declared control; a descriptor that reads and sets the unit's value."""

    kind = None

    def __init__(self, default, label=None, id=None):
        self.default = default
        self.label = label
        self.id = id
        self.name = None

    def __set_name__(self, owner, name):
        self.name = name
        if self.id is None:
            self.id = name.replace("_", "-")
        if self.label is None:
            self.label = name.replace("_", " ").capitalize()

    def __get__(self, instance, owner=None):
        if instance is None:
            return self
        return instance._kov_handle.get(self.id)

    def __set__(self, instance, value):
        instance._kov_handle.set(self.id, value)

    def declaration(self):
        return (self.kind, self.id, self.label, self.default)


class BoolControl(Control):
    kind = "bool"

    def __init__(self, default=False, label=None, id=None):
        super().__init__(bool(default), label, id)


class IntControl(Control):
    kind = "int"

    def __init__(self, default=0, minimum=0, maximum=100, step=1, label=None, id=None):
        super().__init__(int(default), label, id)
        self.minimum, self.maximum, self.step = int(minimum), int(maximum), int(step)
        if not self.minimum <= self.default <= self.maximum or self.step < 1:
            raise ValueError("IntControl: default %d outside %d..%d, or step %d below 1"
                             % (self.default, self.minimum, self.maximum, self.step))

    def declaration(self):
        return super().declaration() + (self.minimum, self.maximum, self.step)


class FloatControl(Control):
    kind = "float"

    def __init__(self, default=0.0, minimum=0.0, maximum=1.0, step=0.0, label=None, id=None):
        super().__init__(float(default), label, id)
        self.minimum, self.maximum, self.step = float(minimum), float(maximum), float(step)
        if not self.minimum <= self.default <= self.maximum or self.step < 0:
            raise ValueError("FloatControl: default %g outside %g..%g, or step %g below 0"
                             % (self.default, self.minimum, self.maximum, self.step))

    def declaration(self):
        return super().declaration() + (self.minimum, self.maximum, self.step)


class EnumControl(Control):
    """entries: the names, numbered from 0, or a dict of name to value. The
    value reads as the entry's name."""

    kind = "enum"

    def __init__(self, entries, default=None, label=None, id=None):
        if isinstance(entries, dict):
            pairs = tuple((int(v), str(k)) for k, v in entries.items())
        else:
            pairs = tuple((i, str(k)) for i, k in enumerate(entries))
        if not pairs:
            raise ValueError("EnumControl needs at least one entry")
        if default is None:
            default = pairs[0][1]
        values = [v for v, k in pairs if k == default or v == default]
        if not values:
            raise ValueError("EnumControl: default %r is not an entry" % (default,))
        super().__init__(values[0], label, id)
        self.entries = pairs

    def declaration(self):
        return super().declaration() + (self.entries,)


class StringControl(Control):
    kind = "string"

    def __init__(self, default="", label=None, id=None):
        super().__init__(str(default), label, id)


class PythonUnit:
    """Base class of units written in Python; see the module's description."""

    id = None       # "package.name"
    label = None    # shown in the unit lists; the class name when None
    accepts = ()    # input format codes; empty accepts any
    gives = None    # output format codes offered; None: the input's format

    def process(self, frame):
        """The output array for one frame, or None to drop it."""
        return frame.array

    @property
    def unit(self):
        """The Kovkit.Unit this instance works for (None once it is gone)."""
        return self._kov_handle.gobject()


def _controls_of(cls):
    seen = {}
    for klass in reversed(cls.__mro__):
        for value in vars(klass).values():
            if isinstance(value, Control):
                seen[value.id] = value
    return tuple(c.declaration() for c in seen.values())


def _codes(value):
    if value is None:
        return ()
    if isinstance(value, str):
        return (value,)
    return value


def _factory(cls):
    def make(handle):
        instance = cls.__new__(cls)
        instance._kov_handle = handle
        instance.__init__()
        return instance
    return make


def register(cls):
    """Makes cls.id usable in chain text in this process; returns cls, so
    that it serves as a class decorator."""
    if not (isinstance(cls, type) and issubclass(cls, PythonUnit)):
        raise TypeError("register() takes a subclass of kovkit.PythonUnit")
    if not isinstance(cls.id, str):
        raise ValueError("%s has no id (\"package.name\")" % cls.__name__)
    # The engine (and NumPy) load with the first registration, not with the
    # package.
    from . import _pyunit
    _pyunit.register(cls.id, cls.label or cls.__name__, _factory(cls), _controls_of(cls),
                     _codes(cls.accepts), _codes(cls.gives))
    return cls
