#include "rich_clipboard.h"

#include <cstring>

static constexpr char kChannelName[] = "wrenpad/rich_clipboard";
static constexpr char kPngMime[] = "image/png";

// The numbers under which "write" offers each form; get_cb answers by them.
enum TargetInfo : guint {
  kTextInfo = 1,
  kHtmlInfo = 2,
  kWrenInfo = 3,
  kImageInfo = 4,
};

static FlMethodResponse* error_response(const gchar* code, const gchar* message) {
  return FL_METHOD_RESPONSE(fl_method_error_response_new(code, message, nullptr));
}

static void payload_free(ClipboardPayload* payload) {
  g_clear_pointer(&payload->text, g_free);
  g_clear_pointer(&payload->html, g_bytes_unref);
  g_clear_pointer(&payload->wren, g_bytes_unref);
  g_clear_pointer(&payload->image, g_bytes_unref);
  g_free(payload);
}

// A non-empty string under key, or NULL: other types count as absent.
static const gchar* lookup_string(FlValue* map, const gchar* key) {
  FlValue* value = fl_value_lookup_string(map, key);
  if (value == nullptr || fl_value_get_type(value) != FL_VALUE_TYPE_STRING) {
    return nullptr;
  }
  const gchar* text = fl_value_get_string(value);
  return text[0] != '\0' ? text : nullptr;
}

static GBytes* lookup_string_bytes(FlValue* map, const gchar* key) {
  const gchar* text = lookup_string(map, key);
  return text != nullptr ? g_bytes_new(text, strlen(text)) : nullptr;
}

static GBytes* lookup_byte_list(FlValue* map, const gchar* key) {
  FlValue* value = fl_value_lookup_string(map, key);
  if (value == nullptr || fl_value_get_type(value) != FL_VALUE_TYPE_UINT8_LIST ||
      fl_value_get_length(value) == 0) {
    return nullptr;
  }
  return g_bytes_new(fl_value_get_uint8_list(value), fl_value_get_length(value));
}

static void set_bytes(GtkSelectionData* selection, GBytes* bytes) {
  gsize size = 0;
  const guchar* data = static_cast<const guchar*>(g_bytes_get_data(bytes, &size));
  gtk_selection_data_set(selection, gtk_selection_data_get_target(selection), 8, data,
                         static_cast<gint>(size));
}

static void get_cb(GtkClipboard* clipboard, GtkSelectionData* selection, guint info,
                   gpointer user_data) {
  (void)clipboard;
  ClipboardPayload* payload = static_cast<ClipboardPayload*>(user_data);
  switch (info) {
    case kTextInfo:
      gtk_selection_data_set_text(selection, payload->text, -1);
      break;
    case kHtmlInfo:
      set_bytes(selection, payload->html);
      break;
    case kWrenInfo:
      set_bytes(selection, payload->wren);
      break;
    case kImageInfo:
      set_bytes(selection, payload->image);
      break;
    default:
      break;
  }
}

static void clear_cb(GtkClipboard* clipboard, gpointer user_data) {
  (void)clipboard;
  payload_free(static_cast<ClipboardPayload*>(user_data));
}

static FlMethodResponse* write_clipboard(FlValue* args) {
  if (args == nullptr || fl_value_get_type(args) != FL_VALUE_TYPE_MAP) {
    return error_response("bad-arguments", "Expected a map");
  }
  ClipboardPayload* payload = g_new0(ClipboardPayload, 1);
  payload->text = g_strdup(lookup_string(args, "text"));
  payload->html = lookup_string_bytes(args, "html");
  payload->wren = lookup_string_bytes(args, "wren");
  payload->image = lookup_byte_list(args, "image");
  const gchar* image_mime = lookup_string(args, "imageMime");
  payload->image_target = gdk_atom_intern(image_mime != nullptr ? image_mime : kPngMime, FALSE);

  GtkTargetList* list = gtk_target_list_new(nullptr, 0);
  if (payload->text != nullptr) {
    gtk_target_list_add_text_targets(list, kTextInfo);
  }
  if (payload->html != nullptr) {
    gtk_target_list_add(list, gdk_atom_intern_static_string(kHtmlTarget), 0, kHtmlInfo);
  }
  if (payload->wren != nullptr) {
    gtk_target_list_add(list, gdk_atom_intern_static_string(kWrenTarget), 0, kWrenInfo);
  }
  if (payload->image != nullptr) {
    gtk_target_list_add(list, payload->image_target, 0, kImageInfo);
  }
  gint n_targets = 0;
  GtkTargetEntry* targets = gtk_target_table_new_from_list(list, &n_targets);
  gtk_target_list_unref(list);

  GtkClipboard* clipboard = gtk_clipboard_get(GDK_SELECTION_CLIPBOARD);
  FlMethodResponse* response = nullptr;
  if (n_targets == 0) {
    payload_free(payload);
    gtk_clipboard_clear(clipboard);
    response = FL_METHOD_RESPONSE(fl_method_success_response_new(nullptr));
  } else if (gtk_clipboard_set_with_data(clipboard, targets, n_targets, get_cb, clear_cb,
                                         payload)) {
    // Lets a clipboard manager keep every form once this program exits.
    gtk_clipboard_set_can_store(clipboard, nullptr, 0);
    response = FL_METHOD_RESPONSE(fl_method_success_response_new(nullptr));
  } else {
    // A refused offer never took ownership, so clear_cb will not run.
    payload_free(payload);
    response = error_response("unavailable", "The clipboard could not be written");
  }
  gtk_target_table_free(targets, n_targets);
  return response;
}

static gboolean has_target(GdkAtom* targets, gint n_targets, GdkAtom target) {
  for (gint i = 0; i < n_targets; i++) {
    if (targets[i] == target) {
      return TRUE;
    }
  }
  return FALSE;
}

// Converts clipboard text to UTF-8: browsers on some systems store HTML as
// UTF-16 with a byte-order mark, and owners may offer broken UTF-8.
static gchar* decode_text(const guchar* data, gsize length) {
  if (length >= 2 && data[0] == 0xFF && data[1] == 0xFE) {
    return g_convert(reinterpret_cast<const gchar*>(data + 2), length - 2, "UTF-8", "UTF-16LE",
                     nullptr, nullptr, nullptr);
  }
  if (length >= 2 && data[0] == 0xFE && data[1] == 0xFF) {
    return g_convert(reinterpret_cast<const gchar*>(data + 2), length - 2, "UTF-8", "UTF-16BE",
                     nullptr, nullptr, nullptr);
  }
  return g_utf8_make_valid(reinterpret_cast<const gchar*>(data), length);
}

static void read_string(GtkClipboard* clipboard, FlValue* map, GdkAtom target, const gchar* key) {
  GtkSelectionData* selection = gtk_clipboard_wait_for_contents(clipboard, target);
  if (selection == nullptr) {
    return;
  }
  gint length = 0;
  const guchar* data = gtk_selection_data_get_data_with_length(selection, &length);
  if (data != nullptr && length >= 1) {
    g_autofree gchar* text = decode_text(data, static_cast<gsize>(length));
    if (text != nullptr && text[0] != '\0') {
      fl_value_set_string_take(map, key, fl_value_new_string(text));
    }
  }
  gtk_selection_data_free(selection);
}

static void set_image(FlValue* map, const guchar* data, gsize length) {
  fl_value_set_string_take(map, "image", fl_value_new_uint8_list(data, length));
  fl_value_set_string_take(map, "imageMime", fl_value_new_string(kPngMime));
}

// Returns TRUE when the owner answered for "image/png", even with no bytes:
// an answered but empty PNG ends the image step without a conversion.
static gboolean read_png(GtkClipboard* clipboard, FlValue* map) {
  GtkSelectionData* selection =
      gtk_clipboard_wait_for_contents(clipboard, gdk_atom_intern_static_string(kPngMime));
  if (selection == nullptr) {
    return FALSE;
  }
  gint length = 0;
  const guchar* data = gtk_selection_data_get_data_with_length(selection, &length);
  if (data != nullptr && length > 0) {
    set_image(map, data, static_cast<gsize>(length));
  }
  gtk_selection_data_free(selection);
  return TRUE;
}

static void read_converted_image(GtkClipboard* clipboard, FlValue* map) {
  g_autoptr(GdkPixbuf) pixbuf = gtk_clipboard_wait_for_image(clipboard);
  if (pixbuf == nullptr) {
    return;
  }
  g_autofree gchar* buffer = nullptr;
  gsize size = 0;
  if (gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, "png", nullptr, nullptr)) {
    set_image(map, reinterpret_cast<const guchar*>(buffer), size);
  }
}

static void read_files(GtkClipboard* clipboard, FlValue* map) {
  g_auto(GStrv) uris = gtk_clipboard_wait_for_uris(clipboard);
  if (uris == nullptr) {
    return;
  }
  FlValue* files = fl_value_new_list();
  for (gchar** uri = uris; *uri != nullptr; uri++) {
    g_autofree gchar* file = g_filename_from_uri(*uri, nullptr, nullptr);
    if (file != nullptr) {
      fl_value_append_take(files, fl_value_new_string(file));
    }
  }
  fl_value_set_string_take(map, "files", files);
}

// Each wait runs a nested main loop until the owner answers, so other
// callbacks may run in between.
static FlMethodResponse* read_clipboard() {
  GtkClipboard* clipboard = gtk_clipboard_get(GDK_SELECTION_CLIPBOARD);
  g_autoptr(FlValue) map = fl_value_new_map();
  g_autofree GdkAtom* targets = nullptr;
  gint n_targets = 0;
  if (!gtk_clipboard_wait_for_targets(clipboard, &targets, &n_targets)) {
    return FL_METHOD_RESPONSE(fl_method_success_response_new(map));
  }

  FlValue* types = fl_value_new_list();
  for (gint i = 0; i < n_targets; i++) {
    g_autofree gchar* name = gdk_atom_name(targets[i]);
    fl_value_append_take(types, fl_value_new_string(name));
  }
  fl_value_set_string_take(map, "types", types);

  if (gtk_targets_include_text(targets, n_targets)) {
    g_autofree gchar* text = gtk_clipboard_wait_for_text(clipboard);
    if (text != nullptr && text[0] != '\0') {
      fl_value_set_string_take(map, "text", fl_value_new_string(text));
    }
  }
  const struct {
    const gchar* target;
    const gchar* key;
  } strings[] = {{kHtmlTarget, "html"}, {kWrenTarget, "wren"}, {kVsCodeTarget, "vscode"}};
  for (const auto& entry : strings) {
    GdkAtom atom = gdk_atom_intern_static_string(entry.target);
    if (has_target(targets, n_targets, atom)) {
      read_string(clipboard, map, atom, entry.key);
    }
  }

  gboolean png_answered = has_target(targets, n_targets, gdk_atom_intern_static_string(kPngMime)) &&
                          read_png(clipboard, map);
  if (!png_answered && gtk_targets_include_image(targets, n_targets, FALSE)) {
    read_converted_image(clipboard, map);
  }

  if (gtk_targets_include_uri(targets, n_targets)) {
    read_files(clipboard, map);
  }
  return FL_METHOD_RESPONSE(fl_method_success_response_new(map));
}

static void method_call_cb(FlMethodChannel* channel, FlMethodCall* method_call,
                           gpointer user_data) {
  (void)channel;
  (void)user_data;
  const gchar* name = fl_method_call_get_name(method_call);
  g_autoptr(FlMethodResponse) response = nullptr;
  if (strcmp(name, "write") == 0) {
    response = write_clipboard(fl_method_call_get_args(method_call));
  } else if (strcmp(name, "read") == 0) {
    response = read_clipboard();
  } else {
    response = FL_METHOD_RESPONSE(fl_method_not_implemented_response_new());
  }
  fl_method_call_respond(method_call, response, nullptr);
}

RichClipboard* rich_clipboard_new(FlBinaryMessenger* messenger) {
  g_return_val_if_fail(FL_IS_BINARY_MESSENGER(messenger), nullptr);
  RichClipboard* clipboard = g_new0(RichClipboard, 1);
  g_autoptr(FlStandardMethodCodec) codec = fl_standard_method_codec_new();
  clipboard->channel = fl_method_channel_new(messenger, kChannelName, FL_METHOD_CODEC(codec));
  fl_method_channel_set_method_call_handler(clipboard->channel, method_call_cb, nullptr, nullptr);
  return clipboard;
}

void rich_clipboard_free(RichClipboard* clipboard) {
  if (clipboard == nullptr) {
    return;
  }
  g_clear_object(&clipboard->channel);
  g_free(clipboard);
}
