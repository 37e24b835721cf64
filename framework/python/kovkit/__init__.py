# SPDX-License-Identifier: LGPL-2.1-or-later
"""kovkit: the framework's units and chains for Python.

Unit, Chain and GInitiallyUnowned are the GObject classes of the framework
library (through its introspection typelib, namespace Kovkit). The GTK
widgets are in the subpackage kovkit.gtk, which this package does not import.
Chains and frames as Python values (Chain.from_string, Chain.frames,
unit.controls, Frame.array): see kovkit.chain and kovkit.frame.
"""

import os

import gi

from . import _paths

_here = os.path.dirname(os.path.abspath(__file__))

gi.require_version("GIRepository", "2.0")
from gi.repository import GIRepository  # noqa: E402

# The typelib lies next to this file; the library it names is found in the
# folder the build (or the installation) put it in.
GIRepository.Repository.prepend_search_path(_here)
GIRepository.Repository.prepend_library_path(_paths.LIBRARY_DIR)

gi.require_version("Kovkit", "6.0")
from gi.repository import GObject, Kovkit  # noqa: E402

from . import chain  # noqa: E402,F401  (gives Chain and Unit their Python-value methods)
from .control import Controls, EnumValue  # noqa: E402,F401
from .error import Error  # noqa: E402,F401
from .frame import Frame, FrameFormat  # noqa: E402,F401

Unit = Kovkit.Unit
Chain = Kovkit.UnitChain
GInitiallyUnowned = GObject.InitiallyUnowned

from .pyunit import (PythonUnit, register, BoolControl, IntControl, FloatControl,  # noqa: E402
                     EnumControl, StringControl)

__all__ = ["Unit", "Chain", "GInitiallyUnowned", "Kovkit", "Error", "Frame", "FrameFormat",
           "Controls", "EnumValue", "PythonUnit", "register",
           "BoolControl", "IntControl", "FloatControl", "EnumControl", "StringControl"]
