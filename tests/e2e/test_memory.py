"""A full run of the release bundle under Valgrind: start, channel calls, a close request
answered with "quit". Any memory error or definite leak fails it; GTK's one-time allocations
are kept for the life of the process and so are at most "still reachable"."""

import os
import shutil
import subprocess

import pytest

from conftest import CLIPBOARD, LINUX, REGION, SHUTDOWN

HERE = os.path.dirname(os.path.abspath(__file__))


def sanitized(executable):
    libraries = subprocess.run(["ldd", executable], capture_output=True, text=True).stdout
    return "libasan" in libraries


def test_a_whole_session_has_no_memory_errors_or_leaks(launcher, tmp_path):
    if shutil.which("valgrind") is None:
        pytest.fail("valgrind is not installed")
    if sanitized(launcher.executable()):
        pytest.skip("the sanitized build checks itself; Valgrind cannot run it")
    log = str(tmp_path / "valgrind.log")
    app = launcher.start(
        "--leak-check=full", "--errors-for-leak-kinds=definite", "--show-leak-kinds=definite",
        "--error-exitcode=99", "--num-callers=40",
        "--suppressions=" + os.path.join(HERE, "valgrind.supp"), "--log-file=" + log,
        launcher.executable(), "--new-note",
        executable="/usr/bin/valgrind", connect_timeout=120)
    ui = app.ui
    ui.wait_ready(timeout=120)
    ui.wait_call(LINUX, "newNote", timeout=60)
    assert ui.invoke(REGION, "region", timeout=60).result is None
    assert ui.invoke(LINUX, "setMinimumSize", {"width": 640.0, "height": 480.0},
                     timeout=60).result is None
    assert ui.invoke(LINUX, "hasKeyring", timeout=60).result is False
    assert ui.invoke(CLIPBOARD, "write", {"text": "a", "html": "<i>b</i>", "image": b"\x89PNG"},
                     timeout=60).result is None
    assert ui.invoke(CLIPBOARD, "read", timeout=60).result["html"] == "<i>b</i>"
    window = launcher.desktop.wait_for_window(timeout=60)
    launcher.desktop.close_window(window)
    ui.wait_call(SHUTDOWN, "shutdown", timeout=60)
    assert ui.invoke(SHUTDOWN, "quit", timeout=60).result is None
    status = app.wait_exit(timeout=120)
    with open(log) as f:
        report = f.read()
    assert status == 0, report[-6000:]
    assert "definitely lost: 0 bytes" in report or "All heap blocks were freed" in report, report
