"""Ending the program: close requests and signals go through the UI program's "shutdown",
"quit" ends it, and an unanswered shutdown ends it after 10 seconds."""

import time

import pytest

from conftest import SHUTDOWN, SIGNALS


def test_closing_the_window_asks_the_ui_once_and_quits_on_its_answer(launcher):
    app = launcher.start_ready()
    desktop = launcher.desktop
    window = desktop.wait_for_window()
    desktop.close_window(window)
    app.ui.wait_call(SHUTDOWN, "shutdown")
    desktop.close_window(window)
    # The second request is absorbed: give it time to arrive, then check nothing came of it.
    time.sleep(0.3)
    assert len(app.ui.calls(SHUTDOWN, "shutdown")) == 1
    assert desktop.find_windows() == [window], "a close request must not destroy the window"
    assert app.ui.invoke(SHUTDOWN, "quit").result is None
    assert app.wait_exit() == 0


@pytest.mark.parametrize("name", sorted(SIGNALS))
def test_termination_signals_ask_the_ui_instead_of_ending(launcher, name):
    app = launcher.start_ready()
    launcher.desktop.wait_for_window()
    for _ in range(3):
        app.signal(SIGNALS[name])
        time.sleep(0.1)
    app.ui.wait_call(SHUTDOWN, "shutdown")
    time.sleep(0.3)
    assert len(app.ui.calls(SHUTDOWN, "shutdown")) == 1
    assert app.process.poll() is None
    assert app.ui.invoke(SHUTDOWN, "quit").result is None
    assert app.wait_exit() == 0


def test_without_a_driver_closing_the_window_ends_the_program(launcher):
    # The stand-in's own UI program answers "shutdown" with "quit", as a real one would after
    # saving, so the program can be closed by hand.
    app = launcher.start(connect=False)
    window = launcher.desktop.wait_for_window()
    launcher.desktop.close_window(window)
    assert app.wait_exit(timeout=5) == 0


def test_quit_without_shutdown_ends_at_once(launcher):
    app = launcher.start_ready()
    launcher.desktop.wait_for_window()
    started = time.monotonic()
    assert app.ui.invoke(SHUTDOWN, "quit").result is None
    assert app.wait_exit(timeout=5) == 0
    assert time.monotonic() - started < 3
    assert app.ui.calls(SHUTDOWN, "shutdown") == []


def test_other_methods_are_not_implemented(launcher):
    app = launcher.start_ready()
    assert type(app.ui.invoke(SHUTDOWN, "shutdown")).__name__ == "NotImplementedReply"


def test_an_unanswered_shutdown_quits_after_ten_seconds(launcher):
    app = launcher.start_ready()
    launcher.desktop.wait_for_window()
    app.signal(SIGNALS["SIGTERM"])
    call = app.ui.wait_call(SHUTDOWN, "shutdown")
    assert app.wait_exit(timeout=15) == 0
    waited = time.monotonic() - call.time
    assert 9.0 < waited < 12.0, waited
