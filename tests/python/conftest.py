# SPDX-License-Identifier: LGPL-2.1-or-later
"""Shared helpers of the Python tests: a child interpreter with the build's
package on its path, and the widgets' GTK set-up."""

import os
import subprocess
import sys

import pytest


def pytest_sessionfinish(session, exitstatus):
    # A run that collected no tests is a broken set-up, not a success.
    if exitstatus == pytest.ExitCode.NO_TESTS_COLLECTED:
        session.exitstatus = pytest.ExitCode.TESTS_FAILED


def run_python(code, timeout=120):
    """Runs code in a fresh /usr/bin/python3 with this process's environment;
    returns the CompletedProcess with text output."""
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=timeout, env=dict(os.environ))


@pytest.fixture(scope="session")
def kg():
    import kovkit.gtk
    return kovkit.gtk


@pytest.fixture(scope="session")
def kovkit_package():
    import kovkit
    return kovkit
