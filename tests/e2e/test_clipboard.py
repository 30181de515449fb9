"""The rich clipboard against another X client (xclip), in both directions."""

import struct

from conftest import CLIPBOARD, png_bytes
from desktop import poll

SELECTION_TARGETS = {"TARGETS", "TIMESTAMP", "MULTIPLE", "SAVE_TARGETS"}


def is_text_target(target):
    # GTK's text targets: the X11 text types and text/plain in the locale's charsets.
    return target in {"UTF8_STRING", "TEXT", "STRING", "COMPOUND_TEXT"} or \
        target.startswith("text/plain")


def bmp_bytes(width=2, height=2, bgr=(0, 0, 255)):
    row = bytes(bgr) * width
    row += b"\x00" * ((-len(row)) % 4)
    pixels = row * height
    header = struct.pack("<2sIHHI", b"BM", 54 + len(pixels), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    return header + info + pixels


def test_write_offers_every_form_and_serves_each_on_request(launcher):
    app = launcher.start_ready()
    desktop = launcher.desktop
    image = png_bytes()
    reply = app.ui.invoke(CLIPBOARD, "write", {"text": "plain é", "html": "<b>bold</b>",
                                               "wren": '{"ops":[]}', "image": image})
    assert reply.result is None
    targets = set(desktop.clipboard_targets())
    assert {"text/html", "application/x-wrenpad-fragment", "image/png", "UTF8_STRING"} <= targets
    assert "SAVE_TARGETS" in targets
    assert desktop.clipboard_read("UTF8_STRING") == "plain é".encode()
    assert desktop.clipboard_read("text/html") == b"<b>bold</b>"
    assert desktop.clipboard_read("application/x-wrenpad-fragment") == b'{"ops":[]}'
    assert desktop.clipboard_read("image/png") == image


def test_write_of_only_text_offers_only_text(launcher):
    app = launcher.start_ready()
    app.ui.invoke(CLIPBOARD, "write", {"text": "hello", "html": ""})
    targets = set(launcher.desktop.clipboard_targets()) - SELECTION_TARGETS
    assert "UTF8_STRING" in targets
    assert all(is_text_target(t) for t in targets), targets
    reply = app.ui.invoke(CLIPBOARD, "read")
    assert set(reply.result) == {"types", "text"}
    assert reply.result["text"] == "hello"


def test_an_image_goes_out_under_its_own_type_unconverted(launcher):
    app = launcher.start_ready()
    jpeg_like = b"\xff\xd8\xff\xe0 not really a jpeg"
    app.ui.invoke(CLIPBOARD, "write", {"image": jpeg_like, "imageMime": "image/jpeg"})
    targets = launcher.desktop.clipboard_targets()
    assert "image/jpeg" in targets and "image/png" not in targets
    assert launcher.desktop.clipboard_read("image/jpeg") == jpeg_like


def test_an_empty_write_clears_the_clipboard(launcher):
    app = launcher.start_ready()
    app.ui.invoke(CLIPBOARD, "write", {"text": "x"})
    assert launcher.desktop.clipboard_targets()
    assert app.ui.invoke(CLIPBOARD, "write", {}).result is None
    poll(lambda: launcher.desktop.clipboard_targets() == [], 5, "an empty clipboard")


def test_write_needs_a_map(launcher):
    app = launcher.start_ready()
    reply = app.ui.invoke(CLIPBOARD, "write", ["text"])
    assert (reply.code, reply.message, reply.details) == ("bad-arguments", "Expected a map", None)


def test_read_of_an_empty_clipboard_is_an_empty_map(launcher):
    app = launcher.start_ready()
    assert app.ui.invoke(CLIPBOARD, "read").result == {}


def read_offer(launcher, target, data):
    app = launcher.start_ready()
    launcher.desktop.clipboard_offer(target, data)
    return app.ui.invoke(CLIPBOARD, "read").result


def test_read_html_in_utf8(launcher):
    result = read_offer(launcher, "text/html", "<p>Grüße</p>".encode())
    assert result["html"] == "<p>Grüße</p>"
    assert "text/html" in result["types"]


def test_read_html_in_utf16_with_a_byte_order_mark(launcher):
    result = read_offer(launcher, "text/html", b"\xff\xfe" + "<p>Grüße</p>".encode("utf-16-le"))
    assert result["html"] == "<p>Grüße</p>"


def test_read_a_fragment(launcher):
    result = read_offer(launcher, "application/x-wrenpad-fragment", b'{"n":1}')
    assert result["wren"] == '{"n":1}'


def test_read_code_editor_data_with_invalid_utf8_repaired(launcher):
    result = read_offer(launcher, "vscode-editor-data", b'{"mode":"c\xff"}')
    assert result["vscode"] == '{"mode":"c\ufffd"}'


def test_read_an_image_offered_only_as_bmp_comes_back_as_png(launcher):
    result = read_offer(launcher, "image/bmp", bmp_bytes())
    assert result["imageMime"] == "image/png"
    assert result["image"].startswith(b"\x89PNG\r\n\x1a\n")


def test_read_two_copied_files(launcher):
    result = read_offer(launcher, "text/uri-list",
                        b"file:///tmp/a%20b.txt\r\nfile:///tmp/c.txt\r\n")
    assert result["files"] == ["/tmp/a b.txt", "/tmp/c.txt"]
    assert "text/uri-list" in result["types"]
