#ifndef PLATFORM_SRC_INTERNAL_H_
#define PLATFORM_SRC_INTERNAL_H_

// Pieces of the stand-in shared between its units; not part of any public header.

#include <flutter_linux/standin_testing.h>

G_BEGIN_DECLS

// The one standard method codec every built-in part of the stand-in speaks.
FlMethodCodec* standin_shared_method_codec(void);
FlMessageCodec* standin_shared_message_codec(void);

// The stand-in messenger type behind every FlBinaryMessenger it hands out.
G_DECLARE_FINAL_TYPE(StandinMessenger, standin_messenger_impl, STANDIN, MESSENGER, GObject)

// Receives the answer to a message delivered to the host: exactly once, never null (empty
// bytes when the host did not understand the message).
typedef void (*StandinReplyFunc)(GBytes* reply, gpointer data);

// Hands a message from the UI side to the host's handler for the channel.
void standin_messenger_deliver(StandinMessenger* messenger, const gchar* channel,
                               GBytes* message, StandinReplyFunc reply, gpointer data);

// Connects the UI side to the test driver listening on the Unix socket at path; on failure
// the built-in UI program stays in charge.
void standin_messenger_connect_driver(StandinMessenger* messenger, const gchar* path);

// Whether a driver is connected.
gboolean standin_messenger_has_driver(StandinMessenger* messenger);

// Receives the events that the driver sends (by name); a null handler removes it.
typedef void (*StandinDriverEventFunc)(const gchar* name, gpointer data);
void standin_messenger_set_driver_event_handler(StandinMessenger* messenger,
                                                StandinDriverEventFunc handler, gpointer data);

// Tells the driver, if one is connected, about something that happened in the engine.
void standin_messenger_send_event(StandinMessenger* messenger, const gchar* name,
                                  FlValue* payload);

G_END_DECLS

#endif  // PLATFORM_SRC_INTERNAL_H_
