#ifndef FLUTTER_LINUX_FL_METHOD_CHANNEL_H_
#define FLUTTER_LINUX_FL_METHOD_CHANNEL_H_

#include <gio/gio.h>

#include "fl_binary_messenger.h"
#include "fl_codec.h"
#include "fl_method_response.h"
#include "fl_value.h"

G_BEGIN_DECLS

// One incoming call on a method channel; it must be answered exactly once.
G_DECLARE_FINAL_TYPE(FlMethodCall, fl_method_call, FL, METHOD_CALL, GObject)

const gchar* fl_method_call_get_name(FlMethodCall* method_call);
FlValue* fl_method_call_get_args(FlMethodCall* method_call);
gboolean fl_method_call_respond(FlMethodCall* method_call, FlMethodResponse* response,
                                GError** error);
gboolean fl_method_call_respond_success(FlMethodCall* method_call, FlValue* result,
                                        GError** error);
gboolean fl_method_call_respond_error(FlMethodCall* method_call, const gchar* code,
                                      const gchar* message, FlValue* details, GError** error);
gboolean fl_method_call_respond_not_implemented(FlMethodCall* method_call, GError** error);

// A named channel on the binary messenger whose messages are method calls.
G_DECLARE_FINAL_TYPE(FlMethodChannel, fl_method_channel, FL, METHOD_CHANNEL, GObject)

typedef void (*FlMethodChannelMethodCallHandler)(FlMethodChannel* channel,
                                                 FlMethodCall* method_call, gpointer user_data);

FlMethodChannel* fl_method_channel_new(FlBinaryMessenger* messenger, const gchar* name,
                                       FlMethodCodec* codec);
void fl_method_channel_set_method_call_handler(FlMethodChannel* channel,
                                               FlMethodChannelMethodCallHandler handler,
                                               gpointer user_data, GDestroyNotify destroy_notify);
// A null callback sends the call without waiting for its reply.
void fl_method_channel_invoke_method(FlMethodChannel* channel, const gchar* method,
                                     FlValue* args, GCancellable* cancellable,
                                     GAsyncReadyCallback callback, gpointer user_data);
FlMethodResponse* fl_method_channel_invoke_method_finish(FlMethodChannel* channel,
                                                         GAsyncResult* result, GError** error);

G_END_DECLS

#endif  // FLUTTER_LINUX_FL_METHOD_CHANNEL_H_
