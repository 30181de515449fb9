// The view, the plug-in registry and libraries, and the driver socket, in process. Needs a
// display (the test runs under a virtual X server).
#include <desktop_drop/desktop_drop_plugin.h>
#include <file_selector_linux/file_selector_plugin.h>
#include <flutter_gemma/flutter_gemma_plugin.h>
#include <flutter_linux/standin_testing.h>
#include <flutter_secure_storage_linux/flutter_secure_storage_linux_plugin.h>
#include <gio/gunixsocketaddress.h>
#include <glib/gstdio.h>
#include <gtest/gtest.h>
#include <gtk/gtk_plugin.h>
#include <hotkey_manager_linux/hotkey_manager_linux_plugin.h>
#include <pasteboard/pasteboard_plugin.h>
#include <record_linux/record_linux_plugin.h>
#include <screen_retriever_linux/screen_retriever_linux_plugin.h>
#include <tray_manager/tray_manager_plugin.h>
#include <url_launcher_linux/url_launcher_plugin.h>
#include <window_manager/window_manager_plugin.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr gint64 kTimeoutUs = 3 * G_USEC_PER_SEC;

class PlatformView : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(gtk_init_check(nullptr, nullptr)) << "no display";
    g_unsetenv("WRENPAD_DRIVER_SOCKET");
    standin_clear_registered_plugins();
  }

  static FlView* new_view(const std::vector<const char*>& arguments = {}) {
    g_autoptr(FlDartProject) project = fl_dart_project_new();
    if (!arguments.empty()) {
      std::vector<char*> argv;
      for (const char* a : arguments) argv.push_back(const_cast<char*>(a));
      argv.push_back(nullptr);
      fl_dart_project_set_dart_entrypoint_arguments(project, argv.data());
    }
    return FL_VIEW(g_object_ref_sink(fl_view_new(project)));
  }
};

void pump_until(const std::function<bool()>& done, gint64 timeout_us = kTimeoutUs) {
  gint64 deadline = g_get_monotonic_time() + timeout_us;
  while (!done() && g_get_monotonic_time() < deadline) g_main_context_iteration(nullptr, FALSE);
}

// Gives something that must not happen a fair chance to happen.
void pump_a_while() { pump_until([] { return false; }, G_USEC_PER_SEC / 5); }

TEST_F(PlatformView, EmitsFirstFrameOnceAfterRealisingEvenWhileHidden) {
  GtkWidget* window = gtk_offscreen_window_new();
  g_autoptr(FlView) view = new_view();
  int frames = 0;
  g_signal_connect_swapped(view, "first-frame", G_CALLBACK(+[](int* count) { ++*count; }),
                           &frames);
  gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(view));
  for (int i = 0; i < 10; ++i) g_main_context_iteration(nullptr, FALSE);
  EXPECT_EQ(frames, 0) << "no frame before the view has a window";

  gtk_widget_realize(GTK_WIDGET(view));
  pump_until([&] { return frames > 0; });
  EXPECT_EQ(frames, 1);
  gtk_widget_show_all(window);
  pump_a_while();
  EXPECT_EQ(frames, 1);
  EXPECT_TRUE(standin_view_first_frame_emitted(view));
  gtk_widget_destroy(window);
}

TEST_F(PlatformView, PaintsItsBackgroundColour) {
  g_autoptr(FlView) view = new_view();
  GdkRGBA colour;
  ASSERT_TRUE(gdk_rgba_parse(&colour, "#F6F2E8"));
  fl_view_set_background_color(view, &colour);
  GtkWidget* window = gtk_offscreen_window_new();
  gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(view));
  gtk_widget_set_size_request(GTK_WIDGET(view), 40, 30);
  gtk_widget_show_all(window);

  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 40, 30);
  cairo_t* cr = cairo_create(surface);
  gtk_widget_draw(GTK_WIDGET(view), cr);
  cairo_destroy(cr);
  cairo_surface_flush(surface);
  uint32_t pixel = 0;
  std::memcpy(&pixel, cairo_image_surface_get_data(surface) + 15 * cairo_image_surface_get_stride(surface) + 20 * 4, 4);
  EXPECT_EQ(pixel & 0xffffff, 0xF6F2E8u);
  EXPECT_TRUE(standin_view_first_frame_emitted(view));
  cairo_surface_destroy(surface);
  gtk_widget_destroy(window);
}

TEST_F(PlatformView, RegistrarsCarryTheirNameTheMessengerAndABorrowedView) {
  g_autoptr(FlView) view = new_view();
  FlBinaryMessenger* messenger = fl_engine_get_binary_messenger(fl_view_get_engine(view));
  g_autoptr(FlPluginRegistrar) registrar =
      fl_plugin_registry_get_registrar_for_plugin(FL_PLUGIN_REGISTRY(view), "GtkPlugin");
  EXPECT_EQ(fl_plugin_registrar_get_messenger(registrar), messenger);
  EXPECT_EQ(fl_plugin_registrar_get_view(registrar), view);
  gtk_plugin_register_with_registrar(registrar);
  g_auto(GStrv) registered = standin_registered_plugins();
  ASSERT_EQ(g_strv_length(registered), 1u);
  EXPECT_STREQ(registered[0], "GtkPlugin=gtk_plugin_register_with_registrar");
  g_clear_object(&view);
  EXPECT_EQ(fl_plugin_registrar_get_view(registrar), nullptr);
}

TEST_F(PlatformView, EveryPluginLibraryRecordsItsOwnRegistration) {
  g_autoptr(FlView) view = new_view();
  struct Plugin {
    const char* name;
    void (*registration)(FlPluginRegistrar*);
    const char* function;
  };
  const Plugin plugins[] = {
      {"DesktopDropPlugin", desktop_drop_plugin_register_with_registrar,
       "desktop_drop_plugin_register_with_registrar"},
      {"FileSelectorPlugin", file_selector_plugin_register_with_registrar,
       "file_selector_plugin_register_with_registrar"},
      {"FlutterGemmaPlugin", flutter_gemma_plugin_register_with_registrar,
       "flutter_gemma_plugin_register_with_registrar"},
      {"FlutterSecureStorageLinuxPlugin",
       flutter_secure_storage_linux_plugin_register_with_registrar,
       "flutter_secure_storage_linux_plugin_register_with_registrar"},
      {"GtkPlugin", gtk_plugin_register_with_registrar, "gtk_plugin_register_with_registrar"},
      {"HotkeyManagerLinuxPlugin", hotkey_manager_linux_plugin_register_with_registrar,
       "hotkey_manager_linux_plugin_register_with_registrar"},
      {"PasteboardPlugin", pasteboard_plugin_register_with_registrar,
       "pasteboard_plugin_register_with_registrar"},
      {"RecordLinuxPlugin", record_linux_plugin_register_with_registrar,
       "record_linux_plugin_register_with_registrar"},
      {"ScreenRetrieverLinuxPlugin", screen_retriever_linux_plugin_register_with_registrar,
       "screen_retriever_linux_plugin_register_with_registrar"},
      {"TrayManagerPlugin", tray_manager_plugin_register_with_registrar,
       "tray_manager_plugin_register_with_registrar"},
      {"UrlLauncherPlugin", url_launcher_plugin_register_with_registrar,
       "url_launcher_plugin_register_with_registrar"},
      {"WindowManagerPlugin", window_manager_plugin_register_with_registrar,
       "window_manager_plugin_register_with_registrar"},
  };
  // Registered back to front, so that the record's order is the calls' order, not the table's.
  for (int i = 11; i >= 0; --i) {
    g_autoptr(FlPluginRegistrar) registrar =
        fl_plugin_registry_get_registrar_for_plugin(FL_PLUGIN_REGISTRY(view), plugins[i].name);
    plugins[i].registration(registrar);
  }
  g_auto(GStrv) registered = standin_registered_plugins();
  ASSERT_EQ(g_strv_length(registered), 12u);
  for (int i = 0; i < 12; ++i) {
    EXPECT_EQ(std::string(registered[11 - i]),
              std::string(plugins[i].name) + "=" + plugins[i].function);
  }
}

// --- The driver socket, with the test as the driver ---------------------------------------

struct Frame {
  uint8_t kind;
  uint32_t id;
  std::string channel;
  std::vector<uint8_t> payload;
};

class Driver {
 public:
  Driver() {
    dir_ = g_dir_make_tmp("platform-driver-XXXXXX", nullptr);
    path_ = std::string(dir_) + "/driver.sock";
    listener_ = g_socket_new(G_SOCKET_FAMILY_UNIX, G_SOCKET_TYPE_STREAM,
                             G_SOCKET_PROTOCOL_DEFAULT, nullptr);
    g_autoptr(GSocketAddress) address = g_unix_socket_address_new(path_.c_str());
    EXPECT_TRUE(g_socket_bind(listener_, address, FALSE, nullptr));
    EXPECT_TRUE(g_socket_listen(listener_, nullptr));
    g_socket_set_blocking(listener_, FALSE);
    g_setenv("WRENPAD_DRIVER_SOCKET", path_.c_str(), TRUE);
  }

  ~Driver() {
    g_clear_object(&connection_);
    g_clear_object(&listener_);
    g_unlink(path_.c_str());
    g_rmdir(dir_);
    g_free(dir_);
  }

  bool accept() {
    pump_until([this] {
      connection_ = g_socket_accept(listener_, nullptr, nullptr);
      return connection_ != nullptr;
    });
    if (connection_ != nullptr) g_socket_set_blocking(connection_, FALSE);
    return connection_ != nullptr;
  }

  void send_raw(const std::vector<uint8_t>& bytes) {
    g_socket_set_blocking(connection_, TRUE);
    g_socket_send(connection_, reinterpret_cast<const gchar*>(bytes.data()), bytes.size(),
                  nullptr, nullptr);
    g_socket_set_blocking(connection_, FALSE);
  }

  void send(uint8_t kind, uint32_t id, const std::string& channel, GBytes* payload) {
    gsize size = 0;
    const auto* data = static_cast<const uint8_t*>(g_bytes_get_data(payload, &size));
    std::vector<uint8_t> out;
    uint32_t length = static_cast<uint32_t>(7 + channel.size() + size);
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(length >> (8 * i)));
    out.push_back(kind);
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(id >> (8 * i)));
    out.push_back(static_cast<uint8_t>(channel.size()));
    out.push_back(static_cast<uint8_t>(channel.size() >> 8));
    out.insert(out.end(), channel.begin(), channel.end());
    if (size > 0) out.insert(out.end(), data, data + size);
    send_raw(out);
  }

  // The next frame, pumping the main loop meanwhile; false on timeout or when closed.
  bool next(Frame* frame) {
    pump_until([this] { return has_frame() || closed_; });
    if (!has_frame()) return false;
    uint32_t length = read_le(0, 4);
    frame->kind = input_[4];
    frame->id = read_le(5, 4);
    uint32_t name_length = read_le(9, 2);
    frame->channel.assign(input_.begin() + 11, input_.begin() + 11 + name_length);
    frame->payload.assign(input_.begin() + 11 + name_length, input_.begin() + 4 + length);
    input_.erase(input_.begin(), input_.begin() + 4 + length);
    return true;
  }

  bool wait_closed() {
    pump_until([this] {
      has_frame();
      return closed_;
    });
    return closed_;
  }

  void disconnect() { g_clear_object(&connection_); }

 private:
  bool has_frame() {
    char chunk[4096];
    while (connection_ != nullptr && !closed_) {
      gssize n = g_socket_receive(connection_, chunk, sizeof chunk, nullptr, nullptr);
      if (n == 0) closed_ = true;
      if (n <= 0) break;
      input_.insert(input_.end(), chunk, chunk + n);
    }
    return input_.size() >= 4 && input_.size() >= 4 + read_le(0, 4);
  }

  uint32_t read_le(size_t at, int bytes) const {
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= static_cast<uint32_t>(input_[at + i]) << (8 * i);
    return v;
  }

  gchar* dir_;
  std::string path_;
  GSocket* listener_ = nullptr;
  GSocket* connection_ = nullptr;
  std::vector<uint8_t> input_;
  bool closed_ = false;
};

GBytes* payload_of(const Frame& frame) {
  return g_bytes_new(frame.payload.data(), frame.payload.size());
}

void answer_cb(FlMethodChannel*, FlMethodCall* call, gpointer) {
  if (g_strcmp0(fl_method_call_get_name(call), "region") == 0) {
    g_autoptr(FlValue) result = fl_value_new_string("DE");
    fl_method_call_respond_success(call, result, nullptr);
  } else {
    fl_method_call_respond_not_implemented(call, nullptr);
  }
}

struct Completion {
  bool done = false;
  FlMethodResponse* response = nullptr;
  ~Completion() { g_clear_object(&response); }
  static void cb(GObject* source, GAsyncResult* result, gpointer data) {
    auto* self = static_cast<Completion*>(data);
    self->done = true;
    self->response =
        fl_method_channel_invoke_method_finish(FL_METHOD_CHANNEL(source), result, nullptr);
  }
};

TEST_F(PlatformView, DriverSeesReadyThenFirstFrameAndExchangesCallsBothWays) {
  Driver driver;
  g_autoptr(FlView) view = new_view({"--new-note", "file:///tmp/x"});
  ASSERT_TRUE(driver.accept());
  FlBinaryMessenger* messenger = fl_engine_get_binary_messenger(fl_view_get_engine(view));
  g_autoptr(FlMethodCodec) codec = FL_METHOD_CODEC(fl_standard_method_codec_new());
  g_autoptr(FlMethodChannel) region = fl_method_channel_new(messenger, "wrenpad/region", codec);
  fl_method_channel_set_method_call_handler(region, answer_cb, nullptr, nullptr);
  g_autoptr(FlPluginRegistrar) registrar =
      fl_plugin_registry_get_registrar_for_plugin(FL_PLUGIN_REGISTRY(view), "UrlLauncherPlugin");
  url_launcher_plugin_register_with_registrar(registrar);

  GtkWidget* window = gtk_offscreen_window_new();
  gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(view));
  gtk_widget_realize(GTK_WIDGET(view));

  Frame frame;
  ASSERT_TRUE(driver.next(&frame));
  EXPECT_EQ(frame.kind, 1);
  EXPECT_EQ(frame.channel, "ready");
  g_autoptr(FlMessageCodec) values = FL_MESSAGE_CODEC(fl_standard_message_codec_new());
  g_autoptr(GBytes) ready_bytes = payload_of(frame);
  g_autoptr(FlValue) ready = fl_message_codec_decode_message(values, ready_bytes, nullptr);
  ASSERT_NE(ready, nullptr);
  g_autofree gchar* arguments =
      fl_value_to_string(fl_value_lookup_string(ready, "entrypointArguments"));
  EXPECT_STREQ(arguments, "[--new-note, file:///tmp/x]");
  g_autofree gchar* plugins = fl_value_to_string(fl_value_lookup_string(ready, "plugins"));
  EXPECT_STREQ(plugins, "[UrlLauncherPlugin=url_launcher_plugin_register_with_registrar]");
  EXPECT_STREQ(fl_value_get_string(fl_value_lookup_string(ready, "path")), g_getenv("PATH"));
  ASSERT_TRUE(driver.next(&frame));
  EXPECT_EQ(frame.channel, "first-frame");

  // Driver to host: the reply carries the driver's id and the channel name.
  g_autoptr(GBytes) call = standin_encode_method_call("region", nullptr);
  driver.send(2, 77, "wrenpad/region", call);
  ASSERT_TRUE(driver.next(&frame));
  EXPECT_EQ(frame.kind, 3);
  EXPECT_EQ(frame.id, 77u);
  EXPECT_EQ(frame.channel, "wrenpad/region");
  EXPECT_EQ(frame.payload, (std::vector<uint8_t>{0x00, 0x07, 0x02, 'D', 'E'}));
  driver.send(2, 78, "wrenpad/nobody", call);
  ASSERT_TRUE(driver.next(&frame));
  EXPECT_EQ(frame.id, 78u);
  EXPECT_TRUE(frame.payload.empty());

  // Host to driver, answered by the driver.
  g_autoptr(FlMethodChannel) shutdown =
      fl_method_channel_new(messenger, "wrenpad/system_shutdown", codec);
  Completion save;
  fl_method_channel_invoke_method(shutdown, "save", nullptr, nullptr, Completion::cb, &save);
  ASSERT_TRUE(driver.next(&frame));
  EXPECT_EQ(frame.kind, 2);
  EXPECT_EQ(frame.channel, "wrenpad/system_shutdown");
  g_autoptr(GBytes) save_bytes = payload_of(frame);
  g_autofree gchar* name = nullptr;
  g_autoptr(FlValue) args = nullptr;
  ASSERT_TRUE(standin_decode_method_call(save_bytes, &name, &args, nullptr));
  EXPECT_STREQ(name, "save");
  g_autoptr(FlValue) saved = fl_value_new_string("saved");
  g_autoptr(GBytes) reply = standin_encode_success_envelope(saved);
  driver.send(3, frame.id, frame.channel, reply);
  pump_until([&] { return save.done; });
  ASSERT_TRUE(FL_IS_METHOD_SUCCESS_RESPONSE(save.response));
  EXPECT_STREQ(fl_value_get_string(fl_method_response_get_result(save.response, nullptr)),
               "saved");
  gtk_widget_destroy(window);
}

TEST_F(PlatformView, TheFirstFrameCanWaitForTheDriver) {
  Driver driver;
  g_setenv("WRENPAD_DRIVER_FIRST_FRAME", "on-request", TRUE);
  g_autoptr(FlView) view = new_view();
  g_unsetenv("WRENPAD_DRIVER_FIRST_FRAME");
  ASSERT_TRUE(driver.accept());
  int frames = 0;
  g_signal_connect_swapped(view, "first-frame", G_CALLBACK(+[](int* count) { ++*count; }),
                           &frames);
  GtkWidget* window = gtk_offscreen_window_new();
  gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(view));
  gtk_widget_show_all(window);
  Frame frame;
  ASSERT_TRUE(driver.next(&frame));
  EXPECT_EQ(frame.channel, "ready");
  pump_a_while();
  EXPECT_EQ(frames, 0) << "drawn, but the frame is held";

  g_autoptr(GBytes) nothing = g_bytes_new(nullptr, 0);
  driver.send(1, 0, "render-first-frame", nothing);
  ASSERT_TRUE(driver.next(&frame));
  EXPECT_EQ(frame.channel, "first-frame");
  EXPECT_EQ(frames, 1);
  gtk_widget_destroy(window);
}

TEST_F(PlatformView, ACorruptFrameClosesTheLinkAndTheBuiltInUiTakesOver) {
  Driver driver;
  g_autoptr(FlView) view = new_view();
  ASSERT_TRUE(driver.accept());
  FlBinaryMessenger* messenger = fl_engine_get_binary_messenger(fl_view_get_engine(view));
  g_autoptr(FlMethodCodec) codec = FL_METHOD_CODEC(fl_standard_method_codec_new());
  g_autoptr(FlMethodChannel) shutdown =
      fl_method_channel_new(messenger, "wrenpad/system_shutdown", codec);

  Completion pending;
  fl_method_channel_invoke_method(shutdown, "save", nullptr, nullptr, Completion::cb, &pending);
  Frame frame;
  ASSERT_TRUE(driver.next(&frame));
  driver.send_raw({3, 0, 0, 0, 9, 9, 9});  // a length below the header's size
  EXPECT_TRUE(driver.wait_closed());
  pump_a_while();
  EXPECT_FALSE(pending.done) << "a call the driver never answered stays unanswered";

  Completion save;
  fl_method_channel_invoke_method(shutdown, "save", nullptr, nullptr, Completion::cb, &save);
  pump_until([&] { return save.done; });
  EXPECT_TRUE(FL_IS_METHOD_SUCCESS_RESPONSE(save.response));
}

TEST_F(PlatformView, AnUnreachableDriverLeavesTheBuiltInUiInCharge) {
  g_setenv("WRENPAD_DRIVER_SOCKET", "/nonexistent/driver.sock", TRUE);
  g_test_expect_message(G_LOG_DOMAIN, G_LOG_LEVEL_WARNING, "*cannot reach the test driver*");
  g_autoptr(FlView) view = new_view();
  FlBinaryMessenger* messenger = fl_engine_get_binary_messenger(fl_view_get_engine(view));
  g_autoptr(FlMethodCodec) codec = FL_METHOD_CODEC(fl_standard_method_codec_new());
  g_autoptr(FlMethodChannel) shutdown =
      fl_method_channel_new(messenger, "wrenpad/system_shutdown", codec);
  Completion save;
  fl_method_channel_invoke_method(shutdown, "save", nullptr, nullptr, Completion::cb, &save);
  pump_until([&] { return save.done; });
  EXPECT_TRUE(FL_IS_METHOD_SUCCESS_RESPONSE(save.response));
}

}  // namespace
