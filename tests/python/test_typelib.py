# SPDX-License-Identifier: LGPL-2.1-or-later
"""libkovkit's enum and flags GTypes beside the ones _kovkitgtk registers for
the same enumerations, and the widgets through their typelib (KovkitGtk)."""

from gi.repository import GObject

import kovkit
from conftest import run_python


def members(gtype):
    """{value: (name, nick)} of an enum or flags GType."""
    import gi._gi as gi_internal
    if gtype.is_a(GObject.TYPE_FLAGS):
        table = gi_internal.flags_add(gtype).__flags_values__
        return {v: (f.first_value_name, f.first_value_nick) for v, f in table.items()}
    table = gi_internal.enum_add(gtype).__enum_values__
    return {v: (e.value_name, e.value_nick) for v, e in table.items()}


def names(gtype):
    return {value: name for value, (name, nick) in members(gtype).items()}


def test_library_enum_types_agree_with_the_module(kg):
    Kovkit = kovkit.Kovkit
    for library_type, module_type, gtype_name, first in [
            (Kovkit.UnitFlags, kg.kov_unit_flags_get_type(), "KovkitUnitFlags",
             (0x4, "KOV_UNIT_RENDERS_GL", "renders-gl")),
            (Kovkit.UnitControlUIHint, kg.kov_unit_control_ui_hint_get_type(),
             "KovkitUnitControlUIHint", (0x2, "KOV_UNIT_CONTROL_CHECK_BOX", "check-box")),
            (Kovkit.UnitControlType, kg.kov_unit_control_type_get_type(),
             "KovkitUnitControlType", (0, "KOV_UNIT_CONTROL_TYPE_INVALID", "invalid"))]:
        gtype = library_type.__gtype__
        assert gtype.name == gtype_name and gtype != module_type
        assert gtype.fundamental == module_type.fundamental
        # Same values under the same names; the nicks are the library's own.
        assert names(gtype) == names(module_type)
        value, name, nick = first
        assert members(gtype)[value] == (name, nick)
    assert sorted(members(Kovkit.UnitFlags.__gtype__)) == [0x4, 0x20, 0x40]


def test_widgets_through_the_typelib():
    # A child process: the module registers Python classes for the same
    # GTypes, which this process has already imported.
    result = run_python("""if True:
        import gi
        gi.require_version("Gtk", "3.0")
        import kovkit
        gi.require_version("KovkitGtk", "6.0")
        from gi.repository import Gtk, KovkitGtk
        widget = KovkitGtk.UnitChainWidget.new()
        assert isinstance(widget, Gtk.EventBox)
        chain = kovkit.Chain.new()
        assert widget.set_chain(chain) == 0 and widget.get_chain() == chain
        assert widget.find_unit_by_id("none") is None
        window = Gtk.Window()
        window.add(widget)
        window.show_all()
        while Gtk.events_pending():
            Gtk.main_iteration()
        window.destroy()
        print(type(widget).__name__)
        """)
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout == "UnitChainWidget\n"
