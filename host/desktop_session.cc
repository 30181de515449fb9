#include "desktop_session.h"

#include <cstring>

#ifdef GDK_WINDOWING_WAYLAND
#include <gdk/gdkwayland.h>
#endif

static constexpr char kChannelName[] = "wrenpad/linux";
static constexpr char kBadArguments[] = "bad-arguments";
static constexpr char kSizeMessage[] = "width and height are numbers";
static constexpr gint kBusTimeoutMs = 2000;

static constexpr char kWatcherName[] = "org.kde.StatusNotifierWatcher";
static constexpr char kWatcherPath[] = "/StatusNotifierWatcher";
static constexpr char kHostProperty[] = "IsStatusNotifierHostRegistered";
static constexpr char kSecretsName[] = "org.freedesktop.secrets";
static constexpr char kBusName[] = "org.freedesktop.DBus";
static constexpr char kBusPath[] = "/org/freedesktop/DBus";

static FlMethodResponse* success_response(FlValue* result) {
  return FL_METHOD_RESPONSE(fl_method_success_response_new(result));
}

static void respond_bool(FlMethodCall* method_call, gboolean answer) {
  g_autoptr(FlValue) result = fl_value_new_bool(answer);
  g_autoptr(FlMethodResponse) response = success_response(result);
  fl_method_call_respond(method_call, response, nullptr);
}

// A size the view can take: a finite number whose truncation is a valid size
// request (-1 leaves that dimension to the widget's natural size). Anything
// else would make the integer conversion undefined or the request invalid.
static gboolean read_size(FlValue* args, const gchar* key, gint* size) {
  FlValue* value = fl_value_lookup_string(args, key);
  if (value == nullptr || fl_value_get_type(value) != FL_VALUE_TYPE_FLOAT) {
    return FALSE;
  }
  double number = fl_value_get_float(value);
  if (!(number > -2.0 && number < static_cast<double>(G_MAXINT) + 1.0)) {
    return FALSE;
  }
  *size = static_cast<gint>(number);
  return TRUE;
}

static FlMethodResponse* set_minimum_size(DesktopSession* session, FlValue* args) {
  gint width = 0;
  gint height = 0;
  if (args == nullptr || fl_value_get_type(args) != FL_VALUE_TYPE_MAP ||
      !read_size(args, "width", &width) || !read_size(args, "height", &height)) {
    return FL_METHOD_RESPONSE(fl_method_error_response_new(kBadArguments, kSizeMessage, nullptr));
  }
  if (session->view != nullptr) {
    gtk_widget_set_size_request(session->view, width, height);
  }
  return success_response(nullptr);
}

static gboolean is_wayland() {
#ifdef GDK_WINDOWING_WAYLAND
  GdkDisplay* display = gdk_display_get_default();
  return display != nullptr && GDK_IS_WAYLAND_DISPLAY(display);
#else
  return FALSE;
#endif
}

static void host_cb(GObject* source, GAsyncResult* result, gpointer user_data) {
  g_autoptr(FlMethodCall) method_call = FL_METHOD_CALL(user_data);
  g_autoptr(GVariant) reply =
      g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
  gboolean answer = FALSE;
  if (reply != nullptr) {
    g_autoptr(GVariant) value = nullptr;
    g_variant_get(reply, "(v)", &value);
    answer = g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN) && g_variant_get_boolean(value);
  }
  respond_bool(method_call, answer);
}

static void has_tray_host(FlMethodCall* method_call) {
  g_autoptr(GDBusConnection) bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  if (bus == nullptr) {
    respond_bool(method_call, FALSE);
    return;
  }
  g_dbus_connection_call(bus, kWatcherName, kWatcherPath, "org.freedesktop.DBus.Properties",
                         "Get", g_variant_new("(ss)", kWatcherName, kHostProperty),
                         G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NO_AUTO_START, kBusTimeoutMs,
                         nullptr, host_cb, g_object_ref(method_call));
}

// When the keyring's presence cannot be determined the answer is TRUE: the UI
// program then tries the keyring and handles its failure itself, whereas a
// wrong FALSE would make it store secrets less safely without need.
static gboolean has_keyring() {
  g_autoptr(GDBusConnection) bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  if (bus == nullptr) {
    return TRUE;
  }
  g_autoptr(GVariant) owned = g_dbus_connection_call_sync(
      bus, kBusName, kBusPath, kBusName, "NameHasOwner", g_variant_new("(s)", kSecretsName),
      G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NO_AUTO_START, kBusTimeoutMs, nullptr, nullptr);
  if (owned != nullptr) {
    gboolean has_owner = FALSE;
    g_variant_get(owned, "(b)", &has_owner);
    if (has_owner) {
      return TRUE;
    }
  }
  g_autoptr(GVariant) activatable = g_dbus_connection_call_sync(
      bus, kBusName, kBusPath, kBusName, "ListActivatableNames", nullptr, G_VARIANT_TYPE("(as)"),
      G_DBUS_CALL_FLAGS_NO_AUTO_START, kBusTimeoutMs, nullptr, nullptr);
  if (activatable == nullptr) {
    return TRUE;
  }
  g_autofree const gchar** names = nullptr;
  g_variant_get(activatable, "(^a&s)", &names);
  return g_strv_contains(names, kSecretsName);
}

static void method_call_cb(FlMethodChannel* channel, FlMethodCall* method_call,
                           gpointer user_data) {
  (void)channel;
  DesktopSession* session = static_cast<DesktopSession*>(user_data);
  const gchar* name = fl_method_call_get_name(method_call);
  g_autoptr(FlMethodResponse) response = nullptr;
  if (strcmp(name, "setMinimumSize") == 0) {
    response = set_minimum_size(session, fl_method_call_get_args(method_call));
  } else if (strcmp(name, "isWayland") == 0) {
    g_autoptr(FlValue) result = fl_value_new_bool(is_wayland());
    response = success_response(result);
  } else if (strcmp(name, "hasTrayHost") == 0) {
    has_tray_host(method_call);
    return;
  } else if (strcmp(name, "hasKeyring") == 0) {
    g_autoptr(FlValue) result = fl_value_new_bool(has_keyring());
    response = success_response(result);
  } else {
    response = FL_METHOD_RESPONSE(fl_method_not_implemented_response_new());
  }
  fl_method_call_respond(method_call, response, nullptr);
}

DesktopSession* desktop_session_new(FlBinaryMessenger* messenger, FlView* view) {
  g_return_val_if_fail(FL_IS_BINARY_MESSENGER(messenger), nullptr);
  g_return_val_if_fail(FL_IS_VIEW(view), nullptr);
  DesktopSession* session = g_new0(DesktopSession, 1);
  session->view = GTK_WIDGET(view);
  g_object_add_weak_pointer(G_OBJECT(session->view), reinterpret_cast<gpointer*>(&session->view));
  g_autoptr(FlStandardMethodCodec) codec = fl_standard_method_codec_new();
  session->channel = fl_method_channel_new(messenger, kChannelName, FL_METHOD_CODEC(codec));
  fl_method_channel_set_method_call_handler(session->channel, method_call_cb, session, nullptr);
  return session;
}

void desktop_session_free(DesktopSession* session) {
  if (session == nullptr) {
    return;
  }
  if (session->view != nullptr) {
    g_object_remove_weak_pointer(G_OBJECT(session->view),
                                 reinterpret_cast<gpointer*>(&session->view));
    session->view = nullptr;
  }
  // The channel may be kept alive by the messenger; it must not call back into
  // a freed record.
  fl_method_channel_set_method_call_handler(session->channel, nullptr, nullptr, nullptr);
  g_clear_object(&session->channel);
  g_free(session);
}

void desktop_session_request_new_note(DesktopSession* session) {
  if (session == nullptr) {
    return;
  }
  fl_method_channel_invoke_method(session->channel, "newNote", nullptr, nullptr, nullptr,
                                  nullptr);
}
