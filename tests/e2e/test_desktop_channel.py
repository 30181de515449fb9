"""The desktop channel against fake desktop services on the private bus, and under Wayland."""

import signal
import time

import pytest

from conftest import LINUX


@pytest.mark.parametrize("answer, expected", [("true", True), ("false", False),
                                              ("string", False)])
def test_tray_host_follows_the_watchers_property(launcher, services, answer, expected):
    watcher = services("tray", answer)
    app = launcher.start_ready()
    assert app.ui.invoke(LINUX, "hasTrayHost").result is expected
    assert watcher.wait("Get")["args"] == ["org.kde.StatusNotifierWatcher",
                                           "IsStatusNotifierHostRegistered"]


def test_a_stuck_tray_watcher_means_no_tray_host_after_the_timeout(launcher, services):
    watcher = services("tray", "true")
    watcher.process.send_signal(signal.SIGSTOP)
    try:
        app = launcher.start_ready()
        # The answer is asynchronous: other calls are served while the query waits.
        started = time.monotonic()
        pending = app.ui.invoke_async(LINUX, "hasTrayHost")
        assert app.ui.invoke(LINUX, "isWayland").result is False
        assert pending(timeout=10).result is False
        # The query gave up after its 2-second timeout.
        assert time.monotonic() - started > 1.5
    finally:
        watcher.process.send_signal(signal.SIGCONT)


def test_no_tray_watcher_means_no_tray_host(launcher):
    app = launcher.start_ready()
    assert app.ui.invoke(LINUX, "hasTrayHost").result is False


def test_keyring_running(launcher, services):
    services("keyring")
    app = launcher.start_ready()
    assert app.ui.invoke(LINUX, "hasKeyring").result is True


def test_keyring_only_activatable(launcher):
    launcher.desktop.add_service_file("org.freedesktop.secrets")
    app = launcher.start_ready()
    assert app.ui.invoke(LINUX, "hasKeyring").result is True


def test_no_keyring(launcher):
    launcher.desktop.add_service_file("org.example.Other")
    app = launcher.start_ready()
    assert app.ui.invoke(LINUX, "hasKeyring").result is False


def test_unknown_methods_are_not_implemented(launcher):
    app = launcher.start_ready()
    assert type(app.ui.invoke(LINUX, "newNote")).__name__ == "NotImplementedReply"


def test_x11_is_not_wayland(launcher):
    app = launcher.start_ready()
    assert app.ui.invoke(LINUX, "isWayland").result is False


def test_wayland_is_recognised(launcher):
    socket_name = launcher.desktop.start_weston()
    app = launcher.start_ready(env={"GDK_BACKEND": "wayland", "WAYLAND_DISPLAY": socket_name})
    assert app.ui.invoke(LINUX, "isWayland").result is True
    app.ui.wait_event("first-frame")
