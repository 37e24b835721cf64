# SPDX-License-Identifier: LGPL-2.1-or-later
"""A unit's controls as a mapping of Python values: unit.controls["tiling"].

Reading gives bool, int, float or str by the control's kind; an enum control
reads as an EnumValue, an int that also has the entry's .name. Setting goes
through the framework's checks (type, range, step grid, enum entries, the
unit's own refusal); a refused value raises kovkit.Error with the framework's
message. A str sets any kind of control as chain text would ("true", "2",
"RGGB").
"""

import collections.abc
import math
import numbers
import operator

from gi.repository import GLib, Kovkit

from .error import Error

_Type = Kovkit.UnitControlType
_INT_MIN, _INT_MAX = -2 ** 31, 2 ** 31 - 1
# Beyond this a float has no single-precision value: it is passed on as
# infinity, which the framework's range check refuses with its message.
_FLOAT_MAX = 3.4028234663852886e38


class EnumValue(int):
    """The value of an enum control: an int with the entry's name."""

    def __new__(cls, value, name):
        self = super().__new__(cls, value)
        self.name = name
        return self

    def __repr__(self):
        return "EnumValue(%d, %r)" % (int(self), self.name)


def _integral(value):
    """value as an int when it is a whole number, else None."""
    try:
        return operator.index(value)
    except TypeError:
        pass
    if isinstance(value, numbers.Real) and math.isfinite(value) and float(value).is_integer():
        return int(value)
    return None


def _describe(control):
    unit = control.get_unit()
    return '%s: control "%s"' % (unit.get_id() or unit.get_name(), control.get_id())


def get_value(control):
    """The control's current value as a Python value."""
    kind = control.get_control_type()
    if kind == _Type.BOOLEAN:
        return control.get_boolean()
    if kind == _Type.INT:
        return control.get_int()
    if kind == _Type.FLOAT:
        return control.get_float()
    if kind == _Type.ENUM:
        value = control.get_enum()
        names = [e.nick for e in control.get_enum_entries() if e.value == value]
        return EnumValue(value, names[0] if names else None)
    if kind == _Type.STRING:
        return control.dup_string()
    return None


def set_value(control, value):
    """Sets the control from a Python value; kovkit.Error when the framework
    refuses it, TypeError for a value of the wrong kind."""
    kind = control.get_control_type()
    try:
        if isinstance(value, str):
            control.set_from_string(value)
            return
        if kind == _Type.BOOLEAN:
            number = _integral(value)
            if number not in (0, 1):
                raise TypeError("%s takes a bool, not %r" % (_describe(control), value))
            control.set_boolean(bool(number))
        elif kind in (_Type.INT, _Type.ENUM):
            number = _integral(value)
            if number is None or isinstance(value, bool):
                raise TypeError("%s takes an int, not %r" % (_describe(control), value))
            if not _INT_MIN <= number <= _INT_MAX:
                raise ValueError("%s takes a 32-bit int, not %d" % (_describe(control), number))
            (control.set_int if kind == _Type.INT else control.set_enum)(number)
        elif kind == _Type.FLOAT:
            if not isinstance(value, numbers.Real) or isinstance(value, bool):
                raise TypeError("%s takes a float, not %r" % (_describe(control), value))
            number = float(value)
            if abs(number) > _FLOAT_MAX:
                number = math.copysign(math.inf, number)
            control.set_float(number)
        elif kind == _Type.STRING:
            raise TypeError("%s takes a str, not %r" % (_describe(control), value))
        else:
            control.set_from_string(str(value))
    except GLib.Error as error:
        raise Error.from_glib(error) from None


class Controls(collections.abc.Mapping):
    """The controls of one unit by id, as Python values (unit.controls).

    controls[id] reads a value, controls[id] = value sets it (kovkit.Error
    when refused), iteration gives the ids in the unit's order; an unknown
    id raises KeyError. controls.update(...) sets several in turn.
    """

    __slots__ = ("unit",)

    def __init__(self, unit):
        self.unit = unit

    def control(self, control_id):
        """The Kovkit.UnitControl of that id (KeyError when there is none)."""
        control = self.unit.find_control(control_id) if isinstance(control_id, str) else None
        if control is None:
            raise KeyError(control_id)
        return control

    def __getitem__(self, control_id):
        return get_value(self.control(control_id))

    def __setitem__(self, control_id, value):
        set_value(self.control(control_id), value)

    def update(self, *values, **keywords):
        for key, value in dict(*values, **keywords).items():
            self[key] = value

    def __iter__(self):
        return iter([c.get_id() for c in self.unit.get_controls()])

    def __len__(self):
        return len(self.unit.get_controls())

    def __contains__(self, control_id):
        return isinstance(control_id, str) and self.unit.find_control(control_id) is not None

    def __repr__(self):
        return "<controls of %s: %s>" % (self.unit.get_id(), dict(self))
