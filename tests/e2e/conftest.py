"""Fixtures of the end-to-end tests: a private desktop per test, the program under test with
the stand-in engine's driver, and fake desktop services."""

import json
import os
import queue
import shutil
import signal
import subprocess
import sys
import struct
import threading
import time
import zlib

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "platform", "driver"))

import wrenpad_driver as wd  # noqa: E402
from desktop import Desktop, poll, stop_process  # noqa: E402

PLUGINS = [
    "DesktopDropPlugin=desktop_drop_plugin_register_with_registrar",
    "FileSelectorPlugin=file_selector_plugin_register_with_registrar",
    "FlutterGemmaPlugin=flutter_gemma_plugin_register_with_registrar",
    "FlutterSecureStorageLinuxPlugin=flutter_secure_storage_linux_plugin_register_with_registrar",
    "GtkPlugin=gtk_plugin_register_with_registrar",
    "HotkeyManagerLinuxPlugin=hotkey_manager_linux_plugin_register_with_registrar",
    "PasteboardPlugin=pasteboard_plugin_register_with_registrar",
    "RecordLinuxPlugin=record_linux_plugin_register_with_registrar",
    "ScreenRetrieverLinuxPlugin=screen_retriever_linux_plugin_register_with_registrar",
    "TrayManagerPlugin=tray_manager_plugin_register_with_registrar",
    "UrlLauncherPlugin=url_launcher_plugin_register_with_registrar",
    "WindowManagerPlugin=window_manager_plugin_register_with_registrar",
]

LINUX = "wrenpad/linux"
SHUTDOWN = "wrenpad/system_shutdown"
CLIPBOARD = "wrenpad/rich_clipboard"
REGION = "wrenpad/region"
APPLICATION = "gtk/application"


@pytest.fixture(scope="session")
def bundle():
    path = os.environ.get("WRENPAD_BUNDLE", "")
    if not os.path.isfile(os.path.join(path, "wrenpad")):
        pytest.fail("WRENPAD_BUNDLE must name the built bundle directory (got %r)" % path)
    return path


@pytest.fixture
def desktop(tmp_path):
    d = Desktop(str(tmp_path))
    yield d
    d.close()


class App:
    """One started program, with its driver connection when it has a view."""

    def __init__(self, process, connection):
        self.process = process
        self.connection = connection

    @property
    def ui(self):
        return self.connection

    def wait_exit(self, timeout=15):
        return self.process.wait(timeout)

    def signal(self, number):
        self.process.send_signal(number)


class Launcher:
    def __init__(self, desktop, bundle):
        self.desktop = desktop
        self.bundle = bundle
        self.driver = wd.Driver()
        self.apps = []

    def executable(self):
        return os.path.join(self.bundle, "wrenpad")

    def start(self, *args, env=None, executable=None, hold_first_frame=False, connect=True,
              connect_timeout=15):
        """Starts the program; with connect, waits for its view to reach the driver. Without
        connect, the program plays its UI program with the stand-in's built-in one."""
        extra = dict(self.driver.env()) if connect else {}
        if hold_first_frame:
            extra["WRENPAD_DRIVER_FIRST_FRAME"] = "on-request"
        extra.update(env or {})
        process = subprocess.Popen([executable or self.executable()] + list(args),
                                   env=self.desktop.env(**extra), stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT)
        app = App(process, None)
        self.apps.append(app)
        if connect:
            app.connection = self._accept(process, connect_timeout)
        return app

    def _accept(self, process, timeout):
        deadline = time.monotonic() + timeout
        while True:
            try:
                return self.driver.accept(timeout=0.2)
            except wd.DriverTimeout:
                if process.poll() is not None:
                    output = process.stdout.read().decode(errors="replace")
                    raise AssertionError("the program exited (%s) before its view started:\n%s"
                                         % (process.returncode, output))
                if time.monotonic() > deadline:
                    raise

    def start_ready(self, *args, **kwargs):
        app = self.start(*args, **kwargs)
        app.ready = app.ui.wait_ready()
        return app

    def close(self):
        for app in self.apps:
            if app.process.poll() is None:
                app.process.kill()
            app.process.wait()
            app.process.stdout.close()
        self.driver.close()


@pytest.fixture
def launcher(desktop, bundle):
    l = Launcher(desktop, bundle)
    yield l
    l.close()


class FakeService:
    """A fake desktop service process; collects the calls it reports."""

    def __init__(self, desktop, *args):
        self.process = desktop.start(["/usr/bin/python3", os.path.join(HERE, "fake_services.py")]
                                     + list(args), stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL)
        self.events = []
        self._lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        line = self._lines.get(timeout=15)
        assert line == "ready", "fake service %s did not start: %r" % (args, line)

    def _read(self):
        for raw in self.process.stdout:
            line = raw.decode().strip()
            if line.startswith("{"):
                self.events.append(json.loads(line))
            else:
                self._lines.put(line)

    def calls(self, event):
        return [e for e in list(self.events) if e["event"] == event]

    def wait(self, event, count=1, timeout=15):
        return poll(lambda: len(self.calls(event)) >= count and self.calls(event)[count - 1],
                    timeout, "%d %s call(s)" % (count, event))

    def stop(self):
        stop_process(self.process)


@pytest.fixture
def services(desktop):
    started = []

    def start(*args):
        service = FakeService(desktop, *args)
        started.append(service)
        return service

    yield start
    for service in started:
        service.stop()


@pytest.fixture(scope="session")
def locales(tmp_path_factory):
    """A private locale directory (LOCPATH) with the locales the region tests use."""
    root = str(tmp_path_factory.mktemp("locales"))
    wanted = {"de_DE.UTF-8": "de_DE", "en_US.UTF-8": "en_US", "sr_RS.UTF-8@latin": "sr_RS@latin"}
    if not os.path.isdir("/usr/share/i18n/locales"):
        pytest.fail("locale sources are not installed (Debian package locales)")
    compilers = [subprocess.Popen(["localedef", "-i", source, "-f", "UTF-8",
                                   os.path.join(root, name)], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.PIPE)
                 for name, source in wanted.items()]
    for name, compiler in zip(wanted, compilers):
        _, errors = compiler.communicate(timeout=120)
        assert os.path.isdir(os.path.join(root, name)), errors.decode()
    return root


def copy_bundle(bundle, target, with_libexec):
    """A copy of the bundle (the executable copied, the rest linked) with or without libexec."""
    os.makedirs(target)
    shutil.copy2(os.path.join(bundle, "wrenpad"), target)
    for entry in ("lib", "share"):
        os.symlink(os.path.join(bundle, entry), os.path.join(target, entry))
    if with_libexec:
        os.makedirs(os.path.join(target, "libexec"))
    return os.path.join(target, "wrenpad")


SIGNALS = {"SIGTERM": signal.SIGTERM, "SIGINT": signal.SIGINT, "SIGHUP": signal.SIGHUP}


def png_bytes(width=2, height=2, rgb=(255, 0, 0)):
    """A PNG of one colour, assembled here so that no image library decides its bytes."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(
            ">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
    rows = b"".join(b"\x00" + bytes(rgb) * width for _ in range(height))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))
