"""The window's title style by display and window manager, and its minimum size."""

import pytest

from conftest import LINUX
from desktop import poll


def has_header_bar(desktop, window):
    # A header bar replaces the window manager's decorations, which GTK turns off through the
    # Motif hints; a plain title leaves them alone.
    # (flags: decorations given; decorations: none).
    return "= 0x2, 0x0," in desktop.window_property(window, "_MOTIF_WM_HINTS")


def test_without_a_window_manager_the_title_is_plain(launcher):
    launcher.start_ready()
    window = launcher.desktop.wait_for_window()
    assert not has_header_bar(launcher.desktop, window)
    assert '"Wrenpad"' in launcher.desktop.window_property(window, "_NET_WM_NAME")


@pytest.mark.parametrize("name, header_bar", [("GNOME Shell", True), ("GNOME Shell 2", False),
                                              ("Mutter", False)])
def test_only_gnome_shell_on_x11_gets_a_header_bar(launcher, name, header_bar):
    launcher.desktop.fake_window_manager(name)
    launcher.start_ready()
    window = launcher.desktop.wait_for_window()
    assert has_header_bar(launcher.desktop, window) == header_bar


def test_a_real_window_manager_keeps_its_own_title_bar(launcher):
    launcher.desktop.start_openbox()
    launcher.start_ready()
    window = launcher.desktop.wait_for_window()
    assert not has_header_bar(launcher.desktop, window)
    assert '"Wrenpad"' in launcher.desktop.window_property(window, "WM_NAME")


@pytest.mark.parametrize("width, height, expected", [(800.0, 600.0, "800 by 600"),
                                                     (799.9, 600.5, "799 by 600")])
def test_minimum_size_reaches_the_window(launcher, width, height, expected):
    app = launcher.start_ready()
    window = launcher.desktop.wait_for_window()
    reply = app.ui.invoke(LINUX, "setMinimumSize", {"width": width, "height": height})
    assert reply.result is None
    poll(lambda: "minimum size: " + expected in
         launcher.desktop.window_property(window, "WM_NORMAL_HINTS"), 5, "the size hints")


def test_minimum_size_refuses_integers(launcher):
    app = launcher.start_ready()
    reply = app.ui.invoke(LINUX, "setMinimumSize", {"width": 800, "height": 600.0})
    assert (reply.code, reply.message, reply.details) == (
        "bad-arguments", "width and height are numbers", None)
