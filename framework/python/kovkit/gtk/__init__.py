# SPDX-License-Identifier: LGPL-2.1-or-later
"""kovkit.gtk: the framework's GTK 3 widgets (from the _kovkitgtk module).

GLDrawingArea, TreeStore, ChainGLWidget, ChainWidget, ControlWidget,
DescriptionWidget and ManagerWidget, the get-type functions of the widgets
and of the enumeration types KovUnitControlUIHint, KovUnitFlags and
KovUnitControlType.
"""

from ._kovkitgtk import (  # noqa: F401
    ChainGLWidget,
    ChainWidget,
    ControlWidget,
    DescriptionWidget,
    GLDrawingArea,
    ManagerWidget,
    TreeStore,
    kov_gl_drawing_area_get_type,
    kov_tree_store_get_type,
    kov_unit_chain_gl_widget_get_type,
    kov_unit_chain_widget_get_type,
    kov_unit_control_type_get_type,
    kov_unit_control_ui_hint_get_type,
    kov_unit_control_widget_get_type,
    kov_unit_description_widget_get_type,
    kov_unit_flags_get_type,
    kov_unit_manager_widget_get_type,
)

__all__ = [
    "GLDrawingArea",
    "TreeStore",
    "ChainGLWidget",
    "ChainWidget",
    "ControlWidget",
    "DescriptionWidget",
    "ManagerWidget",
    "kov_tree_store_get_type",
    "kov_gl_drawing_area_get_type",
    "kov_unit_chain_gl_widget_get_type",
    "kov_unit_chain_widget_get_type",
    "kov_unit_control_widget_get_type",
    "kov_unit_description_widget_get_type",
    "kov_unit_manager_widget_get_type",
    "kov_unit_control_ui_hint_get_type",
    "kov_unit_flags_get_type",
    "kov_unit_control_type_get_type",
]
