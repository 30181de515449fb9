#include <gtest/gtest.h>

#include <cmath>

#include "desktop_session.h"
#include "host_test_support.h"

namespace {

constexpr char kChannel[] = "wrenpad/linux";
constexpr char kWatcherXml[] =
    "<node><interface name='org.kde.StatusNotifierWatcher'>"
    "<property name='IsStatusNotifierHostRegistered' type='%s' access='read'/>"
    "</interface></node>";

class DesktopSessionTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(gtk_init_check(nullptr, nullptr)); }

  void SetUp() override {
    messenger_ = standin_messenger_new();
    g_autoptr(FlDartProject) project = fl_dart_project_new();
    view_ = GTK_WIDGET(g_object_ref_sink(fl_view_new(project)));
    session_ = desktop_session_new(messenger_, FL_VIEW(view_));
  }

  void TearDown() override {
    desktop_session_free(session_);
    if (view_ != nullptr) {
      gtk_widget_destroy(view_);
      g_clear_object(&view_);
    }
    g_clear_object(&messenger_);
    if (bus_ != nullptr) {
      g_clear_object(&service_);
      g_test_dbus_down(bus_);
      g_clear_object(&bus_);
    }
    g_clear_pointer(&service_dir_, g_free);
  }

  FlMethodResponse* call(const char* method, FlValue* args = nullptr) {
    return host_test_invoke(messenger_, kChannel, method, args);
  }

  // The boolean answer of a method, or a test failure.
  bool ask(const char* method) {
    g_autoptr(FlMethodResponse) response = call(method);
    FlValue* result = host_test_success_result(response);
    if (result == nullptr || fl_value_get_type(result) != FL_VALUE_TYPE_BOOL) {
      ADD_FAILURE() << method << " did not answer a boolean";
      return false;
    }
    return fl_value_get_bool(result);
  }

  // A private session bus whose only activatable services are those given,
  // and a second connection to it playing the desktop's services.
  void start_bus(const char* activatable_name = nullptr) {
    service_dir_ = g_dir_make_tmp("wrenpad-services-XXXXXX", nullptr);
    ASSERT_NE(service_dir_, nullptr);
    if (activatable_name != nullptr) {
      g_autofree gchar* path = g_strdup_printf("%s/%s.service", service_dir_, activatable_name);
      g_autofree gchar* content =
          g_strdup_printf("[D-BUS Service]\nName=%s\nExec=/bin/false\n", activatable_name);
      ASSERT_TRUE(g_file_set_contents(path, content, -1, nullptr));
    }
    bus_ = g_test_dbus_new(G_TEST_DBUS_NONE);
    g_test_dbus_add_service_dir(bus_, service_dir_);
    g_test_dbus_up(bus_);
    g_autoptr(GError) error = nullptr;
    service_ = g_dbus_connection_new_for_address_sync(
        g_test_dbus_get_bus_address(bus_),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    ASSERT_NE(service_, nullptr) << error->message;
  }

  void own_name(const char* name) {
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
        service_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "RequestName", g_variant_new("(su)", name, 0u), G_VARIANT_TYPE("(u)"),
        G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &error);
    ASSERT_NE(reply, nullptr) << error->message;
  }

  // A tray watcher whose host property has the given type and value.
  void serve_watcher(const char* type, GVariant* value) {
    g_autofree gchar* xml = g_strdup_printf(kWatcherXml, type);
    g_autoptr(GDBusNodeInfo) node = g_dbus_node_info_new_for_xml(xml, nullptr);
    ASSERT_NE(node, nullptr);
    watcher_value_ = g_variant_ref_sink(value);
    static const GDBusInterfaceVTable vtable = {nullptr, get_property_cb, nullptr, {}};
    ASSERT_NE(g_dbus_connection_register_object(service_, "/StatusNotifierWatcher",
                                                node->interfaces[0], &vtable, watcher_value_,
                                                reinterpret_cast<GDestroyNotify>(g_variant_unref),
                                                nullptr),
              0u);
    own_name("org.kde.StatusNotifierWatcher");
  }

  static GVariant* get_property_cb(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                                   const gchar*, GError**, gpointer user_data) {
    return g_variant_ref(static_cast<GVariant*>(user_data));
  }

  FlBinaryMessenger* messenger_ = nullptr;
  GtkWidget* view_ = nullptr;
  DesktopSession* session_ = nullptr;
  GTestDBus* bus_ = nullptr;
  GDBusConnection* service_ = nullptr;
  GVariant* watcher_value_ = nullptr;  // owned by the registration
  gchar* service_dir_ = nullptr;
};

FlValue* size_map(FlValue* width, FlValue* height) {
  FlValue* map = fl_value_new_map();
  if (width != nullptr) {
    fl_value_set_string_take(map, "width", width);
  }
  if (height != nullptr) {
    fl_value_set_string_take(map, "height", height);
  }
  return map;
}

TEST_F(DesktopSessionTest, SetMinimumSizeTruncatesTowardZero) {
  const struct {
    double width, height;
    gint expected_width, expected_height;
  } cases[] = {
      {800.0, 600.0, 800, 600},
      {799.9, 600.99, 799, 600},
      {1.0, 1.5, 1, 1},
      {-1.0, 300.0, -1, 300},
  };
  for (const auto& c : cases) {
    g_autoptr(FlValue) args =
        size_map(fl_value_new_float(c.width), fl_value_new_float(c.height));
    g_autoptr(FlMethodResponse) response = call("setMinimumSize", args);
    FlValue* result = host_test_success_result(response);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(fl_value_get_type(result), FL_VALUE_TYPE_NULL);
    gint width = 0;
    gint height = 0;
    gtk_widget_get_size_request(view_, &width, &height);
    EXPECT_EQ(width, c.expected_width) << c.width;
    EXPECT_EQ(height, c.expected_height) << c.height;
  }
}

TEST_F(DesktopSessionTest, SetMinimumSizeRefusesAnythingButTwoNumbers) {
  FlValue* cases[] = {
      size_map(fl_value_new_int(800), fl_value_new_float(600.0)),
      size_map(fl_value_new_float(800.0), fl_value_new_int(600)),
      size_map(fl_value_new_float(800.0), nullptr),
      size_map(nullptr, fl_value_new_float(600.0)),
      size_map(fl_value_new_string("800"), fl_value_new_float(600.0)),
      size_map(fl_value_new_float(NAN), fl_value_new_float(600.0)),
      size_map(fl_value_new_float(INFINITY), fl_value_new_float(600.0)),
      size_map(fl_value_new_float(800.0), fl_value_new_float(-5.0)),
      size_map(fl_value_new_float(800.0), fl_value_new_float(3e9)),
      fl_value_new_list(),
      fl_value_new_float(800.0),
      fl_value_new_null(),
  };
  for (FlValue* args : cases) {
    g_autofree gchar* text = fl_value_to_string(args);
    SCOPED_TRACE(text);
    g_autoptr(FlMethodResponse) response = call("setMinimumSize", args);
    host_test_expect_error(response, "bad-arguments", "width and height are numbers");
    gint width = 0;
    gint height = 0;
    gtk_widget_get_size_request(view_, &width, &height);
    EXPECT_EQ(width, -1);
    EXPECT_EQ(height, -1);
    fl_value_unref(args);
  }
}

TEST_F(DesktopSessionTest, SetMinimumSizeAfterTheViewIsGoneStillSucceeds) {
  gtk_widget_destroy(view_);
  g_clear_object(&view_);
  EXPECT_EQ(session_->view, nullptr);
  g_autoptr(FlValue) args = size_map(fl_value_new_float(800.0), fl_value_new_float(600.0));
  g_autoptr(FlMethodResponse) response = call("setMinimumSize", args);
  FlValue* result = host_test_success_result(response);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(fl_value_get_type(result), FL_VALUE_TYPE_NULL);
}

TEST_F(DesktopSessionTest, IsWaylandIsFalseUnderX11) { EXPECT_FALSE(ask("isWayland")); }

TEST_F(DesktopSessionTest, OtherMethodsAreNotImplemented) {
  for (const char* method : {"newNote", "setMaximumSize", "iswayland", ""}) {
    g_autoptr(FlMethodResponse) response = call(method);
    EXPECT_TRUE(FL_IS_METHOD_NOT_IMPLEMENTED_RESPONSE(response)) << method;
  }
}

TEST_F(DesktopSessionTest, RequestNewNoteSendsOneCallEach) {
  UiRecorder ui(messenger_);
  desktop_session_request_new_note(session_);
  desktop_session_request_new_note(session_);
  desktop_session_request_new_note(nullptr);
  ASSERT_TRUE(host_test_wait_for([&] { return ui.calls(kChannel).size() >= 2; }));
  host_test_drain();
  EXPECT_EQ(ui.calls(kChannel), (std::vector<std::string>{"newNote", "newNote"}));
  const gchar* name = nullptr;
  FlValue* args = nullptr;
  ASSERT_TRUE(standin_ui_message_decode_method_call(ui.last(kChannel, "newNote"), &name, &args));
  EXPECT_TRUE(args == nullptr || fl_value_get_type(args) == FL_VALUE_TYPE_NULL);
}

TEST_F(DesktopSessionTest, WithoutASessionBusThereIsNoTrayButMaybeAKeyring) {
  g_setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/wrenpad-test-bus", TRUE);
  EXPECT_FALSE(ask("hasTrayHost"));
  EXPECT_TRUE(ask("hasKeyring"));
}

TEST_F(DesktopSessionTest, HasTrayHostWithoutAWatcherIsFalse) {
  start_bus();
  EXPECT_FALSE(ask("hasTrayHost"));
}

TEST_F(DesktopSessionTest, HasTrayHostFollowsTheWatchersProperty) {
  start_bus();
  serve_watcher("b", g_variant_new_boolean(TRUE));
  EXPECT_TRUE(ask("hasTrayHost"));
}

TEST_F(DesktopSessionTest, HasTrayHostIsFalseWhenNoHostIsRegistered) {
  start_bus();
  serve_watcher("b", g_variant_new_boolean(FALSE));
  EXPECT_FALSE(ask("hasTrayHost"));
}

TEST_F(DesktopSessionTest, HasTrayHostIsFalseForANonBooleanProperty) {
  start_bus();
  serve_watcher("s", g_variant_new_string("true"));
  EXPECT_FALSE(ask("hasTrayHost"));
}

TEST_F(DesktopSessionTest, HasKeyringWhenTheSecretServiceRuns) {
  start_bus();
  own_name("org.freedesktop.secrets");
  EXPECT_TRUE(ask("hasKeyring"));
}

TEST_F(DesktopSessionTest, HasKeyringWhenTheSecretServiceIsActivatable) {
  start_bus("org.freedesktop.secrets");
  EXPECT_TRUE(ask("hasKeyring"));
}

TEST_F(DesktopSessionTest, NoKeyringWhenTheSecretServiceIsNeitherRunningNorActivatable) {
  start_bus("org.freedesktop.secretsx");
  EXPECT_FALSE(ask("hasKeyring"));
}

TEST_F(DesktopSessionTest, FreeReleasesTheWeakPointerAndAcceptsNull) {
  desktop_session_free(session_);
  session_ = nullptr;
  desktop_session_free(nullptr);
  // A destroyed view would write through a weak pointer left in a freed record.
  gtk_widget_destroy(view_);
  g_clear_object(&view_);
}

}  // namespace
