#ifndef FLUTTER_LINUX_STANDIN_TESTING_H_
#define FLUTTER_LINUX_STANDIN_TESTING_H_

// In-process access to the stand-in UI engine, for tests only: lets a test play the UI
// program's side of the binary messenger and inspect what the host set up. Program code
// never includes this header.

#include "flutter_linux.h"

G_BEGIN_DECLS

// A messenger that belongs to no view and talks to no driver: the test is the UI side.
// Returns a new reference.
FlBinaryMessenger* standin_messenger_new(void);

// Delivers a raw message from the UI side to whatever the host registered on the channel and
// runs the default main context until the host answers or timeout_ms passes. Returns the reply
// (empty bytes when the channel has no handler or the host answered "not implemented"), or
// null on timeout.
GBytes* standin_messenger_send_to_host(FlBinaryMessenger* messenger, const gchar* channel,
                                       GBytes* message, guint timeout_ms);

// The same for a method call encoded with the standard method codec. Returns the decoded
// response, or null with an error on timeout or an undecodable reply.
FlMethodResponse* standin_messenger_invoke_host_method(FlBinaryMessenger* messenger,
                                                       const gchar* channel,
                                                       const gchar* method, FlValue* args,
                                                       guint timeout_ms, GError** error);

// One message that the host sent to the UI side. Keep a reference to answer it later;
// a message never answered leaves the host's call pending.
G_DECLARE_FINAL_TYPE(StandinUiMessage, standin_ui_message, STANDIN, UI_MESSAGE, GObject)

const gchar* standin_ui_message_get_channel(StandinUiMessage* message);
GBytes* standin_ui_message_get_bytes(StandinUiMessage* message);
// Decodes the message as a standard method call; the name is owned by the message and the
// arguments are borrowed. False for bytes that are not a method call.
gboolean standin_ui_message_decode_method_call(StandinUiMessage* message, const gchar** name,
                                               FlValue** args);
// Answers with raw bytes; null means "not implemented". False when already answered.
gboolean standin_ui_message_respond(StandinUiMessage* message, GBytes* reply);
gboolean standin_ui_message_respond_success(StandinUiMessage* message, FlValue* result);

// Replaces the UI side of the messenger for host-to-UI messages: every later message from the
// host is handed to the handler (borrowed) instead of the driver or the built-in UI program.
// A null handler restores the default.
typedef void (*StandinUiHandler)(FlBinaryMessenger* messenger, StandinUiMessage* message,
                                 gpointer user_data);
void standin_messenger_set_ui_handler(FlBinaryMessenger* messenger, StandinUiHandler handler,
                                      gpointer user_data, GDestroyNotify destroy_notify);

// Standard method codec envelopes, as the UI program would write and read them.
GBytes* standin_encode_method_call(const gchar* name, FlValue* args);
gboolean standin_decode_method_call(GBytes* message, gchar** name, FlValue** args,
                                    GError** error);
GBytes* standin_encode_success_envelope(FlValue* result);
GBytes* standin_encode_error_envelope(const gchar* code, const gchar* message,
                                      FlValue* details);
FlMethodResponse* standin_decode_response(GBytes* message, GError** error);

// Plug-in registrations of this process, in order: "RegistrarName=registration_function"
// for each call of a stand-in plug-in's registration function. Free with g_strfreev.
gchar** standin_registered_plugins(void);
void standin_clear_registered_plugins(void);

// Called by the stand-in plug-in libraries.
void standin_record_plugin_registration(FlPluginRegistrar* registrar, const gchar* function);

// Whether the view has emitted "first-frame".
gboolean standin_view_first_frame_emitted(FlView* view);

G_END_DECLS

#endif  // FLUTTER_LINUX_STANDIN_TESTING_H_
