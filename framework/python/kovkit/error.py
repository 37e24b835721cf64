# SPDX-License-Identifier: LGPL-2.1-or-later
"""kovkit.Error: a framework error (bad chain text, a refused control value,
a unit's error while a chain runs) raised in Python."""

from gi.repository import GLib


class Error(GLib.Error):
    """A GLib.Error whose text is the framework's message alone.

    .message is the framework's message, .domain and .code its GError domain
    and code (kovkit-error-quark and a KovError value for the framework's own
    errors); .unit is the unit that reported it while a chain ran, else None.
    Code that catches GLib.Error catches this too.
    """

    def __init__(self, message, domain="kovkit-error-quark", code=0, unit=None):
        super().__init__(message, domain, code)
        self.unit = unit

    def __str__(self):
        return self.message

    def __repr__(self):
        return "kovkit.Error(%r, %r, %d)" % (self.message, self.domain, self.code)

    @classmethod
    def from_glib(cls, error, prefix=None, unit=None):
        """The same error as a kovkit.Error; prefix ("input.file") goes
        before the message as "prefix: message"."""
        message = error.message if prefix is None else "%s: %s" % (prefix, error.message)
        return cls(message, error.domain, error.code, unit)
