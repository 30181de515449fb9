"""The session's end: logout is held back while the UI program saves, for at most 10 s."""

import time

from conftest import SHUTDOWN, SIGNALS

APP_ID = "com.ostrelle.wrenpad"


def query_end(desktop):
    result = desktop.run(["gdbus", "call", "--session", "--dest", "org.gnome.SessionManager",
                          "--object-path", "/org/gnome/SessionManager",
                          "--method", "org.wrenpad.Test.QueryEnd"])
    assert result.returncode == 0, result.stderr


def start(launcher, services):
    # The session manager must own its name before the program looks for it at start-up.
    manager = services("session-manager")
    app = launcher.start_ready()
    launcher.desktop.wait_for_window()
    manager.wait("RegisterClient")
    return manager, app


def test_save_answer_lifts_the_inhibition(launcher, services):
    manager, app = start(launcher, services)
    query_end(launcher.desktop)
    inhibit = manager.wait("Inhibit")
    assert inhibit["args"][0] == APP_ID
    assert inhibit["args"][2:4] == ["Saving notes", 1]
    assert inhibit["args"][1] != 0, "the inhibition names the window"
    save = app.ui.wait_call(SHUTDOWN, "save")
    assert save.args is None
    time.sleep(0.3)
    assert manager.calls("Uninhibit") == []
    save.respond_success()
    assert manager.wait("Uninhibit")["args"] == [inhibit["args"][4]]
    assert app.process.poll() is None, "the session's end never quits by itself"


def test_any_answer_counts_as_done(launcher, services):
    manager, app = start(launcher, services)
    query_end(launcher.desktop)
    app.ui.wait_call(SHUTDOWN, "save").respond_error("failed", "disk full")
    manager.wait("Uninhibit")


def test_a_second_query_while_saving_is_ignored(launcher, services):
    manager, app = start(launcher, services)
    query_end(launcher.desktop)
    save = app.ui.wait_call(SHUTDOWN, "save")
    query_end(launcher.desktop)
    manager.wait("QueryEnd", count=2)
    time.sleep(0.3)
    assert len(app.ui.calls(SHUTDOWN, "save")) == 1
    assert len(manager.calls("Inhibit")) == 1
    save.respond_success()
    manager.wait("Uninhibit")
    # Once done, the next query starts a new handshake.
    query_end(launcher.desktop)
    app.ui.wait_call(SHUTDOWN, "save", count=2).respond_success()
    manager.wait("Uninhibit", count=2)


def test_an_unanswered_save_lifts_the_inhibition_after_ten_seconds(launcher, services):
    manager, app = start(launcher, services)
    query_end(launcher.desktop)
    inhibit = manager.wait("Inhibit")
    save = app.ui.wait_call(SHUTDOWN, "save")
    uninhibit = manager.wait("Uninhibit", timeout=15)
    waited = uninhibit["time"] - inhibit["time"]
    assert 9.0 < waited < 12.0, waited
    # The late answer finds nothing left to do.
    save.respond_success()
    time.sleep(0.5)
    assert len(manager.calls("Uninhibit")) == 1


def test_the_session_end_is_independent_of_a_shutdown_in_progress(launcher, services):
    manager, app = start(launcher, services)
    app.ui.answer(SHUTDOWN, "save")
    app.signal(SIGNALS["SIGTERM"])
    app.ui.wait_call(SHUTDOWN, "shutdown")
    query_end(launcher.desktop)
    manager.wait("Uninhibit")
    assert len(app.ui.calls(SHUTDOWN, "save")) == 1
    assert app.ui.invoke(SHUTDOWN, "quit").result is None
    assert app.wait_exit() == 0
