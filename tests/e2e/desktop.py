"""A private desktop for end-to-end tests: virtual X server, session bus, X11 and clipboard
helpers. Nothing here reaches a display, bus or keyring outside the test."""

import ctypes
import os
import select
import subprocess
import time

BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:tmpdir=/tmp</listen>
  <auth>EXTERNAL</auth>
  <servicedir>{servicedir}</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
"""


def poll(predicate, timeout, what, interval=0.02):
    """Returns the first true value of predicate(), or fails after timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        result = predicate()
        if result:
            return result
        if time.monotonic() > deadline:
            raise AssertionError("timed out after %.1f s waiting for %s" % (timeout, what))
        time.sleep(interval)


def _read_line_from(fd, timeout, what):
    """Reads one line that a child writes to the pipe fd, without blocking for ever."""
    data = b""
    deadline = time.monotonic() + timeout
    while not data.endswith(b"\n"):
        remaining = deadline - time.monotonic()
        if remaining <= 0 or not select.select([fd], [], [], remaining)[0]:
            raise AssertionError("%s did not start" % what)
        chunk = os.read(fd, 256)
        if not chunk:
            raise AssertionError("%s exited while starting" % what)
        data += chunk
    return data.decode().strip()


def stop_process(process, timeout=5):
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


class Desktop:
    """One virtual X server and one private session bus, with a home of their own."""

    def __init__(self, root):
        self.root = root
        self.home = os.path.join(root, "home")
        self.runtime_dir = os.path.join(root, "runtime")
        self.servicedir = os.path.join(root, "services")
        for path in (self.home, self.runtime_dir, self.servicedir):
            os.makedirs(path)
        os.chmod(self.runtime_dir, 0o700)
        self._processes = []
        self.display = self._start_x()
        self.bus_address = self._start_bus()

    def _start_x(self):
        read_fd, write_fd = os.pipe()
        process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-noreset", "-nolisten", "tcp", "-screen", "0",
             "1600x1000x24"], pass_fds=(write_fd,), stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        os.close(write_fd)
        self._processes.append(process)
        try:
            number = _read_line_from(read_fd, 20, "Xvfb")
        finally:
            os.close(read_fd)
        return ":" + number

    def _start_bus(self):
        config = os.path.join(self.root, "bus.conf")
        with open(config, "w") as f:
            f.write(BUS_CONFIG.format(servicedir=self.servicedir))
        read_fd, write_fd = os.pipe()
        process = subprocess.Popen(
            ["dbus-daemon", "--config-file=" + config, "--nofork",
             "--print-address=%d" % write_fd], pass_fds=(write_fd,), stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        os.close(write_fd)
        self._processes.append(process)
        try:
            return _read_line_from(read_fd, 20, "dbus-daemon")
        finally:
            os.close(read_fd)

    def env(self, **extra):
        """The environment of a program on this desktop: the caller's, minus anything that
        could reach another display or bus, plus the given variables (None removes one)."""
        env = {k: v for k, v in os.environ.items()
               if k not in ("WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "XDG_SESSION_TYPE",
                            "XDG_CURRENT_DESKTOP", "LC_ALL", "LC_NUMERIC", "LANG", "LANGUAGE")}
        env.update({
            "DISPLAY": self.display,
            "DBUS_SESSION_BUS_ADDRESS": self.bus_address,
            "NO_AT_BRIDGE": "1",
            "HOME": self.home,
            "XDG_RUNTIME_DIR": self.runtime_dir,
            "XDG_CONFIG_HOME": os.path.join(self.home, ".config"),
            "XDG_DATA_HOME": os.path.join(self.home, ".local", "share"),
            "XDG_CACHE_HOME": os.path.join(self.home, ".cache"),
            "GSETTINGS_BACKEND": "memory",
            "GDK_BACKEND": "x11",
        })
        for key, value in extra.items():
            if value is None:
                env.pop(key, None)
            else:
                env[key] = value
        return env

    def start(self, argv, **popen):
        """Starts a helper process that lives as long as the desktop."""
        process = subprocess.Popen(argv, env=popen.pop("env", self.env()), **popen)
        self._processes.append(process)
        return process

    def add_service_file(self, name, exec_line="/bin/false"):
        """Makes a bus name activatable (listed, never started by the tests' calls)."""
        with open(os.path.join(self.servicedir, name + ".service"), "w") as f:
            f.write("[D-BUS Service]\nName=%s\nExec=%s\n" % (name, exec_line))

    def run(self, argv, **kwargs):
        kwargs.setdefault("timeout", 20)
        kwargs.setdefault("capture_output", True)
        return subprocess.run(argv, env=kwargs.pop("env", self.env()), **kwargs)

    def close(self):
        for process in reversed(self._processes):
            stop_process(process)

    # X11 ----------------------------------------------------------------------------------

    def find_windows(self, name="^Wrenpad$", visible=True):
        argv = ["xdotool", "search"] + (["--onlyvisible"] if visible else []) + ["--name", name]
        result = self.run(argv)
        return [int(w) for w in result.stdout.split()]

    def wait_for_window(self, name="^Wrenpad$", timeout=10):
        return poll(lambda: self.find_windows(name), timeout, "a visible window " + name)[0]

    def window_property(self, window, prop):
        return self.run(["xprop", "-id", str(window), prop]).stdout.decode().strip()

    def window_icons(self, window):
        """The window's _NET_WM_ICON as a list of (width, height, ARGB pixels)."""
        output = self.run(["xprop", "-id", str(window), "-notype", "-len", "16777216",
                           "-f", "_NET_WM_ICON", "32c", "_NET_WM_ICON"]).stdout.decode()
        if "=" not in output:
            return []
        values = [int(v) for v in output.split("=", 1)[1].split(",")]
        icons = []
        while values:
            width, height = values[0], values[1]
            icons.append((width, height, values[2:2 + width * height]))
            values = values[2 + width * height:]
        return icons

    def root_property(self, prop):
        return self.run(["xprop", "-root", prop]).stdout.decode().strip()

    def screenshot(self):
        """The whole screen as (width, height, rgb bytes)."""
        result = self.run(["import", "-window", "root", "-depth", "8", "ppm:-"])
        assert result.returncode == 0, result.stderr
        return parse_ppm(result.stdout)

    def pixel(self, x, y):
        width, _, rgb = self.screenshot()
        offset = (y * width + x) * 3
        return "%02x%02x%02x" % tuple(rgb[offset:offset + 3])

    def close_window(self, window):
        """Asks the window to close the way a window manager's close button does."""
        with XDisplay(self.display) as x:
            x.send_delete_request(window)

    def fake_window_manager(self, name):
        """Announces a window manager of the given name that stays after we disconnect."""
        with XDisplay(self.display) as x:
            x.announce_window_manager(name)

    def start_openbox(self):
        self.start(["openbox"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        poll(lambda: "window id" in self.root_property("_NET_SUPPORTING_WM_CHECK"), 10,
             "openbox")

    def start_weston(self):
        """Starts a Wayland compositor in a window of the X server; returns its socket name."""
        socket_name = "wl-test"
        self.start(["weston", "--backend=x11-backend.so", "--use-pixman",
                    "--socket=" + socket_name, "--idle-time=0", "--no-config"],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        poll(lambda: os.path.exists(os.path.join(self.runtime_dir, socket_name)), 20, "weston")
        return socket_name

    # Clipboard ----------------------------------------------------------------------------

    def clipboard_targets(self):
        result = self.run(["xclip", "-selection", "clipboard", "-t", "TARGETS", "-o"])
        return result.stdout.decode().split() if result.returncode == 0 else []

    def clipboard_read(self, target):
        result = self.run(["xclip", "-selection", "clipboard", "-t", target, "-o"])
        return result.stdout if result.returncode == 0 else None

    def clipboard_offer(self, target, data):
        """Offers data on the clipboard from another client; returns its process."""
        path = os.path.join(self.root, "offer-%d" % time.monotonic_ns())
        with open(path, "wb") as f:
            f.write(data)
        process = self.start(["xclip", "-selection", "clipboard", "-t", target, "-i", "-quiet",
                              path], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        poll(lambda: target in self.clipboard_targets(), 10, "the clipboard offer of " + target)
        return process


def parse_ppm(data):
    fields = []
    offset = 0
    while len(fields) < 4:
        while data[offset:offset + 1].isspace():
            offset += 1
        if data[offset:offset + 1] == b"#":
            offset = data.index(b"\n", offset)
            continue
        end = offset
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[offset:end])
        offset = end
    assert fields[0] == b"P6" and fields[3] == b"255", fields
    return int(fields[1]), int(fields[2]), data[offset + 1:]


# --- Xlib through ctypes (no development headers needed) -----------------------------------

class _XClientMessageEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                ("send_event", ctypes.c_int), ("display", ctypes.c_void_p),
                ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]


class _XEvent(ctypes.Union):
    _fields_ = [("client", _XClientMessageEvent), ("pad", ctypes.c_long * 24)]


_CLIENT_MESSAGE = 33
_PROP_MODE_REPLACE = 0
_RETAIN_PERMANENT = 1


class XDisplay:
    def __init__(self, name):
        self.xlib = ctypes.CDLL("libX11.so.6")
        x = self.xlib
        x.XOpenDisplay.restype = ctypes.c_void_p
        x.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x.XDefaultRootWindow.restype = ctypes.c_ulong
        x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
        x.XInternAtom.restype = ctypes.c_ulong
        x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        x.XCreateSimpleWindow.restype = ctypes.c_ulong
        x.XCreateSimpleWindow.argtypes = [ctypes.c_void_p, ctypes.c_ulong] + [ctypes.c_int] * 2 + \
            [ctypes.c_uint] * 3 + [ctypes.c_ulong] * 2
        x.XChangeProperty.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong,
                                      ctypes.c_ulong, ctypes.c_int, ctypes.c_int,
                                      ctypes.c_void_p, ctypes.c_int]
        x.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                                 ctypes.POINTER(_XEvent)]
        x.XSetCloseDownMode.argtypes = [ctypes.c_void_p, ctypes.c_int]
        x.XFlush.argtypes = [ctypes.c_void_p]
        x.XCloseDisplay.argtypes = [ctypes.c_void_p]
        self.display = x.XOpenDisplay(name.encode())
        assert self.display, "cannot open display " + name

    def atom(self, name):
        return self.xlib.XInternAtom(self.display, name.encode(), 0)

    def send_delete_request(self, window):
        event = _XEvent()
        event.client.type = _CLIENT_MESSAGE
        event.client.window = window
        event.client.message_type = self.atom("WM_PROTOCOLS")
        event.client.format = 32
        event.client.data[0] = self.atom("WM_DELETE_WINDOW")
        event.client.data[1] = 0  # CurrentTime
        self.xlib.XSendEvent(self.display, window, 0, 0, ctypes.byref(event))
        self.xlib.XFlush(self.display)

    def announce_window_manager(self, name):
        x = self.xlib
        root = x.XDefaultRootWindow(self.display)
        check = x.XCreateSimpleWindow(self.display, root, 0, 0, 1, 1, 0, 0, 0)
        window_id = (ctypes.c_ulong * 1)(check)
        wm_check = self.atom("_NET_SUPPORTING_WM_CHECK")
        window_type = self.atom("WINDOW")
        for target in (root, check):
            x.XChangeProperty(self.display, target, wm_check, window_type, 32,
                              _PROP_MODE_REPLACE, ctypes.cast(window_id, ctypes.c_void_p), 1)
        encoded = name.encode()
        x.XChangeProperty(self.display, check, self.atom("_NET_WM_NAME"),
                          self.atom("UTF8_STRING"), 8, _PROP_MODE_REPLACE,
                          ctypes.cast(ctypes.c_char_p(encoded), ctypes.c_void_p), len(encoded))
        x.XSetCloseDownMode(self.display, _RETAIN_PERMANENT)
        x.XFlush(self.display)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.xlib.XCloseDisplay(self.display)

