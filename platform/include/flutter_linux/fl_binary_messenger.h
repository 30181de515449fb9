#ifndef FLUTTER_LINUX_FL_BINARY_MESSENGER_H_
#define FLUTTER_LINUX_FL_BINARY_MESSENGER_H_

#include <gio/gio.h>

G_BEGIN_DECLS

#define FL_BINARY_MESSENGER_ERROR fl_binary_messenger_codec_error_quark()

typedef enum {
  FL_BINARY_MESSENGER_ERROR_ALREADY_RESPONDED,
} FlBinaryMessengerError;

GQuark fl_binary_messenger_codec_error_quark(void) G_GNUC_CONST;

// The token that lets a message handler answer one incoming message.
G_DECLARE_DERIVABLE_TYPE(FlBinaryMessengerResponseHandle, fl_binary_messenger_response_handle,
                         FL, BINARY_MESSENGER_RESPONSE_HANDLE, GObject)

struct _FlBinaryMessengerResponseHandleClass {
  GObjectClass parent_class;
};

// Exchanges raw messages with the UI program, channel by channel.
G_DECLARE_INTERFACE(FlBinaryMessenger, fl_binary_messenger, FL, BINARY_MESSENGER, GObject)

typedef void (*FlBinaryMessengerMessageHandler)(FlBinaryMessenger* messenger,
                                                const gchar* channel, GBytes* message,
                                                FlBinaryMessengerResponseHandle* response_handle,
                                                gpointer user_data);

struct _FlBinaryMessengerInterface {
  GTypeInterface parent_iface;

  void (*set_message_handler_on_channel)(FlBinaryMessenger* messenger, const gchar* channel,
                                         FlBinaryMessengerMessageHandler handler,
                                         gpointer user_data, GDestroyNotify destroy_notify);
  gboolean (*send_response)(FlBinaryMessenger* messenger,
                            FlBinaryMessengerResponseHandle* response_handle, GBytes* response,
                            GError** error);
  void (*send_on_channel)(FlBinaryMessenger* messenger, const gchar* channel, GBytes* message,
                          GCancellable* cancellable, GAsyncReadyCallback callback,
                          gpointer user_data);
  GBytes* (*send_on_channel_finish)(FlBinaryMessenger* messenger, GAsyncResult* result,
                                    GError** error);
};

// A null handler removes the channel's handler.
void fl_binary_messenger_set_message_handler_on_channel(FlBinaryMessenger* messenger,
                                                        const gchar* channel,
                                                        FlBinaryMessengerMessageHandler handler,
                                                        gpointer user_data,
                                                        GDestroyNotify destroy_notify);
// A null or empty response means that the message was not understood.
gboolean fl_binary_messenger_send_response(FlBinaryMessenger* messenger,
                                           FlBinaryMessengerResponseHandle* response_handle,
                                           GBytes* response, GError** error);
void fl_binary_messenger_send_on_channel(FlBinaryMessenger* messenger, const gchar* channel,
                                         GBytes* message, GCancellable* cancellable,
                                         GAsyncReadyCallback callback, gpointer user_data);
GBytes* fl_binary_messenger_send_on_channel_finish(FlBinaryMessenger* messenger,
                                                   GAsyncResult* result, GError** error);

G_END_DECLS

#endif  // FLUTTER_LINUX_FL_BINARY_MESSENGER_H_
