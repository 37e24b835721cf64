# SPDX-License-Identifier: LGPL-2.1-or-later
"""Methods of the wrapper classes: argument parsing, results, the chain GL
widget's own logic (chain loading, start and stop, redraw on frames), the
control widget's live rows and the enumeration types."""

import re
import time

import gi
import pytest

gi.require_version("Gtk", "3.0")
gi.require_version("GdkPixbuf", "2.0")
from gi.repository import GdkPixbuf, GLib, GObject, Gtk  # noqa: E402

import kovkit  # noqa: E402
from conftest import run_python  # noqa: E402
import kovkit.gtk as kg  # noqa: E402


def address(obj):
    """The address of the GObject a wrapper holds, as C's %p prints it."""
    return re.search(r"\(\w+ at (0x[0-9a-f]+)\)", repr(obj)).group(1)


def until_frames(chain, count, limit=5.0):
    """Runs the chain until its last unit produced count more frames."""
    seen = []
    handler = chain.connect("frame-ready", lambda *args: seen.append(1))
    deadline = time.monotonic() + limit
    try:
        while len(seen) < count and time.monotonic() < deadline:
            due = chain.iterate()
            time.sleep(max(0, min(0.005, (due - kovkit.Kovkit.time_now()) / 1e6)))
    finally:
        chain.disconnect(handler)
    assert len(seen) == count
    return count


@pytest.fixture
def counted():
    """A chain GL widget and the list of its redraw requests."""
    widget = kg.ChainGLWidget()
    requests = []
    widget.connect("redraw-requested", lambda _w: requests.append(1))
    yield widget, requests
    if widget.get_chain() is not None:
        widget.get_chain().all_units_stream_shutdown()


# ChainGLWidget ----------------------------------------------------------------


def test_set_chain_by_position_and_by_keyword(counted):
    widget, _ = counted
    first, second = kovkit.Chain(), kovkit.Chain()
    assert widget.set_chain(first) == 0
    assert widget.get_chain() is first
    assert widget.set_chain(chain=second) == 0
    assert widget.get_chain() is second


@pytest.mark.parametrize("call, message", [
    (lambda w: w.set_chain(kg.ChainWidget()),
     "ChainGLWidget.set_chain() argument 1 must be UnitChain, not ChainWidget"),
    (lambda w: w.set_chain(None), "ChainGLWidget.set_chain() argument 1 must be UnitChain, not None"),
    (lambda w: w.set_chain(), "ChainGLWidget.set_chain() missing required argument 'chain' (pos 1)"),
    (lambda w: w.set_chain(kovkit.Chain(), 2), "ChainGLWidget.set_chain() takes at most 1 argument (2 given)"),
    (lambda w: w.set_chain(chan=kovkit.Chain()),
     "ChainGLWidget.set_chain() missing required argument 'chain' (pos 1)"),
    (lambda w: w.set_active(), "ChainGLWidget.set_active() takes exactly 1 argument (0 given)"),
    (lambda w: w.set_active(1, 2), "ChainGLWidget.set_active() takes exactly 1 argument (2 given)"),
    (lambda w: w.set_active(flag=1), "ChainGLWidget.set_active() takes no keyword arguments"),
    (lambda w: w.set_active("1"), "'str' object cannot be interpreted as an integer"),
    (lambda w: w.load_from_str(3), "ChainGLWidget.load_from_str() argument 1 must be str, not int"),
    (lambda w: w.load_from_str(), "ChainGLWidget.load_from_str() takes exactly 1 argument (0 given)"),
    (lambda w: w.get_chain(1), "ChainGLWidget.get_chain() takes no arguments (1 given)"),
])
def test_wrong_arguments_are_refused_by_the_parser(counted, call, message, capfd):
    widget, _ = counted
    with pytest.raises(TypeError) as error:
        call(widget)
    assert str(error.value) == message
    assert capfd.readouterr().out == ""  # set_active prints only after parsing


def test_set_active_without_chain_prints_the_line_and_fails(counted, capfd):
    widget, _ = counted
    with pytest.raises(RuntimeError, match=r"^Widget has no chain assigned$"):
        widget.set_active(1)
    assert capfd.readouterr().out == "Active: 1; Widget: %s; Chain: (nil)\n" % address(widget)
    with pytest.raises(RuntimeError, match=r"^Widget has no chain assigned$"):
        widget.set_active(0)
    assert capfd.readouterr().out == "Active: 0; Widget: %s; Chain: (nil)\n" % address(widget)


def test_load_from_str_creates_assigns_and_keeps_a_chain(counted):
    widget, _ = counted
    assert widget.get_chain() is None
    widget.load_from_str("input.example ! output.opengl")
    chain = widget.get_chain()
    assert isinstance(chain, kovkit.Chain)
    assert [u.get_id() for u in chain.get_units()] == ["input.example", "output.opengl"]
    widget.load_from_str("input.example")
    assert widget.get_chain() is chain
    assert [u.get_id() for u in chain.get_units()] == ["input.example"]


@pytest.mark.parametrize("text", ["input.example ! no.such_unit", "input.example enum=7",
                                  "input.example nosuch=1", "! !", "input.example ! util.flip flip-h=maybe"])
def test_bad_description_raises_the_frameworks_message(counted, text):
    widget, _ = counted
    with pytest.raises(GLib.Error) as expected:
        kovkit.Chain().load_from_str(text)
    with pytest.raises(RuntimeError) as error:
        widget.load_from_str(text)
    assert str(error.value) == expected.value.message
    assert widget.get_chain() is not None  # the chain made before the failure stays


def test_set_active_starts_and_stops_the_chain(counted, capfd):
    widget, _ = counted
    widget.load_from_str("input.example ! output.opengl")
    chain = widget.get_chain()
    capfd.readouterr()
    widget.set_active(1)
    assert capfd.readouterr().out == "Active: 1; Widget: %s; Chain: %s\n" % (address(widget), address(chain))
    assert chain.is_streaming()
    widget.set_active(0)
    assert capfd.readouterr().out == "Active: 0; Widget: %s; Chain: %s\n" % (address(widget), address(chain))
    assert not chain.is_streaming()


def test_redraw_follows_frame_ready_once_per_connection(counted):
    widget, requests = counted
    widget.load_from_str("input.example enum=3 ! output.opengl")
    chain = widget.get_chain()
    widget.set_active(1)
    frames = until_frames(chain, 3)
    assert len(requests) == frames
    # Linking the same chain again adds a second connection.
    assert widget.set_chain(chain) == 0
    requests.clear()
    frames = until_frames(chain, 2)
    assert len(requests) == 2 * frames


def test_request_redraw_and_set_context(counted):
    widget, requests = counted
    widget.request_redraw()
    assert len(requests) == 1
    assert widget.set_context() is None


def test_frames_after_the_widget_is_gone_are_harmless():
    widget = kg.ChainGLWidget()
    widget.load_from_str("input.example enum=3")
    chain = widget.get_chain()
    widget.set_active(1)
    widget.destroy()
    del widget
    until_frames(chain, 2)  # the redraw connections went with the widget
    chain.all_units_stream_shutdown()


def test_main_loop_runs_a_started_chain_and_redraws(counted):
    widget, requests = counted
    window = Gtk.Window()
    window.add(widget)
    window.show_all()
    widget.load_from_str("input.example enum=3 ! output.opengl")
    widget.set_active(1)
    context = GLib.MainContext.default()
    deadline = time.monotonic() + 10
    while len(requests) < 3 and time.monotonic() < deadline:
        context.iteration(False)
        time.sleep(0.002)
    assert len(requests) >= 3
    widget.set_active(0)
    window.destroy()


def test_main_loop_reports_the_chains_errors_and_its_end(counted, tmp_path):
    widget, requests = counted
    pixbuf = GdkPixbuf.Pixbuf.new(GdkPixbuf.Colorspace.RGB, False, 8, 4, 2)
    for i in range(3):
        pixbuf.savev(str(tmp_path / ("%d.png" % i)), "png", [], [])
    (tmp_path / "plain").write_bytes(b"x")
    widget.load_from_str("input.file location=%s/%%d.png ! output.file location=%s/plain/%%d.png"
                         % (tmp_path, tmp_path))
    events, loop = [], GLib.MainLoop()
    chain = widget.get_chain()
    chain.connect("error", lambda _c, unit, error: events.append((unit.get_id(), error.message)))
    chain.connect("eos", lambda _c: (events.append("eos"), loop.quit()))
    GLib.timeout_add_seconds(20, loop.quit)
    widget.set_active(1)
    loop.run()
    assert events == [("output.file", 'cannot create folder "%s/plain": Not a directory' % tmp_path),
                      "eos"]
    assert len(requests) == 3 and chain.is_eos()
    widget.set_active(0)


# Wrappers whose object was never made -----------------------------------------


class Lazy(kg.ChainGLWidget):
    def __init__(self):  # does not chain up: no GObject
        pass


@pytest.mark.parametrize("call", [lambda w: w.get_chain(), lambda w: w.set_active(1),
                                  lambda w: w.load_from_str("input.example"),
                                  lambda w: w.set_chain(kovkit.Chain()), lambda w: w.request_redraw()])
def test_methods_of_an_uninitialised_subclass_raise(call, capfd):
    lazy = Lazy()
    with pytest.raises(TypeError, match=r"^object at 0x[0-9a-f]+ of type Lazy is not initialized$"):
        call(lazy)
    assert capfd.readouterr().out == ""


def test_uninitialised_chain_argument_is_refused(counted):
    widget, _ = counted

    class LazyChain(kovkit.Chain):
        def __init__(self):
            pass

    with pytest.raises(TypeError, match="wraps no KovUnitChain object"):
        widget.set_chain(LazyChain())


# GLDrawingArea ----------------------------------------------------------------


def test_gl_drawing_area_methods():
    area = kg.GLDrawingArea()
    assert area.set_context() == 0
    assert area.set_vblank_sync(0) is None
    assert area.set_vblank_sync(vblank_sync=1) is None
    assert area.swap_buffers() is None
    assert area.invalidate() is None
    with pytest.raises(TypeError, match="^Kov.GLDrawingArea.set_vblank_sync\\(\\) takes at most 1"):
        area.set_vblank_sync(1, 2)


def test_chain_gl_widget_contains_its_drawing_area():
    (child,) = kg.ChainGLWidget().get_children()
    assert type(child) is kg.GLDrawingArea


# TreeStore ----------------------------------------------------------------------


def test_tree_store_is_abstract():
    with pytest.raises(NotImplementedError) as error:
        kg.TreeStore()
    assert str(error.value) == "kovkit.gtk.TreeStore is an abstract widget"


def test_tree_store_subclass_gets_its_own_name_cut_to_511_characters():
    class MyStore(kg.TreeStore):
        pass

    with pytest.raises(NotImplementedError) as error:
        MyStore(1, x=2)
    assert str(error.value) == (
        "test_methods.test_tree_store_subclass_gets_its_own_name_cut_to_511_characters."
        "<locals>.MyStore is an abstract widget")

    Long = type("L" * 600, (kg.TreeStore,), {"__module__": "m"})
    with pytest.raises(NotImplementedError) as error:
        Long()
    assert str(error.value) == ("m." + "L" * 600)[:511]


def test_manager_model_is_a_tree_store_with_draggable_unit_rows():
    manager = kg.ManagerWidget()
    store = manager.get_model()
    assert type(store) is kg.TreeStore
    package, unit = Gtk.TreePath.new_first(), Gtk.TreePath.new_from_string("0:0")
    assert (store.row_draggable(package), store.row_draggable(unit)) == (False, True)
    assert store.set_draggable_col(col=-1) is None
    assert (store.row_draggable(package), store.row_draggable(unit)) == (True, True)
    store.set_draggable_col(3)
    assert (store.row_draggable(package), store.row_draggable(unit)) == (False, True)
    with pytest.raises(TypeError, match=r"^Kov.TreeStore.set_draggable_col\(\) missing required argument 'col' \(pos 1\)$"):
        store.set_draggable_col()


@pytest.mark.parametrize("col", [0, 4, 99])
def test_tree_store_refuses_a_column_that_is_not_boolean(col):
    code = """if True:
        import kovkit.gtk as kg
        from gi.repository import Gtk
        store = kg.ManagerWidget().get_model()
        store.set_draggable_col(%d)
        print(store.row_draggable(Gtk.TreePath.new_first()))
    """ % col
    result = run_python(code)
    assert result.stdout == "False\n"  # the boolean column stays in force
    assert ("kov_tree_store_set_draggable_col: column %d is not a boolean column" % col) in result.stderr


# ChainWidget ----------------------------------------------------------------------


def test_chain_widget_finds_units_by_id():
    chain = kovkit.Chain()
    chain.load_from_str("input.example ! util.flip ! output.opengl")
    widget = kg.ChainWidget()
    assert widget.find_unit_by_id("util.flip") is None  # no chain yet
    assert widget.set_chain(chain) == 0
    assert widget.set_chain(chain=chain) == 0
    unit = widget.find_unit_by_id("util.flip")
    assert isinstance(unit, kovkit.Unit) and unit.get_id() == "util.flip"
    assert widget.find_unit_by_id(unit_id="output.opengl").get_id() == "output.opengl"
    assert widget.find_unit_by_id("no.such") is None
    with pytest.raises(TypeError, match=r"^KovUnit.ChainWidget.find_unit_by_id\(\) argument 1 must be str, not int$"):
        widget.find_unit_by_id(5)
    with pytest.raises(TypeError, match=r"^KovUnit.ChainWidget.set_chain\(\) argument 1 must be UnitChain, not KovConvertFlip$"):
        widget.set_chain(unit)


def test_chain_widget_selection_emits_unit_selected():
    chain = kovkit.Chain()
    chain.load_from_str("input.example ! util.flip")
    widget = kg.ChainWidget()
    widget.set_chain(chain)
    selected = []
    widget.connect("unit-selected", lambda _w, unit: selected.append(unit.get_id()))
    (listbox,) = widget.get_children()
    listbox.select_row(listbox.get_row_at_index(1))
    assert selected == ["util.flip"]


# ControlWidget ----------------------------------------------------------------------


def editors(widget):
    """The control widget's editors by control id."""
    (expander,) = widget.get_children()
    grid = expander.get_child()
    return {child.get_name(): child for child in grid.get_children()
            if not isinstance(child, Gtk.Label)}


@pytest.fixture
def example_unit():
    chain = kovkit.Chain()
    chain.load_from_str("input.example")
    return chain.get_units()[0]


def test_control_widget_unit_and_arguments(example_unit):
    widget = kg.ControlWidget()
    assert widget.get_unit() is None
    assert widget.set_unit(example_unit) == 0
    assert widget.get_unit() is example_unit
    assert widget.set_unit(unit=example_unit) == 0
    assert widget.set_expanded(0) is None
    assert widget.set_expanded(expanded=1) is None
    with pytest.raises(TypeError, match=r"^KovUnit.ControlWidget.set_unit\(\) argument 1 must be Unit, not UnitChain$"):
        widget.set_unit(kovkit.Chain())
    widget.detach()
    assert widget.get_unit() is None
    assert editors(widget) == {}


def test_control_widget_rows_follow_the_controls(example_unit):
    widget = kg.ControlWidget()
    widget.set_unit(example_unit)
    rows = editors(widget)
    assert sorted(rows) == ["boolean", "enum", "int1", "int2"]
    assert isinstance(rows["boolean"], Gtk.CheckButton)
    assert isinstance(rows["enum"], Gtk.ComboBoxText)
    assert isinstance(rows["int1"], Gtk.SpinButton)
    assert rows["int1"].get_value() == 50
    assert rows["enum"].get_active_id() == "0"

    # A change made elsewhere shows at once.
    example_unit.find_control("int1").set_int(20)
    assert rows["int1"].get_value() == 20
    example_unit.find_control("enum").set_enum(3)
    assert rows["enum"].get_active_id() == "3"


def test_control_widget_changes_go_through_the_framework(example_unit):
    widget = kg.ControlWidget()
    widget.set_unit(example_unit)
    rows = editors(widget)
    int1 = example_unit.find_control("int1")

    rows["int1"].set_value(12)
    assert int1.get_int() == 12
    # 13 is off the step grid of int1 (10, 12, ..., 100): refused, the editor springs back.
    rows["int1"].get_adjustment().set_value(13)
    assert int1.get_int() == 12
    assert rows["int1"].get_value() == 12

    rows["boolean"].set_active(True)
    assert example_unit.find_control("boolean").get_boolean() is True
    rows["enum"].set_active_id("2")
    assert example_unit.find_control("enum").get_enum() == 2


def test_control_widget_shows_ints_in_their_display_format(example_unit):
    widget = kg.ControlWidget()
    widget.set_unit(example_unit)
    int1, int2 = editors(widget)["int1"], editors(widget)["int2"]
    assert (int1.get_text(), int2.get_text()) == ("50", "0x7F")  # int2: "0x%02X"
    example_unit.find_control("int2").set_int(200)
    assert int2.get_text() == "0xC8"
    int2.set_text("0x40")  # typed in the display format: read in base 16
    int2.update()
    assert (example_unit.find_control("int2").get_int(), int2.get_text()) == (64, "0x40")


# ManagerWidget and DescriptionWidget --------------------------------------------


def select_id(manager, unit_id):
    model = manager.get_model()
    found = []

    def visit(model, path, it):
        if model[it][1] == unit_id:
            found.append(path.copy())
            return True
        return False

    model.foreach(visit)
    manager.get_selection().select_path(found[0])


def test_manager_and_description_widgets():
    manager = kg.ManagerWidget()
    assert manager.get_selected_description() is None
    description = kg.DescriptionWidget()
    assert description.set_manager(manager) == 0
    assert description.set_manager(manager=manager) == 0
    select_id(manager, "input.example")
    selected = manager.get_selected_description()
    assert isinstance(selected, GObject.Object)
    assert selected.__gtype__.name == "KovUnitDescription"
    assert selected.get_id() == "input.example"
    buffer = description.get_buffer()
    text = buffer.get_text(buffer.get_start_iter(), buffer.get_end_iter(), False)
    assert text == ("Example Input\nIdentifier: input.example\nPackage: input\nName: example\n"
                    "Flags: 0x40 (event based on timeout)\n")
    # A package row is no description.
    manager.get_selection().select_path(Gtk.TreePath.new_first())
    assert manager.get_selected_description() is None


def test_manager_and_description_initialisers_take_no_arguments():
    with pytest.raises(TypeError, match=r"^kovkit.gtk.ManagerWidget.__init__\(\) takes at most 0 arguments \(1 given\)$"):
        kg.ManagerWidget(1)
    with pytest.raises(TypeError, match=r"^kovkit.gtk.DescriptionWidget.__init__\(\) takes at most 0 keyword arguments \(1 given\)$"):
        kg.DescriptionWidget(editable=True)
    with pytest.raises(TypeError, match=r"^KovUnit.DescriptionWidget.set_manager\(\) argument 1 must be ManagerWidget, not TreeView$"):
        kg.DescriptionWidget().set_manager(Gtk.TreeView())


def test_manager_widget_subclass_keeps_the_initialiser():
    class Mine(kg.ManagerWidget):
        pass

    mine = Mine()
    assert type(mine) is Mine
    assert mine.get_selected_description() is None


# Enumeration types -----------------------------------------------------------------


def values_of(gtype):
    import gi._gi as gi_internal
    if gtype.is_a(GObject.TYPE_FLAGS):
        table = gi_internal.flags_add(gtype).__flags_values__
        return [(v, f.first_value_name, f.first_value_nick) for v, f in sorted(table.items())]
    table = gi_internal.enum_add(gtype).__enum_values__
    return [(v, e.value_name, e.value_nick) for v, e in sorted(table.items())]


def test_unit_flags_type():
    gtype = kg.kov_unit_flags_get_type()
    assert gtype == kg.kov_unit_flags_get_type()
    assert gtype.name == "KovUnitFlags" and gtype.is_a(GObject.TYPE_FLAGS)
    assert values_of(gtype) == [(0x4, "KOV_UNIT_RENDERS_GL", "Unit renders GL"),
                                (0x20, "KOV_UNIT_EVENT_METHOD_FD", "Event based on fd polling"),
                                (0x40, "KOV_UNIT_EVENT_METHOD_TIMEOUT", "Event based on timeout")]


def test_control_ui_hint_type():
    gtype = kg.kov_unit_control_ui_hint_get_type()
    assert gtype == kg.kov_unit_control_ui_hint_get_type()
    assert gtype.name == "KovUnitControlUIHint" and gtype.is_a(GObject.TYPE_FLAGS)
    names = ["CHECK_BOX", "TOGGLE_BUTTON", "MENU", "RADIO_BUTTONS", "FILENAME", "TEXT_ENTRY",
             "ONE_SHOT", "SLIDER", "SPINBUTTON"]
    assert values_of(gtype) == [(2 << i, "KOV_UNIT_CONTROL_" + n, "") for i, n in enumerate(names)]


def test_control_type_enum():
    gtype = kg.kov_unit_control_type_get_type()
    assert gtype == kg.kov_unit_control_type_get_type()
    assert gtype.name == "KovUnitControlType" and gtype.is_a(GObject.TYPE_ENUM)
    assert values_of(gtype) == [
        (0, "KOV_UNIT_CONTROL_TYPE_INVALID", "Invalid"),
        (1, "KOV_UNIT_CONTROL_TYPE_INT", "Integer control with min, max and step"),
        (2, "KOV_UNIT_CONTROL_TYPE_BOOLEAN", "Boolean value"),
        (3, "KOV_UNIT_CONTROL_TYPE_ENUM", "Enumeration control"),
        (4, "KOV_UNIT_CONTROL_TYPE_STRING", "String control"),
        (5, "KOV_UNIT_CONTROL_TYPE_FLOAT", "Floating point control")]


def test_typelib_enumeration_types_are_not_the_modules():
    # libkovkit registers the typelib's enums as "Kovkit..." types: the
    # module's registration is the only one under the C name.
    from gi.repository import Kovkit
    assert Kovkit.UnitFlags.__gtype__ != kg.kov_unit_flags_get_type()
    assert GObject.type_from_name("KovUnitFlags") == kg.kov_unit_flags_get_type()


# Teardown ---------------------------------------------------------------------------


def test_destroying_a_window_of_widgets_warns_of_nothing():
    # GTK disposes the manager widget before the description widget that
    # follows it; warnings are fatal in the child.
    import os
    import subprocess
    import sys
    code = """if True:
        import gi
        gi.require_version("Gtk", "3.0")
        from gi.repository import Gtk
        import kovkit.gtk as kg
        window, box = Gtk.Window(), Gtk.Box()
        manager, description = kg.ManagerWidget(), kg.DescriptionWidget()
        gl, chain_widget, controls = kg.ChainGLWidget(), kg.ChainWidget(), kg.ControlWidget()
        for widget in (manager, description, gl, chain_widget, controls):
            box.add(widget)
        window.add(box)
        window.show_all()
        description.set_manager(manager)
        gl.load_from_str("input.example ! output.opengl")
        chain_widget.set_chain(gl.get_chain())
        controls.set_unit(gl.get_chain().get_units()[0])
        gl.set_active(1)
        window.destroy()
        print("done")
    """
    env = dict(os.environ, G_DEBUG="fatal-warnings")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env,
                            timeout=120)
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout.endswith("done\n")


def test_python_subclass_gets_a_gtype_of_its_own_and_the_methods():
    class Mine(kg.ChainGLWidget):
        def __init__(self):
            super().__init__()

    mine = Mine()
    assert mine.__gtype__ != kg.ChainGLWidget.__gtype__
    assert mine.__gtype__.is_a(kg.kov_unit_chain_gl_widget_get_type())
    mine.load_from_str("input.example")
    assert [u.get_id() for u in mine.get_chain().get_units()] == ["input.example"]
    box = Gtk.Box()
    box.add(mine)
    assert box.get_children()[0] is mine
