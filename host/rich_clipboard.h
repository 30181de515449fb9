#pragma once

#include <flutter_linux/flutter_linux.h>
#include <gtk/gtk.h>

// Serves "wrenpad/rich_clipboard": the CLIPBOARD selection with HTML, note
// fragments, images and file lists besides plain text.
struct RichClipboard {
  FlMethodChannel* channel;  // owned
};

// What a successful "write" hands to the clipboard, which owns it until the
// clipboard is cleared or taken over. Byte buffers carry no terminating NUL.
struct ClipboardPayload {
  gchar* text;  // owned, NULL when absent
  GBytes* html;
  GBytes* wren;
  GBytes* image;
  GdkAtom image_target;
};

inline constexpr char kHtmlTarget[] = "text/html";
inline constexpr char kWrenTarget[] = "application/x-wrenpad-fragment";
inline constexpr char kVsCodeTarget[] = "vscode-editor-data";

RichClipboard* rich_clipboard_new(FlBinaryMessenger* messenger);

// Accepts NULL.
void rich_clipboard_free(RichClipboard* clipboard);
