#include <gtest/gtest.h>

#include <csignal>

#include "host_test_support.h"
#include "my_application.h"

namespace {

// Runs the application object as main() does, without a driver: the stand-in
// plays a minimal UI program that answers "shutdown" with "quit".
class MyApplicationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    standin_clear_registered_plugins();
    application_ = my_application_new();
    g_signal_connect_after(application_, "activate", G_CALLBACK(activated_cb), this);
  }

  void TearDown() override { g_clear_object(&application_); }

  static void activated_cb(GApplication* application, MyApplicationTest* self) {
    if (self->window_ != nullptr) {
      return;
    }
    GList* windows = gtk_application_get_windows(GTK_APPLICATION(application));
    ASSERT_NE(windows, nullptr);
    self->window_ = GTK_WINDOW(windows->data);
    self->shown_at_activation_ = gtk_widget_get_visible(GTK_WIDGET(self->window_));
    g_idle_add_once(steps_cb, self);
  }

  static void steps_cb(gpointer user_data) {
    auto* self = static_cast<MyApplicationTest*>(user_data);
    self->steps();
    // Ends the run the way the user does; the minimal UI program quits.
    raise(SIGTERM);
  }

  virtual void steps() {}

  int run() {
    char program[] = "wrenpad";
    char* argv[] = {program, nullptr};
    return g_application_run(G_APPLICATION(application_), 1, argv);
  }

  MyApplication* application_ = nullptr;
  GtkWindow* window_ = nullptr;
  bool shown_at_activation_ = true;
};

class FirstStart : public MyApplicationTest {
 protected:
  void steps() override {
    GtkWidget* view = gtk_bin_get_child(GTK_BIN(window_));
    ASSERT_TRUE(FL_IS_VIEW(view));
    ASSERT_TRUE(host_test_wait_for([&] { return gtk_widget_get_visible(GTK_WIDGET(window_)); }));
    EXPECT_TRUE(standin_view_first_frame_emitted(FL_VIEW(view)));
    EXPECT_EQ(gtk_window_get_focus(window_), view);

    // Bare Xvfb has no window manager: the plain title, no header bar.
    EXPECT_STREQ(gtk_window_get_title(window_), "Wrenpad");
    EXPECT_EQ(gtk_window_get_titlebar(window_), nullptr);
    gint width = 0;
    gint height = 0;
    gtk_window_get_default_size(window_, &width, &height);
    EXPECT_EQ(width, 1280);
    EXPECT_EQ(height, 720);

    g_auto(GStrv) plugins = standin_registered_plugins();
    const char* expected[] = {
        "DesktopDropPlugin=desktop_drop_plugin_register_with_registrar",
        "FileSelectorPlugin=file_selector_plugin_register_with_registrar",
        "FlutterGemmaPlugin=flutter_gemma_plugin_register_with_registrar",
        "FlutterSecureStorageLinuxPlugin="
        "flutter_secure_storage_linux_plugin_register_with_registrar",
        "GtkPlugin=gtk_plugin_register_with_registrar",
        "HotkeyManagerLinuxPlugin=hotkey_manager_linux_plugin_register_with_registrar",
        "PasteboardPlugin=pasteboard_plugin_register_with_registrar",
        "RecordLinuxPlugin=record_linux_plugin_register_with_registrar",
        "ScreenRetrieverLinuxPlugin=screen_retriever_linux_plugin_register_with_registrar",
        "TrayManagerPlugin=tray_manager_plugin_register_with_registrar",
        "UrlLauncherPlugin=url_launcher_plugin_register_with_registrar",
        "WindowManagerPlugin=window_manager_plugin_register_with_registrar",
    };
    ASSERT_EQ(g_strv_length(plugins), G_N_ELEMENTS(expected));
    for (guint i = 0; i < G_N_ELEMENTS(expected); i++) {
      EXPECT_STREQ(plugins[i], expected[i]) << i;
    }

    // Every channel answers on the engine's messenger.
    FlBinaryMessenger* messenger = fl_engine_get_binary_messenger(fl_view_get_engine(FL_VIEW(view)));
    const struct {
      const char* channel;
      const char* method;
    } calls[] = {{"wrenpad/linux", "isWayland"},
                 {"wrenpad/rich_clipboard", "read"},
                 {"wrenpad/region", "region"},
                 {"wrenpad/system_shutdown", "unknown"}};
    for (const auto& call : calls) {
      g_autoptr(FlMethodResponse) response =
          host_test_invoke(messenger, call.channel, call.method, nullptr);
      EXPECT_TRUE(FL_IS_METHOD_SUCCESS_RESPONSE(response) ||
                  FL_IS_METHOD_NOT_IMPLEMENTED_RESPONSE(response))
          << call.channel;
      EXPECT_EQ(FL_IS_METHOD_NOT_IMPLEMENTED_RESPONSE(response),
                g_str_equal(call.method, "unknown"))
          << call.channel;
    }
    g_autoptr(FlValue) size = fl_value_new_map();
    fl_value_set_string_take(size, "width", fl_value_new_float(640.0));
    fl_value_set_string_take(size, "height", fl_value_new_float(480.0));
    g_autoptr(FlMethodResponse) sized =
        host_test_invoke(messenger, "wrenpad/linux", "setMinimumSize", size);
    EXPECT_TRUE(FL_IS_METHOD_SUCCESS_RESPONSE(sized));
    gint minimum_width = 0;
    gint minimum_height = 0;
    gtk_widget_get_size_request(view, &minimum_width, &minimum_height);
    EXPECT_EQ(minimum_width, 640);
    EXPECT_EQ(minimum_height, 480);

    // A later activation (the launcher, say) makes no second window.
    g_application_activate(G_APPLICATION(application_));
    EXPECT_EQ(g_list_length(gtk_application_get_windows(GTK_APPLICATION(application_))), 1u);
  }
};

TEST_F(FirstStart, ShowsTheWindowAfterTheFirstFrameAndQuitsThroughTheUiProgram) {
  EXPECT_EQ(run(), 0);
  EXPECT_FALSE(shown_at_activation_);
  EXPECT_STREQ(g_get_prgname(), "com.ostrelle.wrenpad");
  EXPECT_STREQ(g_application_get_application_id(G_APPLICATION(application_)),
               "com.ostrelle.wrenpad");
  EXPECT_EQ(g_application_get_flags(G_APPLICATION(application_)),
            G_APPLICATION_HANDLES_COMMAND_LINE);
  gboolean register_session = FALSE;
  g_object_get(application_, "register-session", &register_session, nullptr);
  EXPECT_TRUE(register_session);
  // Dispose frees each channel object once; a second dispose finds nothing
  // left to free (AddressSanitizer reports a double free otherwise).
  g_object_run_dispose(G_OBJECT(application_));
  g_object_run_dispose(G_OBJECT(application_));
}

}  // namespace
