# SPDX-License-Identifier: LGPL-2.1-or-later
"""Chains for Python programs: methods added to the framework's classes.

    chain = kovkit.Chain.from_string("input.testsrc format=BA81 ! convert.fast_debayer")
    chain.unit("convert.fast_debayer").controls["tiling"] = 2
    for frame in chain.frames(count=100, timeout=5.0):
        print(frame.timestamp, frame.array.mean())

Chain (Kovkit.UnitChain) gains from_string, unit, frames and
connect_frame_ready; Unit (Kovkit.UnitChain's units) gains controls and
connect_frame_ready. Everything else of the two classes is the framework's.
"""

import collections
import threading
import time

from gi.repository import GLib, Kovkit

from .control import Controls
from .error import Error
from .frame import Frame


def from_string(cls, text):
    """A new chain of the units the text describes; kovkit.Error with the
    framework's message when the text is wrong."""
    chain = cls()
    try:
        chain.load_from_str(text)
    except GLib.Error as error:
        raise Error.from_glib(error) from None
    return chain


def unit(self, unit_id):
    """The chain's first unit with that id; KeyError when there is none."""
    found = self.find_unit_by_id(unit_id) if isinstance(unit_id, str) else None
    if found is None:
        raise KeyError(unit_id)
    return found


def connect_frame_ready(self, callback, *user_data):
    """Calls callback(self, frame, *user_data) with a kovkit.Frame for every
    frame of "frame-ready" (of the unit, or for a chain of its last unit).
    Returns the handler id for disconnect()."""
    return self.connect("frame-ready",
                        lambda emitter, buffer, format: callback(emitter, Frame(buffer, format),
                                                                 *user_data))


def _unit_label(unit):
    return unit.get_id() or unit.get_name()


def frames(self, count=None, timeout=5.0):
    """Runs the chain and yields a kovkit.Frame for each frame that leaves
    its last unit.

    The chain runs through the framework's chain driver, on a main context of
    the generator's own, and only while the generator waits for a frame. A
    chain that does not stream yet is started, and stopped again when the
    generator ends. Stops after count frames (None: no limit) or at the end
    of the stream; raises kovkit.Error when the chain cannot start or a unit
    posts an error (after the frames that came before it), and TimeoutError
    when no frame comes within timeout seconds (None: waits as long as it
    takes).
    """
    if count is not None and count < 0:
        raise ValueError("count must be 0 or more, not %r" % (count,))
    if timeout is not None and not timeout > 0:
        raise ValueError("timeout must be more than 0 seconds, not %r" % (timeout,))
    return _run(self, count, timeout)


def _run(chain, count, timeout):
    context = GLib.MainContext.new()
    queue = collections.deque()
    ended = []  # [None] at the end of the stream, [Error] on an error
    waiting = [None, None, False]  # deadline, timer source, timed out
    owner = threading.get_ident()

    def on_frame(_chain, buffer, format):
        queue.append(Frame(buffer, format))
        if threading.get_ident() != owner:
            context.wakeup()  # the chain runs on a thread of its own

    def on_eos(_chain):
        if not ended:
            ended.append(None)
        if threading.get_ident() != owner:
            context.wakeup()

    def on_error(_chain, unit, error):
        if not ended or ended[0] is None:
            ended[:] = [Error.from_glib(error, _unit_label(unit), unit)]
        if threading.get_ident() != owner:
            context.wakeup()

    def arm_timer(seconds):
        timer = GLib.timeout_source_new(max(1, int(seconds * 1000 + 0.999)))
        timer.set_callback(on_timer)
        timer.attach(context)
        waiting[1] = timer

    def on_timer(_data=None):
        # The timer fires at most once per timeout: it is re-armed for the
        # deadline of the current wait rather than moved at every frame.
        waiting[1] = None
        left = waiting[0] - time.monotonic()
        if left <= 0:
            waiting[2] = True
        else:
            arm_timer(left)
        return GLib.SOURCE_REMOVE

    handlers = [chain.connect("frame-ready", on_frame), chain.connect("eos", on_eos),
                chain.connect("error", on_error)]
    driver = chain.source_new()
    driver.attach(context)
    started = False
    try:
        if not chain.is_streaming():
            try:
                chain.all_units_stream_init_full()
            except GLib.Error as error:
                raise Error.from_glib(error) from None
            started = True
        elif chain.is_eos():
            return
        produced = 0
        while count is None or produced < count:
            if not queue:
                if ended:
                    break
                if timeout is not None:
                    waiting[0] = time.monotonic() + timeout
                    if waiting[1] is None:
                        arm_timer(timeout)
                while not queue and not ended:
                    context.iteration(True)
                    if waiting[2] and not queue and not ended:
                        raise TimeoutError("no frame within %g s" % timeout)
                continue
            produced += 1
            yield queue.popleft()
        if ended and ended[0] is not None and not queue and (count is None or produced < count):
            raise ended[0]
    finally:
        for handler in handlers:
            chain.disconnect(handler)
        driver.destroy()
        if waiting[1] is not None:
            waiting[1].destroy()
        if started:
            chain.all_units_stream_shutdown()


def controls(self):
    """The unit's controls as a mapping of Python values (see kovkit.control)."""
    return Controls(self)


Kovkit.UnitChain.from_string = classmethod(from_string)
Kovkit.UnitChain.unit = unit
Kovkit.UnitChain.frames = frames
Kovkit.UnitChain.connect_frame_ready = connect_frame_ready
Kovkit.Unit.controls = property(controls)
Kovkit.Unit.connect_frame_ready = connect_frame_ready
