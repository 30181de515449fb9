#include "internal.h"

struct _FlMethodCall {
  GObject parent_instance;
  gchar* name;
  FlValue* args;
  FlMethodChannel* channel;
  FlBinaryMessengerResponseHandle* response_handle;
};

struct _FlMethodChannel {
  GObject parent_instance;
  FlBinaryMessenger* messenger;
  gchar* name;
  FlMethodCodec* codec;
  FlMethodChannelMethodCallHandler handler;
  gpointer handler_data;
  GDestroyNotify handler_destroy;
};

G_DEFINE_TYPE(FlMethodCall, fl_method_call, G_TYPE_OBJECT)
G_DEFINE_TYPE(FlMethodChannel, fl_method_channel, G_TYPE_OBJECT)

static void fl_method_call_dispose(GObject* object) {
  FlMethodCall* self = FL_METHOD_CALL(object);
  g_clear_pointer(&self->name, g_free);
  g_clear_pointer(&self->args, fl_value_unref);
  g_clear_object(&self->channel);
  g_clear_object(&self->response_handle);
  G_OBJECT_CLASS(fl_method_call_parent_class)->dispose(object);
}

static void fl_method_call_class_init(FlMethodCallClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_method_call_dispose;
}

static void fl_method_call_init(FlMethodCall*) {}

const gchar* fl_method_call_get_name(FlMethodCall* self) {
  g_return_val_if_fail(FL_IS_METHOD_CALL(self), nullptr);
  return self->name;
}

FlValue* fl_method_call_get_args(FlMethodCall* self) {
  g_return_val_if_fail(FL_IS_METHOD_CALL(self), nullptr);
  return self->args;
}

static gboolean send_reply(FlMethodCall* self, GBytes* reply, GError** error) {
  if (reply == nullptr) return FALSE;
  gboolean sent = fl_binary_messenger_send_response(self->channel->messenger,
                                                    self->response_handle, reply, error);
  g_bytes_unref(reply);
  return sent;
}

gboolean fl_method_call_respond(FlMethodCall* self, FlMethodResponse* response, GError** error) {
  g_return_val_if_fail(FL_IS_METHOD_CALL(self), FALSE);
  g_return_val_if_fail(FL_IS_METHOD_RESPONSE(response), FALSE);
  if (FL_IS_METHOD_SUCCESS_RESPONSE(response)) {
    return fl_method_call_respond_success(
        self, fl_method_success_response_get_result(FL_METHOD_SUCCESS_RESPONSE(response)), error);
  }
  if (FL_IS_METHOD_ERROR_RESPONSE(response)) {
    FlMethodErrorResponse* e = FL_METHOD_ERROR_RESPONSE(response);
    return fl_method_call_respond_error(self, fl_method_error_response_get_code(e),
                                        fl_method_error_response_get_message(e),
                                        fl_method_error_response_get_details(e), error);
  }
  return fl_method_call_respond_not_implemented(self, error);
}

gboolean fl_method_call_respond_success(FlMethodCall* self, FlValue* result, GError** error) {
  g_return_val_if_fail(FL_IS_METHOD_CALL(self), FALSE);
  FlMethodCodec* codec = self->channel->codec;
  return send_reply(
      self, FL_METHOD_CODEC_GET_CLASS(codec)->encode_success_envelope(codec, result, error),
      error);
}

gboolean fl_method_call_respond_error(FlMethodCall* self, const gchar* code, const gchar* message,
                                      FlValue* details, GError** error) {
  g_return_val_if_fail(FL_IS_METHOD_CALL(self), FALSE);
  g_return_val_if_fail(code != nullptr, FALSE);
  FlMethodCodec* codec = self->channel->codec;
  return send_reply(self,
                    FL_METHOD_CODEC_GET_CLASS(codec)->encode_error_envelope(codec, code, message,
                                                                            details, error),
                    error);
}

gboolean fl_method_call_respond_not_implemented(FlMethodCall* self, GError** error) {
  g_return_val_if_fail(FL_IS_METHOD_CALL(self), FALSE);
  return send_reply(self, g_bytes_new(nullptr, 0), error);
}

static void message_cb(FlBinaryMessenger* messenger, const gchar*, GBytes* message,
                       FlBinaryMessengerResponseHandle* response_handle, gpointer user_data) {
  FlMethodChannel* self = FL_METHOD_CHANNEL(user_data);
  FlMethodCodec* codec = self->codec;
  g_autofree gchar* name = nullptr;
  g_autoptr(FlValue) args = nullptr;
  if (self->handler == nullptr ||
      !FL_METHOD_CODEC_GET_CLASS(codec)->decode_method_call(codec, message, &name, &args,
                                                            nullptr)) {
    g_autoptr(GBytes) empty = g_bytes_new(nullptr, 0);
    fl_binary_messenger_send_response(messenger, response_handle, empty, nullptr);
    return;
  }
  auto* call = FL_METHOD_CALL(g_object_new(fl_method_call_get_type(), nullptr));
  call->name = static_cast<gchar*>(g_steal_pointer(&name));
  call->args = static_cast<FlValue*>(g_steal_pointer(&args));
  call->channel = FL_METHOD_CHANNEL(g_object_ref(self));
  call->response_handle = FL_BINARY_MESSENGER_RESPONSE_HANDLE(g_object_ref(response_handle));
  self->handler(self, call, self->handler_data);
  g_object_unref(call);
}

static void clear_handler(FlMethodChannel* self) {
  GDestroyNotify destroy = self->handler_destroy;
  gpointer data = self->handler_data;
  self->handler = nullptr;
  self->handler_data = nullptr;
  self->handler_destroy = nullptr;
  if (destroy != nullptr) destroy(data);
}

static void fl_method_channel_dispose(GObject* object) {
  FlMethodChannel* self = FL_METHOD_CHANNEL(object);
  if (self->messenger != nullptr) {
    fl_binary_messenger_set_message_handler_on_channel(self->messenger, self->name, nullptr,
                                                       nullptr, nullptr);
  }
  clear_handler(self);
  g_clear_object(&self->messenger);
  g_clear_object(&self->codec);
  g_clear_pointer(&self->name, g_free);
  G_OBJECT_CLASS(fl_method_channel_parent_class)->dispose(object);
}

static void fl_method_channel_class_init(FlMethodChannelClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_method_channel_dispose;
}

static void fl_method_channel_init(FlMethodChannel*) {}

FlMethodChannel* fl_method_channel_new(FlBinaryMessenger* messenger, const gchar* name,
                                       FlMethodCodec* codec) {
  g_return_val_if_fail(FL_IS_BINARY_MESSENGER(messenger), nullptr);
  g_return_val_if_fail(name != nullptr, nullptr);
  g_return_val_if_fail(FL_IS_METHOD_CODEC(codec), nullptr);
  auto* self = FL_METHOD_CHANNEL(g_object_new(fl_method_channel_get_type(), nullptr));
  self->messenger = FL_BINARY_MESSENGER(g_object_ref(messenger));
  self->name = g_strdup(name);
  self->codec = FL_METHOD_CODEC(g_object_ref(codec));
  // The messenger holds the channel without a reference: the channel's owner decides its
  // lifetime, and disposing the channel removes the handler again.
  fl_binary_messenger_set_message_handler_on_channel(messenger, name, message_cb, self, nullptr);
  return self;
}

void fl_method_channel_set_method_call_handler(FlMethodChannel* self,
                                               FlMethodChannelMethodCallHandler handler,
                                               gpointer user_data, GDestroyNotify destroy_notify) {
  g_return_if_fail(FL_IS_METHOD_CHANNEL(self));
  clear_handler(self);
  self->handler = handler;
  self->handler_data = user_data;
  self->handler_destroy = destroy_notify;
}

static void invoke_sent_cb(GObject*, GAsyncResult* result, gpointer user_data) {
  GTask* task = G_TASK(user_data);
  g_task_return_pointer(task, g_object_ref(result), g_object_unref);
  g_object_unref(task);
}

void fl_method_channel_invoke_method(FlMethodChannel* self, const gchar* method, FlValue* args,
                                     GCancellable* cancellable, GAsyncReadyCallback callback,
                                     gpointer user_data) {
  g_return_if_fail(FL_IS_METHOD_CHANNEL(self));
  g_return_if_fail(method != nullptr);
  FlMethodCodec* codec = self->codec;
  g_autoptr(GBytes) message =
      FL_METHOD_CODEC_GET_CLASS(codec)->encode_method_call(codec, method, args, nullptr);
  if (message == nullptr) return;
  if (callback == nullptr) {
    fl_binary_messenger_send_on_channel(self->messenger, self->name, message, cancellable,
                                        nullptr, nullptr);
    return;
  }
  GTask* task = g_task_new(self, cancellable, callback, user_data);
  fl_binary_messenger_send_on_channel(self->messenger, self->name, message, cancellable,
                                      invoke_sent_cb, task);
}

FlMethodResponse* fl_method_channel_invoke_method_finish(FlMethodChannel* self,
                                                         GAsyncResult* result, GError** error) {
  g_return_val_if_fail(FL_IS_METHOD_CHANNEL(self), nullptr);
  g_return_val_if_fail(g_task_is_valid(result, self), nullptr);
  g_autoptr(GAsyncResult) sent =
      static_cast<GAsyncResult*>(g_task_propagate_pointer(G_TASK(result), error));
  if (sent == nullptr) return nullptr;
  g_autoptr(GBytes) reply = fl_binary_messenger_send_on_channel_finish(self->messenger, sent,
                                                                       error);
  if (reply == nullptr) return nullptr;
  FlMethodCodec* codec = self->codec;
  return FL_METHOD_CODEC_GET_CLASS(codec)->decode_response(codec, reply, error);
}
