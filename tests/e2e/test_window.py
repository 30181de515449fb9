"""The window's title style by display and window manager, its icon, and its minimum size."""

import os

import pytest

from conftest import LINUX, copy_bundle, png_bytes
from desktop import poll

ICON_FILE = "com.ostrelle.wrenpad.png"
# Only the system's data: an icon installed under /usr/local would hide the bundle's own.
SYSTEM_DATA = {"XDG_DATA_DIRS": "/usr/share"}


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


def argb_pixels(desktop, png_path):
    """The pixels of a PNG file as _NET_WM_ICON numbers (ARGB), decoded by ImageMagick."""
    result = desktop.run(["convert", png_path, "-depth", "8", "rgba:-"])
    assert result.returncode == 0, result.stderr
    raw = result.stdout
    return [raw[i + 3] << 24 | raw[i] << 16 | raw[i + 1] << 8 | raw[i + 2]
            for i in range(0, len(raw), 4)]


def test_without_a_theme_icon_the_bundles_icon_file_is_used(launcher):
    launcher.start_ready(env=SYSTEM_DATA)
    window = launcher.desktop.wait_for_window()
    fallback = os.path.join(launcher.bundle, "share", "icons", "hicolor", "256x256", "apps",
                            ICON_FILE)
    assert launcher.desktop.window_icons(window) == [
        (256, 256, argb_pixels(launcher.desktop, fallback))]


def test_an_icon_in_the_theme_is_preferred_to_the_bundles(launcher):
    apps = os.path.join(launcher.desktop.home, ".local", "share", "icons", "hicolor", "48x48",
                        "apps")
    os.makedirs(apps)
    with open(os.path.join(apps, ICON_FILE), "wb") as f:
        f.write(png_bytes(48, 48, (0, 128, 255)))
    launcher.start_ready(env=SYSTEM_DATA)
    window = launcher.desktop.wait_for_window()
    assert launcher.desktop.window_icons(window) == [(48, 48, [0xff0080ff] * 48 * 48)]


def test_with_neither_a_theme_icon_nor_the_file_the_window_has_no_icon(launcher, tmp_path):
    executable = copy_bundle(launcher.bundle, str(tmp_path / "copy"), with_libexec=False)
    os.unlink(str(tmp_path / "copy" / "share"))
    launcher.start_ready(env=SYSTEM_DATA, executable=executable)
    window = launcher.desktop.wait_for_window()
    assert launcher.desktop.window_icons(window) == []
