// The messenger and method channels in process: the test plays the UI program.
#include <flutter_linux/standin_testing.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr guint kTimeoutMs = 2000;

struct Fixture : ::testing::Test {
  FlBinaryMessenger* messenger = standin_messenger_new();
  FlMethodCodec* codec = FL_METHOD_CODEC(fl_standard_method_codec_new());

  ~Fixture() override {
    g_object_unref(codec);
    g_object_unref(messenger);
  }

  FlMethodChannel* channel(const char* name) { return fl_method_channel_new(messenger, name, codec); }

  FlMethodResponse* call_host(const char* channel_name, const char* method, FlValue* args) {
    g_autoptr(GError) error = nullptr;
    FlMethodResponse* response = standin_messenger_invoke_host_method(
        messenger, channel_name, method, args, kTimeoutMs, &error);
    EXPECT_NE(response, nullptr) << (error != nullptr ? error->message : "");
    return response;
  }
};

// Answers "echo" with its arguments, "fail" with an error, and nothing else.
void echo_cb(FlMethodChannel*, FlMethodCall* call, gpointer user_data) {
  ++*static_cast<int*>(user_data);
  const gchar* name = fl_method_call_get_name(call);
  if (g_strcmp0(name, "echo") == 0) {
    fl_method_call_respond_success(call, fl_method_call_get_args(call), nullptr);
  } else if (g_strcmp0(name, "fail") == 0) {
    fl_method_call_respond_error(call, "bad-arguments", "Expected a map", nullptr, nullptr);
  } else {
    fl_method_call_respond_not_implemented(call, nullptr);
  }
}

using PlatformMessenger = Fixture;

TEST_F(PlatformMessenger, DeliversCallsToTheChannelHandlerAndReturnsItsReplies) {
  int calls = 0;
  g_autoptr(FlMethodChannel) ch = channel("test/echo");
  fl_method_channel_set_method_call_handler(ch, echo_cb, &calls, nullptr);

  g_autoptr(FlValue) args = fl_value_new_map();
  fl_value_set_string_take(args, "width", fl_value_new_float(799.9));
  g_autoptr(FlMethodResponse) echoed = call_host("test/echo", "echo", args);
  ASSERT_TRUE(FL_IS_METHOD_SUCCESS_RESPONSE(echoed));
  EXPECT_TRUE(fl_value_equal(fl_method_response_get_result(echoed, nullptr), args));

  g_autoptr(FlMethodResponse) failed = call_host("test/echo", "fail", nullptr);
  ASSERT_TRUE(FL_IS_METHOD_ERROR_RESPONSE(failed));
  EXPECT_STREQ(fl_method_error_response_get_code(FL_METHOD_ERROR_RESPONSE(failed)),
               "bad-arguments");
  EXPECT_STREQ(fl_method_error_response_get_message(FL_METHOD_ERROR_RESPONSE(failed)),
               "Expected a map");
  EXPECT_EQ(fl_method_error_response_get_details(FL_METHOD_ERROR_RESPONSE(failed)), nullptr);

  g_autoptr(FlMethodResponse) unknown = call_host("test/echo", "other", nullptr);
  EXPECT_TRUE(FL_IS_METHOD_NOT_IMPLEMENTED_RESPONSE(unknown));
  EXPECT_EQ(calls, 3);
}

TEST_F(PlatformMessenger, AnswersNotImplementedWhereNobodyListens) {
  g_autoptr(FlMethodResponse) no_channel = call_host("test/nobody", "x", nullptr);
  EXPECT_TRUE(FL_IS_METHOD_NOT_IMPLEMENTED_RESPONSE(no_channel));

  g_autoptr(FlMethodChannel) ch = channel("test/silent");
  g_autoptr(FlMethodResponse) no_handler = call_host("test/silent", "x", nullptr);
  EXPECT_TRUE(FL_IS_METHOD_NOT_IMPLEMENTED_RESPONSE(no_handler));

  int calls = 0;
  fl_method_channel_set_method_call_handler(ch, echo_cb, &calls, nullptr);
  const uint8_t garbage[] = {0x03, 0x01};
  g_autoptr(GBytes) message = g_bytes_new(garbage, sizeof garbage);
  g_autoptr(GBytes) reply = standin_messenger_send_to_host(messenger, "test/silent", message,
                                                           kTimeoutMs);
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(g_bytes_get_size(reply), 0u);
  EXPECT_EQ(calls, 0);
}

TEST_F(PlatformMessenger, DisposingAChannelRemovesItsHandler) {
  int calls = 0;
  FlMethodChannel* ch = channel("test/short");
  int destroyed = 0;
  fl_method_channel_set_method_call_handler(ch, echo_cb, &calls, nullptr);
  g_object_weak_ref(G_OBJECT(ch), [](gpointer data, GObject*) { ++*static_cast<int*>(data); },
                    &destroyed);
  g_object_unref(ch);
  EXPECT_EQ(destroyed, 1);
  g_autoptr(FlMethodResponse) response = call_host("test/short", "echo", nullptr);
  EXPECT_TRUE(FL_IS_METHOD_NOT_IMPLEMENTED_RESPONSE(response));
  EXPECT_EQ(calls, 0);
}

struct Held {
  FlMethodCall* call = nullptr;
};

void hold_cb(FlMethodChannel*, FlMethodCall* call, gpointer user_data) {
  static_cast<Held*>(user_data)->call = FL_METHOD_CALL(g_object_ref(call));
}

TEST_F(PlatformMessenger, AnswersMayComeLaterFromTheMainLoop) {
  Held held;
  g_autoptr(FlMethodChannel) ch = channel("test/later");
  fl_method_channel_set_method_call_handler(ch, hold_cb, &held, nullptr);
  g_timeout_add(
      20,
      [](gpointer data) {
        auto* h = static_cast<Held*>(data);
        g_autoptr(FlValue) result = fl_value_new_bool(true);
        EXPECT_TRUE(fl_method_call_respond_success(h->call, result, nullptr));
        g_autoptr(GError) error = nullptr;
        EXPECT_FALSE(fl_method_call_respond_success(h->call, result, &error));
        EXPECT_TRUE(g_error_matches(error, FL_BINARY_MESSENGER_ERROR,
                                    FL_BINARY_MESSENGER_ERROR_ALREADY_RESPONDED));
        g_clear_object(&h->call);
        return G_SOURCE_REMOVE;
      },
      &held);
  g_autoptr(FlMethodResponse) response = call_host("test/later", "hasTrayHost", nullptr);
  ASSERT_TRUE(FL_IS_METHOD_SUCCESS_RESPONSE(response));
  EXPECT_TRUE(fl_value_get_bool(fl_method_response_get_result(response, nullptr)));
}

TEST_F(PlatformMessenger, ACallDroppedUnansweredReachesTheUiSideAsNotImplemented) {
  Held held;
  g_autoptr(FlMethodChannel) ch = channel("test/drop");
  fl_method_channel_set_method_call_handler(ch, hold_cb, &held, nullptr);
  g_idle_add(
      [](gpointer data) {
        g_clear_object(&static_cast<Held*>(data)->call);
        return G_SOURCE_REMOVE;
      },
      &held);
  g_autoptr(FlMethodResponse) response = call_host("test/drop", "x", nullptr);
  EXPECT_TRUE(FL_IS_METHOD_NOT_IMPLEMENTED_RESPONSE(response));
}

TEST_F(PlatformMessenger, TimesOutWhenTheHostNeverAnswers) {
  Held held;
  g_autoptr(FlMethodChannel) ch = channel("test/stuck");
  fl_method_channel_set_method_call_handler(ch, hold_cb, &held, nullptr);
  g_autoptr(GError) error = nullptr;
  g_autoptr(FlMethodResponse) response =
      standin_messenger_invoke_host_method(messenger, "test/stuck", "x", nullptr, 50, &error);
  EXPECT_EQ(response, nullptr);
  EXPECT_TRUE(g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT));
  g_clear_object(&held.call);
}

// --- Calls from the host to the UI side ---------------------------------------------------

struct UiSide {
  std::vector<StandinUiMessage*> messages;
  ~UiSide() {
    for (StandinUiMessage* m : messages) g_object_unref(m);
  }
  static void handler(FlBinaryMessenger*, StandinUiMessage* message, gpointer data) {
    static_cast<UiSide*>(data)->messages.push_back(
        STANDIN_UI_MESSAGE(g_object_ref(message)));
  }
};

struct Completion {
  bool done = false;
  FlMethodResponse* response = nullptr;
  GError* error = nullptr;
  ~Completion() {
    g_clear_object(&response);
    g_clear_error(&error);
  }
  static void cb(GObject* source, GAsyncResult* result, gpointer data) {
    auto* self = static_cast<Completion*>(data);
    EXPECT_FALSE(self->done) << "completed twice";
    self->done = true;
    self->response =
        fl_method_channel_invoke_method_finish(FL_METHOD_CHANNEL(source), result, &self->error);
  }
  void wait() {
    gint64 deadline = g_get_monotonic_time() + kTimeoutMs * 1000;
    while (!done && g_get_monotonic_time() < deadline) g_main_context_iteration(nullptr, FALSE);
  }
};

TEST_F(PlatformMessenger, HostCallsReachTheUiSideAndTheirRepliesComeBack) {
  UiSide ui;
  standin_messenger_set_ui_handler(messenger, UiSide::handler, &ui, nullptr);
  g_autoptr(FlMethodChannel) ch = channel("wrenpad/linux");

  g_autoptr(FlValue) args = fl_value_new_list();
  fl_value_append_take(args, fl_value_new_string("file:///tmp/a"));
  Completion success, error, not_implemented;
  fl_method_channel_invoke_method(ch, "command-line", args, nullptr, Completion::cb, &success);
  fl_method_channel_invoke_method(ch, "save", nullptr, nullptr, Completion::cb, &error);
  fl_method_channel_invoke_method(ch, "other", nullptr, nullptr, Completion::cb,
                                  &not_implemented);
  fl_method_channel_invoke_method(ch, "newNote", nullptr, nullptr, nullptr, nullptr);
  ASSERT_EQ(ui.messages.size(), 4u);

  const gchar* name = nullptr;
  FlValue* received = nullptr;
  ASSERT_TRUE(standin_ui_message_decode_method_call(ui.messages[0], &name, &received));
  EXPECT_STREQ(name, "command-line");
  EXPECT_TRUE(fl_value_equal(received, args));
  EXPECT_STREQ(standin_ui_message_get_channel(ui.messages[0]), "wrenpad/linux");
  ASSERT_TRUE(standin_ui_message_decode_method_call(ui.messages[3], &name, &received));
  EXPECT_STREQ(name, "newNote");
  EXPECT_EQ(fl_value_get_type(received), FL_VALUE_TYPE_NULL);

  g_autoptr(FlValue) result = fl_value_new_int(5);
  EXPECT_TRUE(standin_ui_message_respond_success(ui.messages[0], result));
  EXPECT_FALSE(standin_ui_message_respond_success(ui.messages[0], result));
  g_autoptr(GBytes) error_reply = standin_encode_error_envelope("denied", "no", nullptr);
  EXPECT_TRUE(standin_ui_message_respond(ui.messages[1], error_reply));
  EXPECT_TRUE(standin_ui_message_respond(ui.messages[2], nullptr));
  EXPECT_TRUE(standin_ui_message_respond(ui.messages[3], nullptr));
  // Completions always arrive through the main loop, never inside the answer.
  EXPECT_FALSE(success.done);

  success.wait();
  error.wait();
  not_implemented.wait();
  ASSERT_TRUE(FL_IS_METHOD_SUCCESS_RESPONSE(success.response));
  EXPECT_EQ(fl_value_get_int(fl_method_response_get_result(success.response, nullptr)), 5);
  ASSERT_TRUE(FL_IS_METHOD_ERROR_RESPONSE(error.response));
  EXPECT_STREQ(fl_method_error_response_get_code(FL_METHOD_ERROR_RESPONSE(error.response)),
               "denied");
  EXPECT_TRUE(FL_IS_METHOD_NOT_IMPLEMENTED_RESPONSE(not_implemented.response));
  standin_messenger_set_ui_handler(messenger, nullptr, nullptr, nullptr);
}

TEST_F(PlatformMessenger, CancellingAPendingCallCompletesItOnceWithTheCancelledError) {
  UiSide ui;
  standin_messenger_set_ui_handler(messenger, UiSide::handler, &ui, nullptr);
  g_autoptr(FlMethodChannel) ch = channel("wrenpad/system_shutdown");
  g_autoptr(GCancellable) cancellable = g_cancellable_new();
  Completion completion;
  fl_method_channel_invoke_method(ch, "save", nullptr, cancellable, Completion::cb, &completion);
  ASSERT_EQ(ui.messages.size(), 1u);

  g_cancellable_cancel(cancellable);
  EXPECT_FALSE(completion.done) << "the canceller must not be re-entered";
  completion.wait();
  ASSERT_TRUE(completion.done);
  EXPECT_EQ(completion.response, nullptr);
  EXPECT_TRUE(g_error_matches(completion.error, G_IO_ERROR, G_IO_ERROR_CANCELLED));

  // A late answer finds the call already finished.
  EXPECT_FALSE(standin_ui_message_respond(ui.messages[0], nullptr));
  for (int i = 0; i < 10; ++i) g_main_context_iteration(nullptr, FALSE);
  standin_messenger_set_ui_handler(messenger, nullptr, nullptr, nullptr);
}

TEST_F(PlatformMessenger, ACallAnsweredBeforeItsCancellationIsReportedCancelled) {
  UiSide ui;
  standin_messenger_set_ui_handler(messenger, UiSide::handler, &ui, nullptr);
  g_autoptr(FlMethodChannel) ch = channel("wrenpad/system_shutdown");
  g_autoptr(GCancellable) cancellable = g_cancellable_new();
  Completion completion;
  fl_method_channel_invoke_method(ch, "save", nullptr, cancellable, Completion::cb, &completion);
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_TRUE(standin_ui_message_respond_success(ui.messages[0], nullptr));
  g_cancellable_cancel(cancellable);
  completion.wait();
  EXPECT_TRUE(g_error_matches(completion.error, G_IO_ERROR, G_IO_ERROR_CANCELLED));
  standin_messenger_set_ui_handler(messenger, nullptr, nullptr, nullptr);
}

// --- The built-in UI program --------------------------------------------------------------

struct QuitWatch {
  std::vector<std::string> names;
  static void cb(FlMethodChannel*, FlMethodCall* call, gpointer data) {
    static_cast<QuitWatch*>(data)->names.push_back(fl_method_call_get_name(call));
    fl_method_call_respond_success(call, nullptr, nullptr);
  }
};

TEST_F(PlatformMessenger, TheBuiltInUiProgramSavesAndAnswersShutdownWithQuit) {
  QuitWatch watch;
  g_autoptr(FlMethodChannel) shutdown = channel("wrenpad/system_shutdown");
  fl_method_channel_set_method_call_handler(shutdown, QuitWatch::cb, &watch, nullptr);
  g_autoptr(FlMethodChannel) other = channel("wrenpad/linux");

  Completion save, unknown, save_elsewhere;
  fl_method_channel_invoke_method(shutdown, "save", nullptr, nullptr, Completion::cb, &save);
  fl_method_channel_invoke_method(shutdown, "frobnicate", nullptr, nullptr, Completion::cb,
                                  &unknown);
  fl_method_channel_invoke_method(other, "save", nullptr, nullptr, Completion::cb,
                                  &save_elsewhere);
  save.wait();
  unknown.wait();
  save_elsewhere.wait();
  EXPECT_TRUE(FL_IS_METHOD_SUCCESS_RESPONSE(save.response));
  EXPECT_TRUE(FL_IS_METHOD_NOT_IMPLEMENTED_RESPONSE(unknown.response));
  EXPECT_TRUE(FL_IS_METHOD_NOT_IMPLEMENTED_RESPONSE(save_elsewhere.response));
  EXPECT_TRUE(watch.names.empty());

  fl_method_channel_invoke_method(shutdown, "shutdown", nullptr, nullptr, nullptr, nullptr);
  gint64 deadline = g_get_monotonic_time() + kTimeoutMs * 1000;
  while (watch.names.empty() && g_get_monotonic_time() < deadline) {
    g_main_context_iteration(nullptr, FALSE);
  }
  EXPECT_EQ(watch.names, std::vector<std::string>{"quit"});
}

}  // namespace
