"""The desktop channel against fake desktop services on the private bus, and under Wayland."""

import pytest

from conftest import LINUX


@pytest.mark.parametrize("answer, expected", [("true", True), ("false", False),
                                              ("string", False)])
def test_tray_host_follows_the_watchers_property(launcher, services, answer, expected):
    watcher = services("tray", answer)
    app = launcher.start_ready()
    assert app.ui.invoke(LINUX, "hasTrayHost").result is expected
    assert watcher.calls("Get")[0]["args"] == ["org.kde.StatusNotifierWatcher",
                                               "IsStatusNotifierHostRegistered"]


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
