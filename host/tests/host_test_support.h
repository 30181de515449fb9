#pragma once

// Helpers shared by the host tests: calling a channel as the UI program does,
// and recording what the host sends to the UI program.

#include <flutter_linux/standin_testing.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <string>
#include <vector>

// Enough for the slowest in-process answer (two D-Bus timeouts of 2 s).
inline constexpr guint kHostTestTimeoutMs = 8000;

// Calls a host method and returns its response (new reference); a timeout or
// an undecodable reply fails the test and returns NULL.
inline FlMethodResponse* host_test_invoke(FlBinaryMessenger* messenger, const char* channel,
                                          const char* method, FlValue* args) {
  g_autoptr(GError) error = nullptr;
  FlMethodResponse* response = standin_messenger_invoke_host_method(
      messenger, channel, method, args, kHostTestTimeoutMs, &error);
  EXPECT_NE(response, nullptr) << channel << " " << method << ": "
                               << (error != nullptr ? error->message : "");
  return response;
}

// The result of a success response (borrowed), or NULL with a test failure.
inline FlValue* host_test_success_result(FlMethodResponse* response) {
  if (!FL_IS_METHOD_SUCCESS_RESPONSE(response)) {
    ADD_FAILURE() << "expected a success response";
    return nullptr;
  }
  return fl_method_success_response_get_result(FL_METHOD_SUCCESS_RESPONSE(response));
}

// Checks an error reply: its code, its message and that it carries no details.
inline void host_test_expect_error(FlMethodResponse* response, const char* code,
                                   const char* message) {
  ASSERT_TRUE(FL_IS_METHOD_ERROR_RESPONSE(response)) << "expected the error " << code;
  FlMethodErrorResponse* error = FL_METHOD_ERROR_RESPONSE(response);
  EXPECT_STREQ(fl_method_error_response_get_code(error), code);
  EXPECT_STREQ(fl_method_error_response_get_message(error), message);
  FlValue* details = fl_method_error_response_get_details(error);
  EXPECT_TRUE(details == nullptr || fl_value_get_type(details) == FL_VALUE_TYPE_NULL);
}

// Plays the UI program's side for calls that the host makes: keeps every
// message, unanswered, so a test can count them and answer them when it likes.
class UiRecorder {
 public:
  explicit UiRecorder(FlBinaryMessenger* messenger) : messenger_(messenger) {
    standin_messenger_set_ui_handler(messenger_, record_cb, this, nullptr);
  }
  ~UiRecorder() {
    standin_messenger_set_ui_handler(messenger_, nullptr, nullptr, nullptr);
    for (StandinUiMessage* message : messages_) {
      g_object_unref(message);
    }
  }
  UiRecorder(const UiRecorder&) = delete;
  UiRecorder& operator=(const UiRecorder&) = delete;

  // Names of the method calls received on channel, in order.
  std::vector<std::string> calls(const char* channel) const {
    std::vector<std::string> names;
    for (StandinUiMessage* message : messages_) {
      const gchar* name = nullptr;
      FlValue* args = nullptr;
      if (g_strcmp0(standin_ui_message_get_channel(message), channel) == 0 &&
          standin_ui_message_decode_method_call(message, &name, &args)) {
        names.push_back(name);
      }
    }
    return names;
  }

  // The last message received with this method name on channel, or NULL.
  StandinUiMessage* last(const char* channel, const char* method) const {
    for (auto it = messages_.rbegin(); it != messages_.rend(); ++it) {
      const gchar* name = nullptr;
      FlValue* args = nullptr;
      if (g_strcmp0(standin_ui_message_get_channel(*it), channel) == 0 &&
          standin_ui_message_decode_method_call(*it, &name, &args) &&
          g_strcmp0(name, method) == 0) {
        return *it;
      }
    }
    return nullptr;
  }

 private:
  static void record_cb(FlBinaryMessenger* messenger, StandinUiMessage* message,
                        gpointer user_data) {
    (void)messenger;
    static_cast<UiRecorder*>(user_data)->messages_.push_back(
        STANDIN_UI_MESSAGE(g_object_ref(message)));
  }

  FlBinaryMessenger* messenger_;
  std::vector<StandinUiMessage*> messages_;
};

// Runs the default main context until condition holds or timeout_ms passes.
template <typename Condition>
bool host_test_wait_for(Condition condition, guint timeout_ms = kHostTestTimeoutMs) {
  gint64 end = g_get_monotonic_time() + static_cast<gint64>(timeout_ms) * 1000;
  while (!condition()) {
    if (g_get_monotonic_time() > end) {
      return false;
    }
    g_main_context_iteration(nullptr, FALSE);
    g_usleep(1000);
  }
  return true;
}

// Runs whatever is ready in the default main context now.
inline void host_test_drain() {
  while (g_main_context_iteration(nullptr, FALSE)) {
  }
}

// Registers and activates an application without running its main loop, as the
// first start does, and returns its one window (borrowed), or NULL with a failure.
inline GtkWindow* host_test_activate(GApplication* application) {
  EXPECT_TRUE(g_application_register(application, nullptr, nullptr));
  g_application_activate(application);
  GList* windows = gtk_application_get_windows(GTK_APPLICATION(application));
  EXPECT_EQ(g_list_length(windows), 1u);
  return windows != nullptr ? GTK_WINDOW(windows->data) : nullptr;
}

// The title bar that the window gets outside plain X11 window managers: a shown
// header bar titled "Wrenpad" with a close button.
inline void host_test_expect_header_bar(GtkWindow* window) {
  ASSERT_NE(window, nullptr);
  GtkWidget* titlebar = gtk_window_get_titlebar(window);
  ASSERT_TRUE(GTK_IS_HEADER_BAR(titlebar));
  EXPECT_TRUE(gtk_widget_get_visible(titlebar));
  EXPECT_STREQ(gtk_header_bar_get_title(GTK_HEADER_BAR(titlebar)), "Wrenpad");
  EXPECT_TRUE(gtk_header_bar_get_show_close_button(GTK_HEADER_BAR(titlebar)));
}
