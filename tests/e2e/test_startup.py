"""Start-up: entry-point arguments, plug-ins, single instance, command-line forwarding, PATH,
and the window appearing with the first frame."""

import os

from conftest import APPLICATION, LINUX, PLUGINS, copy_bundle
from desktop import poll


def test_first_start_with_new_note_opens_one_note_and_registers_the_plugins(launcher):
    app = launcher.start_ready("--new-note")
    assert app.ready["entrypointArguments"] == ["--new-note"]
    assert app.ready["plugins"] == PLUGINS
    app.ui.wait_call(LINUX, "newNote")
    app.ui.wait_event("first-frame")
    launcher.desktop.wait_for_window()
    assert len(app.ui.calls(LINUX, "newNote")) == 1


def test_plain_start_has_no_arguments_and_sends_nothing(launcher):
    app = launcher.start_ready()
    assert app.ready["entrypointArguments"] == []
    launcher.desktop.wait_for_window()
    assert app.ui.calls() == []


def test_each_new_note_option_sends_one_call(launcher):
    app = launcher.start_ready("--new-note", "--new-note")
    app.ui.wait_call(LINUX, "newNote", count=2)


def test_only_arguments_with_a_scheme_are_forwarded(launcher):
    # Arguments are acted on in order, so once the last one is seen, the earlier ones were
    # either sent already or never will be.
    app = launcher.start_ready("notes.txt", "-file:///tmp/x", "file:///tmp/a%20b.txt",
                               "--file=file:///y", "--new-note")
    app.ui.wait_call(LINUX, "newNote")
    forwarded = app.ui.calls(APPLICATION, "command-line")
    assert [c.args for c in forwarded] == [["file:///tmp/a%20b.txt"]]
    assert app.ready["entrypointArguments"] == [
        "notes.txt", "-file:///tmp/x", "file:///tmp/a%20b.txt", "--file=file:///y", "--new-note"]


def test_second_start_hands_its_command_line_to_the_running_instance(launcher):
    app = launcher.start_ready()
    first_window = launcher.desktop.wait_for_window()
    second = launcher.desktop.run([launcher.executable(), "--new-note", "wrenpad://note/7"],
                                  env=launcher.desktop.env(**launcher.driver.env()))
    assert second.returncode == 0, second.stdout
    app.ui.wait_call(LINUX, "newNote")
    call = app.ui.wait_call(APPLICATION, "command-line")
    assert call.args == ["wrenpad://note/7"]
    assert launcher.desktop.find_windows() == [first_window]
    assert len(launcher.driver.connections) == 1
    assert app.process.poll() is None


def test_second_start_without_arguments_only_presents_the_window(launcher):
    app = launcher.start_ready()
    window = launcher.desktop.wait_for_window()
    second = launcher.desktop.run([launcher.executable()])
    assert second.returncode == 0, second.stdout
    # Nothing reaches the UI program; the window is still the only one.
    assert app.ui.invoke("wrenpad/region", "region").result is None
    assert app.ui.calls() == []
    assert launcher.desktop.find_windows() == [window]


def test_libexec_goes_first_on_path(launcher):
    app = launcher.start_ready(env={"PATH": "/usr/bin:/bin"})
    libexec = os.path.join(launcher.bundle, "libexec")
    assert app.ready["path"] == libexec + ":/usr/bin:/bin"


def test_empty_or_missing_path_becomes_libexec_alone(launcher, tmp_path):
    executable = copy_bundle(launcher.bundle, str(tmp_path / "copy"), with_libexec=True)
    libexec = str(tmp_path / "copy" / "libexec")
    app = launcher.start_ready(env={"PATH": ""}, executable=executable)
    assert app.ready["path"] == libexec
    app.process.kill()
    app.process.wait()
    app = launcher.start_ready(env={"PATH": None}, executable=executable)
    assert app.ready["path"] == libexec


def test_path_is_kept_without_libexec(launcher, tmp_path):
    executable = copy_bundle(launcher.bundle, str(tmp_path / "copy"), with_libexec=False)
    app = launcher.start_ready(env={"PATH": "/usr/bin:/bin"}, executable=executable)
    assert app.ready["path"] == "/usr/bin:/bin"


def test_window_appears_with_the_first_frame_in_the_background_colour(launcher):
    app = launcher.start_ready(hold_first_frame=True)
    desktop = launcher.desktop
    # The program has activated and set up everything, but the UI has not drawn yet.
    assert desktop.find_windows() == []
    app.ui.render_first_frame()
    app.ui.wait_event("first-frame")
    window = desktop.wait_for_window()
    geometry = desktop.run(["xdotool", "getwindowgeometry", "--shell", str(window)]).stdout
    values = dict(line.split("=") for line in geometry.decode().split())
    x = int(values["X"]) + int(values["WIDTH"]) // 2
    y = int(values["Y"]) + int(values["HEIGHT"]) // 2
    assert (int(values["WIDTH"]), int(values["HEIGHT"])) == (1280, 720)
    poll(lambda: desktop.pixel(x, y) == "f6f2e8", 5, "the background colour on screen")
