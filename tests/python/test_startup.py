# SPDX-License-Identifier: LGPL-2.1-or-later
"""Start-up of the _kovkitgtk module: the PyGObject version rule and the
import errors, checked in child interpreters with stand-in modules, and the
classes and get-type functions of a successful import."""

import textwrap

import pytest

from conftest import run_python

# Replaces gi._gobject by a stand-in built from the lines given, then imports
# kovkit.gtk and prints the outcome.
STAND_IN = textwrap.dedent("""\
    import sys, types
    import gi
    import gi._gobject as real
    fake = types.ModuleType("gi._gobject")
    {lines}
    sys.modules["gi._gobject"] = fake
    try:
        import kovkit.gtk
    except ImportError as error:
        print("ImportError:", error)
    else:
        print("imported", kovkit.gtk.ChainGLWidget.__name__)
""")


def import_with_gobject(*lines):
    code = STAND_IN.format(lines="\n".join(lines))
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    return result.stdout.strip()


API = "fake._PyGObject_API = real._PyGObject_API"


@pytest.mark.parametrize("version", ["(3, 36, 0)", "(3, 36, 7)", "(3, 99, 0)", "real.pygobject_version"])
def test_accepts_3_36_0_and_later_within_major_3(version):
    assert import_with_gobject(API, "fake.pygobject_version = " + version) == "imported ChainGLWidget"


@pytest.mark.parametrize("version, found", [("(3, 35, 9)", "3.35.9"), ("(4, 0, 0)", "4.0.0"),
                                            ("(2, 99, 99)", "2.99.99"), ("(3, 0, 40)", "3.0.40")])
def test_refuses_other_versions_naming_required_and_found(version, found):
    assert import_with_gobject(API, "fake.pygobject_version = " + version) == (
        "ImportError: could not import gobject (version mismatch, 3.36.0 is required, "
        "found %s)" % found)


@pytest.mark.parametrize("version", ['"3.36.0"', "(3, 36)", "(3, 36, 0, 1)", '(3, "36", 0)',
                                     "[3, 36, 0]", "None"])
def test_version_that_is_not_three_integers_has_invalid_format(version):
    assert import_with_gobject(API, "fake.pygobject_version = " + version) == (
        "ImportError: could not import gobject (version has invalid format)")


def test_missing_version_is_too_old():
    assert import_with_gobject(API) == "ImportError: could not import gobject (version too old)"


def test_pygtk_version_is_used_when_pygobject_version_is_missing():
    assert import_with_gobject(API, "fake.pygtk_version = (3, 36, 0)") == "imported ChainGLWidget"
    assert import_with_gobject(API, "fake.pygtk_version = (3, 30, 1)") == (
        "ImportError: could not import gobject (version mismatch, 3.36.0 is required, "
        "found 3.30.1)")


@pytest.mark.parametrize("api", [None, "object()", '"gobject._PyGObject_API"'])
def test_function_table_must_be_pygobjects_capsule(api):
    lines = ["fake.pygobject_version = (3, 42, 0)"]
    if api is not None:
        lines.append("fake._PyGObject_API = " + api)
    assert import_with_gobject(*lines) == (
        "ImportError: could not import gobject (could not find _PyGObject_API object)")


def test_capsule_of_another_name_is_refused():
    # A capsule from another extension (the datetime C API) is not PyGObject's table.
    assert import_with_gobject("import datetime", "fake._PyGObject_API = datetime.datetime_CAPI",
                               "fake.pygobject_version = (3, 42, 0)") == (
        "ImportError: could not import gobject (could not find _PyGObject_API object)")


def test_gobject_that_cannot_be_imported_reports_the_error():
    code = textwrap.dedent("""\
        import sys
        import gi
        sys.modules["gi._gobject"] = None
        try:
            import kovkit.gtk
        except ImportError as error:
            print(error)
    """)
    result = run_python(code)
    assert result.stdout.strip() == (
        "could not import gobject (error was: ModuleNotFoundError('import of gi._gobject "
        "halted; None in sys.modules'))")


# Loads the extension by its file name, with a stand-in for the kovkit package.
LOAD_EXTENSION = textwrap.dedent("""\
    import glob, importlib.util, os, sys, types
    import kovkit
    path = glob.glob(os.path.join(os.path.dirname(kovkit.__file__), "gtk", "_kovkitgtk*.so"))[0]
    {setup}
    location = importlib.util.spec_from_file_location("_kovkitgtk", path)
    try:
        module = importlib.util.module_from_spec(location)
    except ImportError as error:
        print("ImportError:", error)
    else:
        print("imported", sorted(n for n in dir(module) if not n.startswith("_"))[:2])
""")


def load_extension(*setup):
    result = run_python(LOAD_EXTENSION.format(setup="\n".join(setup)))
    assert result.returncode == 0, result.stderr
    return result.stdout.strip()


def test_without_the_kovkit_package_the_import_fails():
    assert load_extension('sys.modules["kovkit"] = None') == "ImportError: could not import kovkit"


@pytest.mark.parametrize("missing", ["Unit", "Chain", "GInitiallyUnowned"])
def test_kovkit_package_must_offer_its_three_classes(missing):
    names = {"Unit": "kovkit.Unit", "Chain": "kovkit.Chain",
             "GInitiallyUnowned": "kovkit.GInitiallyUnowned"}
    assignments = ["fake.%s = %s" % (name, value) for name, value in names.items() if name != missing]
    setup = ['fake = types.ModuleType("kovkit")'] + assignments + ['sys.modules["kovkit"] = fake']
    assert load_extension(*setup) == "ImportError: cannot import name %s from kovkit" % missing


def test_loaded_by_file_name_the_module_offers_its_classes():
    assert load_extension() == "imported ['ChainGLWidget', 'ChainWidget']"


CLASSES = [
    ("GLDrawingArea", "kov_gl_drawing_area_get_type", "KovGLDrawingArea", "DrawingArea"),
    ("TreeStore", "kov_tree_store_get_type", "KovTreeStore", "TreeStore"),
    ("ChainGLWidget", "kov_unit_chain_gl_widget_get_type", "KovUnitChainGLWidget", "VBox"),
    ("ChainWidget", "kov_unit_chain_widget_get_type", "KovUnitChainWidget", "EventBox"),
    ("ControlWidget", "kov_unit_control_widget_get_type", "KovUnitControlWidget", "EventBox"),
    ("DescriptionWidget", "kov_unit_description_widget_get_type", "KovUnitDescriptionWidget",
     "TextView"),
    ("ManagerWidget", "kov_unit_manager_widget_get_type", "KovUnitManagerWidget", "TreeView"),
]


@pytest.mark.parametrize("name, function, gtype_name, base", CLASSES)
def test_seven_classes_with_their_get_type_functions(kg, name, function, gtype_name, base):
    from gi.repository import GObject, Gtk
    cls = getattr(kg, name)
    gtype = getattr(kg, function)()
    assert cls.__name__ == name
    assert cls.__module__ == "kovkit.gtk"
    assert cls.__gtype__ == gtype
    assert gtype.name == gtype_name
    assert cls.__bases__ == (getattr(Gtk, base),)
    assert GObject.type_is_a(gtype, getattr(Gtk, base).__gtype__)
    assert gtype.pytype is cls
    assert getattr(kg, function)() == gtype


def test_module_offers_exactly_its_classes_and_functions(kg):
    import kovkit.gtk._kovkitgtk as module
    public = sorted(n for n in dir(module) if not n.startswith("_"))
    assert public == sorted([c[0] for c in CLASSES] + [c[1] for c in CLASSES] + [
        "kov_unit_control_ui_hint_get_type", "kov_unit_flags_get_type",
        "kov_unit_control_type_get_type"])


def test_kovkit_package_classes_are_the_framework_types(kovkit_package):
    from gi.repository import GObject
    assert kovkit_package.Unit.__gtype__.name == "KovUnit"
    assert kovkit_package.Chain.__gtype__.name == "KovUnitChain"
    assert kovkit_package.GInitiallyUnowned is GObject.InitiallyUnowned


def test_kovkit_package_does_not_import_the_widgets():
    result = run_python("import sys, kovkit; print('kovkit.gtk' in sys.modules, "
                        "'gi.repository.Gtk' in sys.modules)")
    assert result.stdout.strip() == "False False", result.stderr
