"""Test driver for the stand-in UI engine: plays the UI program over the driver socket.

The driver listens on a Unix socket; the program under test connects to it when its view is
created (environment variable WRENPAD_DRIVER_SOCKET). The driver can then call the host's
channels, answer or hold the calls the host makes, and read what the host set up. See
platform/README.md for the frame format. Standard library only.
"""

import os
import socket
import struct
import tempfile
import threading
import time

# --- Standard message codec ---------------------------------------------------------------


class Int32List(list):
    """A list sent as the codec's int32 list."""


class Int64List(list):
    """A list sent as the codec's int64 list."""


class Float32List(list):
    """A list sent as the codec's float32 list."""


class Float64List(list):
    """A list sent as the codec's float64 list."""


class CodecError(ValueError):
    pass


_TYPED_LISTS = (
    (Int32List, 9, "i", 4),
    (Int64List, 10, "q", 8),
    (Float64List, 11, "d", 8),
    (Float32List, 14, "f", 4),
)


def _write_size(out, n):
    if n < 254:
        out.append(n)
    elif n <= 0xFFFF:
        out.append(254)
        out += struct.pack("<H", n)
    else:
        out.append(255)
        out += struct.pack("<I", n)


def _align(out, alignment):
    while len(out) % alignment:
        out.append(0)


def _write_value(out, value):
    if value is None:
        out.append(0)
    elif value is True:
        out.append(1)
    elif value is False:
        out.append(2)
    elif isinstance(value, int):
        if -(2**31) <= value < 2**31:
            out.append(3)
            out += struct.pack("<i", value)
        else:
            out.append(4)
            out += struct.pack("<q", value)
    elif isinstance(value, float):
        out.append(6)
        _align(out, 8)
        out += struct.pack("<d", value)
    elif isinstance(value, str):
        data = value.encode("utf-8")
        out.append(7)
        _write_size(out, len(data))
        out += data
    elif isinstance(value, (bytes, bytearray)):
        out.append(8)
        _write_size(out, len(value))
        out += value
    elif isinstance(value, dict):
        out.append(13)
        _write_size(out, len(value))
        for key, item in value.items():
            _write_value(out, key)
            _write_value(out, item)
    elif isinstance(value, list):
        for kind, tag, fmt, width in _TYPED_LISTS:
            if isinstance(value, kind):
                out.append(tag)
                _write_size(out, len(value))
                _align(out, width)
                out += struct.pack("<%d%s" % (len(value), fmt), *value)
                return
        out.append(12)
        _write_size(out, len(value))
        for item in value:
            _write_value(out, item)
    else:
        raise CodecError("cannot encode %r" % type(value).__name__)


class _Reader:
    def __init__(self, data):
        self.data = bytes(data)
        self.offset = 0

    def take(self, n):
        if n > len(self.data) - self.offset:
            raise CodecError("unexpected end of data")
        chunk = self.data[self.offset:self.offset + n]
        self.offset += n
        return chunk

    def byte(self):
        return self.take(1)[0]

    def size(self):
        first = self.byte()
        if first < 254:
            return first
        if first == 254:
            return struct.unpack("<H", self.take(2))[0]
        return struct.unpack("<I", self.take(4))[0]

    def align(self, alignment):
        self.take((-self.offset) % alignment)

    def value(self, depth=0):
        if depth > 512:
            raise CodecError("values nested too deeply")
        tag = self.byte()
        if tag == 0:
            return None
        if tag == 1:
            return True
        if tag == 2:
            return False
        if tag == 3:
            return struct.unpack("<i", self.take(4))[0]
        if tag == 4:
            return struct.unpack("<q", self.take(8))[0]
        if tag == 6:
            self.align(8)
            return struct.unpack("<d", self.take(8))[0]
        if tag == 7:
            return self.take(self.size()).decode("utf-8", errors="surrogateescape")
        if tag == 8:
            return self.take(self.size())
        for kind, list_tag, fmt, width in _TYPED_LISTS:
            if tag == list_tag:
                n = self.size()
                self.align(width)
                return kind(struct.unpack("<%d%s" % (n, fmt), self.take(n * width)))
        if tag == 12:
            n = self.size()
            return [self.value(depth + 1) for _ in range(n)]
        if tag == 13:
            n = self.size()
            result = {}
            for _ in range(n):
                key = self.value(depth + 1)
                result[_hashable(key)] = self.value(depth + 1)
            return result
        raise CodecError("unsupported value type %d" % tag)

    def end(self):
        if self.offset != len(self.data):
            raise CodecError("%d unused bytes" % (len(self.data) - self.offset))


def _hashable(key):
    if isinstance(key, list):
        return tuple(_hashable(k) for k in key)
    if isinstance(key, dict):
        return tuple((k, _hashable(v)) for k, v in key.items())
    return key


def encode_value(value):
    out = bytearray()
    _write_value(out, value)
    return bytes(out)


def decode_value(data):
    reader = _Reader(data)
    value = reader.value()
    reader.end()
    return value


def encode_method_call(name, args=None):
    out = bytearray()
    _write_value(out, name)
    _write_value(out, args)
    return bytes(out)


def decode_method_call(data):
    reader = _Reader(data)
    name = reader.value()
    if not isinstance(name, str):
        raise CodecError("method name is not a string")
    args = reader.value()
    reader.end()
    return name, args


def encode_success(result=None):
    out = bytearray([0])
    _write_value(out, result)
    return bytes(out)


def encode_error(code, message=None, details=None):
    out = bytearray([1])
    _write_value(out, code)
    _write_value(out, message)
    _write_value(out, details)
    return bytes(out)


class Success:
    def __init__(self, result):
        self.result = result

    def __repr__(self):
        return "Success(%r)" % (self.result,)


class Error:
    def __init__(self, code, message, details):
        self.code, self.message, self.details = code, message, details

    def __repr__(self):
        return "Error(%r, %r, %r)" % (self.code, self.message, self.details)


class NotImplementedReply:
    def __repr__(self):
        return "NotImplementedReply()"


def decode_reply(data):
    """Decodes a reply envelope into Success, Error or NotImplementedReply."""
    if not data:
        return NotImplementedReply()
    reader = _Reader(data)
    envelope = reader.byte()
    if envelope == 0:
        result = reader.value()
        reader.end()
        return Success(result)
    if envelope == 1:
        code, message, details = reader.value(), reader.value(), reader.value()
        reader.end()
        if not isinstance(code, str) or not (message is None or isinstance(message, str)):
            raise CodecError("malformed error reply")
        return Error(code, message, details)
    raise CodecError("unknown reply envelope %d" % envelope)


# --- Frames ---------------------------------------------------------------------------------

EVENT, MESSAGE, REPLY = 1, 2, 3
_HEADER = struct.Struct("<IBIH")


def encode_frame(kind, request_id, channel, payload=b""):
    name = channel.encode("utf-8")
    return _HEADER.pack(1 + 4 + 2 + len(name) + len(payload), kind, request_id,
                        len(name)) + name + payload


class DriverTimeout(AssertionError):
    pass


class HostCall:
    """A call that the host made to the UI program; answer it at most once."""

    def __init__(self, connection, request_id, channel, payload, time_received):
        self.connection = connection
        self.request_id = request_id
        self.channel = channel
        self.payload = payload
        self.time = time_received
        try:
            self.method, self.args = decode_method_call(payload)
        except CodecError:
            self.method, self.args = None, None
        self.answered = False

    def respond_raw(self, payload):
        if self.answered:
            raise AssertionError("call %s answered twice" % self.method)
        self.answered = True
        self.connection._send(REPLY, self.request_id, self.channel, payload)

    def respond_success(self, result=None):
        self.respond_raw(encode_success(result))

    def respond_error(self, code, message=None, details=None):
        self.respond_raw(encode_error(code, message, details))

    def respond_not_implemented(self):
        self.respond_raw(b"")

    def __repr__(self):
        return "HostCall(%s, %s, %r)" % (self.channel, self.method, self.args)


class Connection:
    """One connected program. A reader thread collects events, replies and host calls."""

    def __init__(self, sock):
        self._sock = sock
        self._send_lock = threading.Lock()
        self._cond = threading.Condition()
        self._events = []
        self._calls = []
        self._replies = {}
        self._handlers = {}
        self._next_id = 1
        self.closed = False
        self._thread = threading.Thread(target=self._read_loop, daemon=True)
        self._thread.start()

    # Reading ----------------------------------------------------------------------------

    def _read_exact(self, n):
        chunks = []
        while n:
            chunk = self._sock.recv(n)
            if not chunk:
                raise EOFError
            chunks.append(chunk)
            n -= len(chunk)
        return b"".join(chunks)

    def _read_loop(self):
        try:
            while True:
                (length,) = struct.unpack("<I", self._read_exact(4))
                body = self._read_exact(length)
                kind, request_id, name_length = struct.unpack("<BIH", body[:7])
                channel = body[7:7 + name_length].decode("utf-8")
                self._dispatch(kind, request_id, channel, body[7 + name_length:])
        except (EOFError, OSError):
            pass
        with self._cond:
            self.closed = True
            self._cond.notify_all()

    def _dispatch(self, kind, request_id, channel, payload):
        now = time.monotonic()
        if kind == EVENT:
            with self._cond:
                self._events.append((channel, decode_value(payload), now))
                self._cond.notify_all()
        elif kind == REPLY:
            with self._cond:
                self._replies[request_id] = payload
                self._cond.notify_all()
        elif kind == MESSAGE:
            call = HostCall(self, request_id, channel, payload, now)
            handler = self._handlers.get((channel, call.method)) or self._handlers.get(
                (channel, None))
            with self._cond:
                self._calls.append(call)
                self._cond.notify_all()
            if handler is not None:
                handler(call)

    def _wait(self, predicate, timeout, what):
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                result = predicate()
                if result is not None:
                    return result
                remaining = deadline - time.monotonic()
                if self.closed or remaining <= 0:
                    state = "connection closed" if self.closed else "timed out"
                    raise DriverTimeout("%s while waiting for %s" % (state, what))
                self._cond.wait(remaining)

    # Writing ----------------------------------------------------------------------------

    def _send(self, kind, request_id, channel, payload):
        frame = encode_frame(kind, request_id, channel, payload)
        with self._send_lock:
            self._sock.sendall(frame)

    # Public -----------------------------------------------------------------------------

    def wait_event(self, name, timeout=10.0):
        """Returns the payload of the first event with this name."""

        def find():
            for event_name, payload, _ in self._events:
                if event_name == name:
                    return (payload,)
            return None

        return self._wait(find, timeout, "event " + name)[0]

    def wait_ready(self, timeout=10.0):
        return self.wait_event("ready", timeout)

    def send_raw(self, channel, payload, timeout=10.0):
        """Sends raw bytes to a host channel and returns the raw reply."""
        with self._cond:
            request_id = self._next_id
            self._next_id += 1
        self._send(MESSAGE, request_id, channel, payload)
        return self._wait(lambda: self._replies.pop(request_id, None), timeout,
                          "the reply on " + channel)

    def invoke(self, channel, method, args=None, timeout=10.0):
        """Calls a method on a host channel; returns Success, Error or NotImplementedReply."""
        return decode_reply(self.send_raw(channel, encode_method_call(method, args), timeout))

    def invoke_async(self, channel, method, args=None):
        """Sends a call without waiting; returns a function that waits for its reply."""
        with self._cond:
            request_id = self._next_id
            self._next_id += 1
        self._send(MESSAGE, request_id, channel, encode_method_call(method, args))

        def result(timeout=10.0):
            payload = self._wait(lambda: self._replies.pop(request_id, None), timeout,
                                 "the reply to " + method)
            return decode_reply(payload)

        return result

    def calls(self, channel=None, method=None):
        """Every host call received so far that matches, in arrival order."""
        with self._cond:
            return [c for c in self._calls if (channel is None or c.channel == channel) and
                    (method is None or c.method == method)]

    def wait_call(self, channel=None, method=None, count=1, timeout=10.0):
        """Waits until `count` matching host calls have arrived; returns the count-th one."""

        def find():
            matching = [c for c in self._calls if (channel is None or c.channel == channel) and
                        (method is None or c.method == method)]
            return matching[count - 1] if len(matching) >= count else None

        return self._wait(find, timeout, "call %s %s #%d" % (channel, method, count))

    def on_call(self, channel, method, handler):
        """Answers matching host calls as they arrive: handler(call) responds itself.

        A method of None matches every method on the channel. Calls that arrived before are
        not handled. Handlers run on the connection's reader thread, so they must not wait
        for replies (use invoke_async there, never invoke)."""
        self._handlers[(channel, method)] = handler

    def answer(self, channel, method, result=None):
        """Answers matching host calls with success and the given result."""
        self.on_call(channel, method, lambda call: call.respond_success(result))

    def render_first_frame(self):
        """Lets a held first frame through (WRENPAD_DRIVER_FIRST_FRAME=on-request)."""
        self._send(EVENT, 0, "render-first-frame", b"")

    def wait_closed(self, timeout=10.0):
        self._wait(lambda: True if self.closed else None, timeout, "the connection to close")

    def close(self):
        try:
            self._sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self._sock.close()


class Driver:
    """Listens for the program under test. Use env() for the program's environment."""

    def __init__(self, path=None):
        if path is None:
            self._dir = tempfile.TemporaryDirectory(prefix="wrenpad-driver-")
            path = os.path.join(self._dir.name, "driver.sock")
        else:
            self._dir = None
        self.path = path
        self._server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self._server.bind(path)
        self._server.listen(8)
        self.connections = []

    def env(self):
        return {"WRENPAD_DRIVER_SOCKET": self.path}

    def accept(self, timeout=10.0):
        self._server.settimeout(timeout)
        try:
            sock, _ = self._server.accept()
        except socket.timeout:
            raise DriverTimeout("no program connected within %.1f s" % timeout) from None
        sock.settimeout(None)
        connection = Connection(sock)
        self.connections.append(connection)
        return connection

    def close(self):
        for connection in self.connections:
            connection.close()
        self._server.close()
        if self._dir is not None:
            self._dir.cleanup()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

