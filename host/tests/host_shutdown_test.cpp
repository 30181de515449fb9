#include <gtest/gtest.h>

#include <csignal>
#include <functional>

#include "host_test_support.h"
#include "system_shutdown.h"

namespace {

constexpr char kChannel[] = "wrenpad/system_shutdown";
// Far beyond anything a test waits for; ends a stuck test instead of hanging.
constexpr guint kRunLimitSeconds = 30;

// Makes a deadline's timer fire now instead of in 10 seconds.
void expire(guint source_id) {
  ASSERT_NE(source_id, 0u);
  GSource* source = g_main_context_find_source_by_id(nullptr, source_id);
  ASSERT_NE(source, nullptr);
  g_source_set_ready_time(source, 0);
}

// Runs an application with one window and a SystemShutdown on it, as the
// program does, and plays the test's steps once the application is up.
class SystemShutdownTest : public ::testing::Test {
 protected:
  void SetUp() override {
    messenger_ = standin_messenger_new();
    ui_ = new UiRecorder(messenger_);
    application_ = gtk_application_new(nullptr, G_APPLICATION_NON_UNIQUE);
    g_signal_connect(application_, "activate", G_CALLBACK(activate_cb), this);
  }

  void TearDown() override {
    system_shutdown_free(shutdown_);
    if (window_ != nullptr) {
      gtk_widget_destroy(GTK_WIDGET(window_));
      g_clear_object(&window_);
    }
    g_clear_object(&application_);
    delete ui_;
    g_clear_object(&messenger_);
  }

  // Returns when the application quits; fails the test if it never does.
  void run(std::function<void()> steps) {
    steps_ = std::move(steps);
    guint limit = g_timeout_add_seconds(kRunLimitSeconds, limit_cb, this);
    g_application_run(G_APPLICATION(application_), 0, nullptr);
    if (!timed_out_) {
      g_source_remove(limit);
    }
    EXPECT_FALSE(timed_out_) << "the application did not quit";
  }

  static void activate_cb(GtkApplication* application, SystemShutdownTest* self) {
    self->window_ = GTK_WINDOW(g_object_ref_sink(gtk_application_window_new(application)));
    g_signal_connect_swapped(self->window_, "destroy", G_CALLBACK(destroy_cb), self);
    self->shutdown_ =
        system_shutdown_new(self->messenger_, G_APPLICATION(application), self->window_);
    self->steps_();
  }

  static void destroy_cb(SystemShutdownTest* self) { self->destroyed_ = true; }

  static gboolean limit_cb(gpointer user_data) {
    auto* self = static_cast<SystemShutdownTest*>(user_data);
    self->timed_out_ = true;
    g_application_quit(G_APPLICATION(self->application_));
    return G_SOURCE_REMOVE;
  }

  // Closes the window as the window manager's close button does.
  bool close_window() {
    GdkEvent* event = gdk_event_new(GDK_DELETE);
    gboolean handled = FALSE;
    g_signal_emit_by_name(window_, "delete-event", event, &handled);
    gdk_event_free(event);
    return handled;
  }

  void query_end() { g_signal_emit_by_name(application_, "query-end"); }

  FlMethodResponse* call(const char* method) {
    return host_test_invoke(messenger_, kChannel, method, nullptr);
  }

  void expect_quit_reply() {
    g_autoptr(FlMethodResponse) response = call("quit");
    FlValue* result = host_test_success_result(response);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(fl_value_get_type(result), FL_VALUE_TYPE_NULL);
  }

  // Delivers a signal to this process and waits until the main loop saw it.
  void deliver(int signal_number) {
    ASSERT_EQ(raise(signal_number), 0);
    // Signals sent back to back may merge into one callback; each one is
    // given time to be dispatched on its own.
    host_test_wait_for([] { return false; }, 50);
  }

  std::vector<std::string> calls() const { return ui_->calls(kChannel); }

  FlBinaryMessenger* messenger_ = nullptr;
  UiRecorder* ui_ = nullptr;
  GtkApplication* application_ = nullptr;
  GtkWindow* window_ = nullptr;
  SystemShutdown* shutdown_ = nullptr;
  std::function<void()> steps_;
  bool timed_out_ = false;
  bool destroyed_ = false;
};

using Calls = std::vector<std::string>;

TEST_F(SystemShutdownTest, ClosingTwiceSendsOneShutdownAndKeepsTheWindow) {
  run([&] {
    EXPECT_TRUE(close_window());
    EXPECT_TRUE(close_window());
    host_test_drain();
    EXPECT_EQ(calls(), Calls{"shutdown"});
    EXPECT_TRUE(shutdown_->shutting_down);
    EXPECT_NE(shutdown_->quit_deadline, 0u);
    EXPECT_FALSE(destroyed_);
    expect_quit_reply();
    EXPECT_EQ(shutdown_->quit_deadline, 0u);
  });
  EXPECT_FALSE(destroyed_);
  EXPECT_EQ(gtk_application_get_windows(application_), nullptr);
}

TEST_F(SystemShutdownTest, RepeatedSignalsSendOneShutdownAndTheDeadlineQuits) {
  run([&] {
    deliver(SIGINT);
    ASSERT_TRUE(shutdown_->shutting_down);
    guint deadline = shutdown_->quit_deadline;
    deliver(SIGINT);
    deliver(SIGTERM);
    deliver(SIGHUP);
    EXPECT_EQ(calls(), Calls{"shutdown"});
    EXPECT_EQ(shutdown_->quit_deadline, deadline) << "a later signal restarted the deadline";
    expire(shutdown_->quit_deadline);
  });
  EXPECT_EQ(shutdown_->quit_deadline, 0u);
  EXPECT_EQ(calls(), Calls{"shutdown"});
}

class SystemShutdownSignalTest : public SystemShutdownTest,
                                 public ::testing::WithParamInterface<int> {};

TEST_P(SystemShutdownSignalTest, StartsTheShutdown) {
  run([&] {
    deliver(GetParam());
    EXPECT_EQ(calls(), Calls{"shutdown"});
    EXPECT_NE(shutdown_->quit_deadline, 0u);
    expect_quit_reply();
  });
}

INSTANTIATE_TEST_SUITE_P(TerminationSignals, SystemShutdownSignalTest,
                         ::testing::Values(SIGTERM, SIGINT, SIGHUP));

TEST_F(SystemShutdownTest, QuitWithoutShutdownQuitsAtOnce) {
  run([&] {
    expect_quit_reply();
    EXPECT_EQ(shutdown_->quit_deadline, 0u);
  });
  EXPECT_TRUE(calls().empty());
  EXPECT_FALSE(shutdown_->shutting_down);
}

TEST_F(SystemShutdownTest, OtherMethodsAreNotImplemented) {
  run([&] {
    for (const char* method : {"shutdown", "save", "Quit", ""}) {
      g_autoptr(FlMethodResponse) response = call(method);
      EXPECT_TRUE(FL_IS_METHOD_NOT_IMPLEMENTED_RESPONSE(response)) << method;
    }
    EXPECT_FALSE(shutdown_->shutting_down);
    g_application_quit(G_APPLICATION(application_));
  });
}

TEST_F(SystemShutdownTest, SessionEndSendsOneSaveUntilItIsAnswered) {
  run([&] {
    query_end();
    query_end();
    host_test_drain();
    EXPECT_EQ(calls(), Calls{"save"});
    EXPECT_NE(shutdown_->save_deadline, 0u);
    // No session manager on this bus: the logout cannot be inhibited.
    EXPECT_EQ(shutdown_->inhibit_cookie, 0u);

    g_autoptr(FlValue) null_result = fl_value_new_null();
    ASSERT_TRUE(standin_ui_message_respond_success(ui_->last(kChannel, "save"), null_result));
    ASSERT_TRUE(host_test_wait_for([&] { return shutdown_->save_deadline == 0; }));

    query_end();
    host_test_drain();
    EXPECT_EQ(calls(), (Calls{"save", "save"}));
    EXPECT_FALSE(shutdown_->shutting_down) << "a session end never quits by itself";
    g_application_quit(G_APPLICATION(application_));
  });
}

TEST_F(SystemShutdownTest, AnyAnswerToSaveEndsThePendingSave) {
  g_autoptr(GBytes) error_reply = standin_encode_error_envelope("failed", "disk full", nullptr);
  GBytes* replies[] = {error_reply, nullptr};
  run([&] {
    for (GBytes* reply : replies) {
      query_end();
      host_test_drain();
      ASSERT_NE(shutdown_->save_deadline, 0u);
      ASSERT_TRUE(standin_ui_message_respond(ui_->last(kChannel, "save"), reply));
      EXPECT_TRUE(host_test_wait_for([&] { return shutdown_->save_deadline == 0; }));
    }
    EXPECT_EQ(calls(), (Calls{"save", "save"}));
    g_application_quit(G_APPLICATION(application_));
  });
}

TEST_F(SystemShutdownTest, SaveDeadlineEndsTheWaitAndALateAnswerChangesNothing) {
  run([&] {
    query_end();
    host_test_drain();
    StandinUiMessage* save = ui_->last(kChannel, "save");
    ASSERT_NE(save, nullptr);
    expire(shutdown_->save_deadline);
    ASSERT_TRUE(host_test_wait_for([&] { return shutdown_->save_deadline == 0; }));

    g_autoptr(FlValue) null_result = fl_value_new_null();
    ASSERT_TRUE(standin_ui_message_respond_success(save, null_result));
    host_test_wait_for([] { return false; }, 100);
    EXPECT_EQ(shutdown_->save_deadline, 0u);
    EXPECT_EQ(shutdown_->inhibit_cookie, 0u);
    EXPECT_EQ(calls(), Calls{"save"});
    g_application_quit(G_APPLICATION(application_));
  });
}

TEST_F(SystemShutdownTest, SessionEndDuringShutdownStillSaves) {
  run([&] {
    EXPECT_TRUE(close_window());
    query_end();
    host_test_drain();
    EXPECT_EQ(calls(), (Calls{"shutdown", "save"}));
    expect_quit_reply();
  });
}

TEST_F(SystemShutdownTest, FreeingWithASavePendingCancelsIt) {
  run([&] {
    query_end();
    host_test_drain();
    StandinUiMessage* save = ui_->last(kChannel, "save");
    ASSERT_NE(save, nullptr);
    g_clear_pointer(&shutdown_, system_shutdown_free);
    // The completion runs for the cancelled call; it must not reach the
    // freed record (AddressSanitizer reports it if it does).
    g_autoptr(FlValue) null_result = fl_value_new_null();
    standin_ui_message_respond_success(save, null_result);
    host_test_wait_for([] { return false; }, 100);
    // Freed handlers no longer absorb a close: the window's default applies.
    EXPECT_FALSE(close_window());
    g_application_quit(G_APPLICATION(application_));
  });
}

}  // namespace
