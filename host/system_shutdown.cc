#include "system_shutdown.h"

#include <glib-unix.h>

#include <csignal>
#include <cstring>

static constexpr char kChannelName[] = "wrenpad/system_shutdown";
static constexpr guint kDeadlineSeconds = 10;
static constexpr char kInhibitReason[] = "Saving notes";

static void quit(SystemShutdown* shutdown) {
  g_clear_handle_id(&shutdown->quit_deadline, g_source_remove);
  // A window still attached to the application would keep it running.
  GList* windows = g_list_copy(gtk_application_get_windows(GTK_APPLICATION(shutdown->application)));
  for (GList* link = windows; link != nullptr; link = link->next) {
    gtk_window_set_application(GTK_WINDOW(link->data), nullptr);
  }
  g_list_free(windows);
  g_application_quit(shutdown->application);
}

static gboolean deadline_cb(gpointer user_data) {
  SystemShutdown* shutdown = static_cast<SystemShutdown*>(user_data);
  shutdown->quit_deadline = 0;
  quit(shutdown);
  return G_SOURCE_REMOVE;
}

static void request_shutdown(SystemShutdown* shutdown) {
  if (shutdown->shutting_down) {
    return;
  }
  shutdown->shutting_down = TRUE;
  fl_method_channel_invoke_method(shutdown->channel, "shutdown", nullptr, nullptr, nullptr,
                                  nullptr);
  shutdown->quit_deadline = g_timeout_add_seconds(kDeadlineSeconds, deadline_cb, shutdown);
}

static gboolean signal_cb(gpointer user_data) {
  request_shutdown(static_cast<SystemShutdown*>(user_data));
  return G_SOURCE_CONTINUE;
}

static gboolean delete_event_cb(GtkWidget* widget, GdkEvent* event, gpointer user_data) {
  (void)widget;
  (void)event;
  request_shutdown(static_cast<SystemShutdown*>(user_data));
  // The window stays: the UI program decides when to quit.
  return TRUE;
}

static void lift_inhibition(SystemShutdown* shutdown) {
  if (shutdown->inhibit_cookie != 0) {
    gtk_application_uninhibit(GTK_APPLICATION(shutdown->application), shutdown->inhibit_cookie);
    shutdown->inhibit_cookie = 0;
  }
}

static gboolean save_deadline_cb(gpointer user_data) {
  SystemShutdown* shutdown = static_cast<SystemShutdown*>(user_data);
  shutdown->save_deadline = 0;
  lift_inhibition(shutdown);
  return G_SOURCE_REMOVE;
}

static void saved_cb(GObject* source, GAsyncResult* result, gpointer user_data) {
  g_autoptr(GError) error = nullptr;
  g_autoptr(FlMethodResponse) response =
      fl_method_channel_invoke_method_finish(FL_METHOD_CHANNEL(source), result, &error);
  // Cancelled only by system_shutdown_free: user_data may be gone already.
  if (response == nullptr && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
    return;
  }
  SystemShutdown* shutdown = static_cast<SystemShutdown*>(user_data);
  g_clear_handle_id(&shutdown->save_deadline, g_source_remove);
  lift_inhibition(shutdown);
}

static void query_end_cb(GtkApplication* application, gpointer user_data) {
  (void)application;
  SystemShutdown* shutdown = static_cast<SystemShutdown*>(user_data);
  if (shutdown->save_deadline != 0) {
    return;
  }
  shutdown->inhibit_cookie =
      gtk_application_inhibit(GTK_APPLICATION(shutdown->application), shutdown->window,
                              GTK_APPLICATION_INHIBIT_LOGOUT, kInhibitReason);
  fl_method_channel_invoke_method(shutdown->channel, "save", nullptr, shutdown->cancellable,
                                  saved_cb, shutdown);
  shutdown->save_deadline = g_timeout_add_seconds(kDeadlineSeconds, save_deadline_cb, shutdown);
}

static void method_call_cb(FlMethodChannel* channel, FlMethodCall* method_call,
                           gpointer user_data) {
  (void)channel;
  SystemShutdown* shutdown = static_cast<SystemShutdown*>(user_data);
  if (strcmp(fl_method_call_get_name(method_call), "quit") == 0) {
    // Reply first: quitting ends the main loop, after which no reply is sent.
    g_autoptr(FlMethodResponse) response =
        FL_METHOD_RESPONSE(fl_method_success_response_new(nullptr));
    fl_method_call_respond(method_call, response, nullptr);
    quit(shutdown);
    return;
  }
  g_autoptr(FlMethodResponse) response =
      FL_METHOD_RESPONSE(fl_method_not_implemented_response_new());
  fl_method_call_respond(method_call, response, nullptr);
}

SystemShutdown* system_shutdown_new(FlBinaryMessenger* messenger, GApplication* application,
                                    GtkWindow* window) {
  g_return_val_if_fail(FL_IS_BINARY_MESSENGER(messenger), nullptr);
  g_return_val_if_fail(GTK_IS_APPLICATION(application), nullptr);
  g_return_val_if_fail(GTK_IS_WINDOW(window), nullptr);
  SystemShutdown* shutdown = g_new0(SystemShutdown, 1);
  g_autoptr(FlStandardMethodCodec) codec = fl_standard_method_codec_new();
  shutdown->channel = fl_method_channel_new(messenger, kChannelName, FL_METHOD_CODEC(codec));
  fl_method_channel_set_method_call_handler(shutdown->channel, method_call_cb, shutdown, nullptr);
  shutdown->application = application;
  shutdown->cancellable = g_cancellable_new();
  shutdown->sigterm_source = g_unix_signal_add(SIGTERM, signal_cb, shutdown);
  shutdown->sigint_source = g_unix_signal_add(SIGINT, signal_cb, shutdown);
  shutdown->sighup_source = g_unix_signal_add(SIGHUP, signal_cb, shutdown);
  shutdown->query_end_handler =
      g_signal_connect(application, "query-end", G_CALLBACK(query_end_cb), shutdown);
  shutdown->window = GTK_WINDOW(g_object_ref(window));
  shutdown->delete_event_handler =
      g_signal_connect(window, "delete-event", G_CALLBACK(delete_event_cb), shutdown);
  return shutdown;
}

void system_shutdown_free(SystemShutdown* shutdown) {
  if (shutdown == nullptr) {
    return;
  }
  g_clear_handle_id(&shutdown->sigterm_source, g_source_remove);
  g_clear_handle_id(&shutdown->sigint_source, g_source_remove);
  g_clear_handle_id(&shutdown->sighup_source, g_source_remove);
  g_clear_handle_id(&shutdown->quit_deadline, g_source_remove);
  g_clear_handle_id(&shutdown->save_deadline, g_source_remove);
  g_cancellable_cancel(shutdown->cancellable);
  g_clear_object(&shutdown->cancellable);
  g_clear_signal_handler(&shutdown->query_end_handler, shutdown->application);
  g_clear_signal_handler(&shutdown->delete_event_handler, shutdown->window);
  // The channel may be kept alive by the messenger; it must not call back into
  // a freed record.
  fl_method_channel_set_method_call_handler(shutdown->channel, nullptr, nullptr, nullptr);
  g_clear_object(&shutdown->window);
  g_clear_object(&shutdown->channel);
  g_free(shutdown);
}
