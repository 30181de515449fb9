#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "driver_link.h"
#include "internal.h"

namespace {

// One message from the host to the UI side that awaits its answer. Shared between the
// messenger, the cancellable's handler and a test's StandinUiMessage.
struct Pending {
  GTask* task = nullptr;
  GCancellable* cancellable = nullptr;
  gulong cancel_id = 0;
  bool done = false;

  ~Pending() {
    if (cancel_id != 0) g_cancellable_disconnect(cancellable, cancel_id);
    g_clear_object(&cancellable);
    g_clear_object(&task);
  }

  bool complete(GBytes* reply) {
    if (done) return false;
    done = true;
    GBytes* bytes = reply != nullptr ? g_bytes_ref(reply) : g_bytes_new(nullptr, 0);
    g_task_return_pointer(task, bytes, reinterpret_cast<GDestroyNotify>(g_bytes_unref));
    return true;
  }
};

using PendingRef = std::shared_ptr<Pending>;

struct Handler {
  FlBinaryMessengerMessageHandler function;
  gpointer data;
  GDestroyNotify destroy;
};

void handler_free(gpointer data) {
  auto* handler = static_cast<Handler*>(data);
  if (handler->destroy != nullptr) handler->destroy(handler->data);
  delete handler;
}

}  // namespace

// --- Response handles -------------------------------------------------------------------

G_DEFINE_TYPE(FlBinaryMessengerResponseHandle, fl_binary_messenger_response_handle,
              G_TYPE_OBJECT)

static void fl_binary_messenger_response_handle_class_init(
    FlBinaryMessengerResponseHandleClass*) {}
static void fl_binary_messenger_response_handle_init(FlBinaryMessengerResponseHandle*) {}

G_DECLARE_FINAL_TYPE(StandinResponseHandle, standin_response_handle, STANDIN, RESPONSE_HANDLE,
                     FlBinaryMessengerResponseHandle)

struct _StandinResponseHandle {
  FlBinaryMessengerResponseHandle parent_instance;
  StandinReplyFunc reply;
  gpointer reply_data;
};

G_DEFINE_TYPE(StandinResponseHandle, standin_response_handle,
              fl_binary_messenger_response_handle_get_type())

static void response_handle_send(StandinResponseHandle* self, GBytes* reply) {
  StandinReplyFunc reply_func = self->reply;
  self->reply = nullptr;
  if (reply_func != nullptr) reply_func(reply, self->reply_data);
}

// A message that is dropped unanswered still gets an answer, so the UI side never waits
// for ever.
static void standin_response_handle_dispose(GObject* object) {
  g_autoptr(GBytes) empty = g_bytes_new(nullptr, 0);
  response_handle_send(STANDIN_RESPONSE_HANDLE(object), empty);
  G_OBJECT_CLASS(standin_response_handle_parent_class)->dispose(object);
}

static void standin_response_handle_class_init(StandinResponseHandleClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = standin_response_handle_dispose;
}

static void standin_response_handle_init(StandinResponseHandle*) {}

G_DEFINE_QUARK(fl_binary_messenger_codec_error_quark, fl_binary_messenger_codec_error)

// --- The messenger interface --------------------------------------------------------------

G_DEFINE_INTERFACE(FlBinaryMessenger, fl_binary_messenger, G_TYPE_OBJECT)

static void fl_binary_messenger_default_init(FlBinaryMessengerInterface*) {}

void fl_binary_messenger_set_message_handler_on_channel(FlBinaryMessenger* self,
                                                        const gchar* channel,
                                                        FlBinaryMessengerMessageHandler handler,
                                                        gpointer user_data,
                                                        GDestroyNotify destroy_notify) {
  g_return_if_fail(FL_IS_BINARY_MESSENGER(self));
  g_return_if_fail(channel != nullptr);
  FL_BINARY_MESSENGER_GET_IFACE(self)->set_message_handler_on_channel(self, channel, handler,
                                                                      user_data, destroy_notify);
}

gboolean fl_binary_messenger_send_response(FlBinaryMessenger* self,
                                           FlBinaryMessengerResponseHandle* response_handle,
                                           GBytes* response, GError** error) {
  g_return_val_if_fail(FL_IS_BINARY_MESSENGER(self), FALSE);
  g_return_val_if_fail(FL_IS_BINARY_MESSENGER_RESPONSE_HANDLE(response_handle), FALSE);
  return FL_BINARY_MESSENGER_GET_IFACE(self)->send_response(self, response_handle, response,
                                                             error);
}

void fl_binary_messenger_send_on_channel(FlBinaryMessenger* self, const gchar* channel,
                                         GBytes* message, GCancellable* cancellable,
                                         GAsyncReadyCallback callback, gpointer user_data) {
  g_return_if_fail(FL_IS_BINARY_MESSENGER(self));
  g_return_if_fail(channel != nullptr);
  FL_BINARY_MESSENGER_GET_IFACE(self)->send_on_channel(self, channel, message, cancellable,
                                                       callback, user_data);
}

GBytes* fl_binary_messenger_send_on_channel_finish(FlBinaryMessenger* self, GAsyncResult* result,
                                                   GError** error) {
  g_return_val_if_fail(FL_IS_BINARY_MESSENGER(self), nullptr);
  return FL_BINARY_MESSENGER_GET_IFACE(self)->send_on_channel_finish(self, result, error);
}

// --- Messages to the UI side as a test sees them -------------------------------------------

struct _StandinUiMessage {
  GObject parent_instance;
  gchar* channel;
  GBytes* bytes;
  PendingRef* pending;
  gboolean decoded;
  gchar* name;
  FlValue* args;
};

G_DEFINE_TYPE(StandinUiMessage, standin_ui_message, G_TYPE_OBJECT)

static void standin_ui_message_finalize(GObject* object) {
  StandinUiMessage* self = STANDIN_UI_MESSAGE(object);
  g_free(self->channel);
  g_bytes_unref(self->bytes);
  delete self->pending;
  g_free(self->name);
  g_clear_pointer(&self->args, fl_value_unref);
  G_OBJECT_CLASS(standin_ui_message_parent_class)->finalize(object);
}

static void standin_ui_message_class_init(StandinUiMessageClass* klass) {
  G_OBJECT_CLASS(klass)->finalize = standin_ui_message_finalize;
}

static void standin_ui_message_init(StandinUiMessage*) {}

const gchar* standin_ui_message_get_channel(StandinUiMessage* self) {
  g_return_val_if_fail(STANDIN_IS_UI_MESSAGE(self), nullptr);
  return self->channel;
}

GBytes* standin_ui_message_get_bytes(StandinUiMessage* self) {
  g_return_val_if_fail(STANDIN_IS_UI_MESSAGE(self), nullptr);
  return self->bytes;
}

gboolean standin_ui_message_decode_method_call(StandinUiMessage* self, const gchar** name,
                                               FlValue** args) {
  g_return_val_if_fail(STANDIN_IS_UI_MESSAGE(self), FALSE);
  if (!self->decoded) {
    self->decoded = standin_decode_method_call(self->bytes, &self->name, &self->args, nullptr);
  }
  if (!self->decoded) return FALSE;
  if (name != nullptr) *name = self->name;
  if (args != nullptr) *args = self->args;
  return TRUE;
}

gboolean standin_ui_message_respond(StandinUiMessage* self, GBytes* reply) {
  g_return_val_if_fail(STANDIN_IS_UI_MESSAGE(self), FALSE);
  return (*self->pending)->complete(reply);
}

gboolean standin_ui_message_respond_success(StandinUiMessage* self, FlValue* result) {
  g_autoptr(GBytes) reply = standin_encode_success_envelope(result);
  return standin_ui_message_respond(self, reply);
}

// --- The stand-in messenger ---------------------------------------------------------------

struct _StandinMessenger {
  GObject parent_instance;
  GHashTable* handlers;  // channel name -> Handler
  StandinUiHandler ui_handler;
  gpointer ui_data;
  GDestroyNotify ui_destroy;
  DriverLink* driver;
  std::map<uint32_t, PendingRef>* driver_calls;
  StandinDriverEventFunc driver_event;
  gpointer driver_event_data;
  uint32_t next_id;
};

static void standin_messenger_iface_init(FlBinaryMessengerInterface* iface);

G_DEFINE_TYPE_WITH_CODE(StandinMessenger, standin_messenger_impl, G_TYPE_OBJECT,
                        G_IMPLEMENT_INTERFACE(fl_binary_messenger_get_type(),
                                              standin_messenger_iface_init))

static void clear_ui_handler(StandinMessenger* self) {
  GDestroyNotify destroy = self->ui_destroy;
  gpointer data = self->ui_data;
  self->ui_handler = nullptr;
  self->ui_data = nullptr;
  self->ui_destroy = nullptr;
  if (destroy != nullptr) destroy(data);
}

static void standin_messenger_dispose(GObject* object) {
  StandinMessenger* self = STANDIN_MESSENGER(object);
  clear_ui_handler(self);
  g_clear_pointer(&self->handlers, g_hash_table_unref);
  delete self->driver;
  self->driver = nullptr;
  G_OBJECT_CLASS(standin_messenger_impl_parent_class)->dispose(object);
}

static void standin_messenger_finalize(GObject* object) {
  delete STANDIN_MESSENGER(object)->driver_calls;
  G_OBJECT_CLASS(standin_messenger_impl_parent_class)->finalize(object);
}

static void standin_messenger_impl_class_init(StandinMessengerClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = standin_messenger_dispose;
  G_OBJECT_CLASS(klass)->finalize = standin_messenger_finalize;
}

static void standin_messenger_impl_init(StandinMessenger* self) {
  self->handlers = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, handler_free);
  self->driver_calls = new std::map<uint32_t, PendingRef>();
  self->next_id = 1;
}

static void set_message_handler_on_channel(FlBinaryMessenger* messenger, const gchar* channel,
                                           FlBinaryMessengerMessageHandler handler,
                                           gpointer user_data, GDestroyNotify destroy_notify) {
  StandinMessenger* self = STANDIN_MESSENGER(messenger);
  if (self->handlers == nullptr) return;
  if (handler == nullptr) {
    g_hash_table_remove(self->handlers, channel);
    return;
  }
  g_hash_table_replace(self->handlers, g_strdup(channel),
                       new Handler{handler, user_data, destroy_notify});
}

static gboolean send_response(FlBinaryMessenger*,
                              FlBinaryMessengerResponseHandle* response_handle, GBytes* response,
                              GError** error) {
  StandinResponseHandle* handle = STANDIN_RESPONSE_HANDLE(response_handle);
  if (handle->reply == nullptr) {
    g_set_error(error, FL_BINARY_MESSENGER_ERROR, FL_BINARY_MESSENGER_ERROR_ALREADY_RESPONDED,
                "Attempted to respond to a message that is already responded to");
    return FALSE;
  }
  g_autoptr(GBytes) empty = g_bytes_new(nullptr, 0);
  response_handle_send(handle, response != nullptr ? response : empty);
  return TRUE;
}

namespace {

// Held by the cancellable's handler without keeping the message alive: the message's own
// end disconnects the handler.
struct CancelWatch {
  std::weak_ptr<Pending> pending;
};

struct CancelData {
  PendingRef pending;
};

gboolean cancelled_idle_cb(gpointer data) {
  auto* cancel = static_cast<CancelData*>(data);
  Pending& pending = *cancel->pending;
  if (!pending.done) {
    pending.done = true;
    g_task_return_new_error(pending.task, G_IO_ERROR, G_IO_ERROR_CANCELLED,
                            "Operation was cancelled");
  }
  return G_SOURCE_REMOVE;
}

// The answer to a cancelled message is given from the main loop, never from inside
// g_cancellable_cancel, so the canceller is not re-entered.
void cancelled_cb(GCancellable*, gpointer data) {
  PendingRef pending = static_cast<CancelWatch*>(data)->pending.lock();
  if (!pending) return;
  auto* cancel = new CancelData{pending};
  g_idle_add_full(G_PRIORITY_DEFAULT, cancelled_idle_cb, cancel,
                  [](gpointer d) { delete static_cast<CancelData*>(d); });
}

// What the UI program does when no driver speaks for it: saves succeed, a shutdown request
// is answered by quitting, and nothing else is understood.
struct BuiltinCall {
  GWeakRef messenger;
  std::string channel;
  GBytes* message;
  PendingRef pending;
};

constexpr char kShutdownChannel[] = "wrenpad/system_shutdown";

void discard_reply(GBytes*, gpointer) {}

gboolean builtin_ui_cb(gpointer data) {
  auto* call = static_cast<BuiltinCall*>(data);
  g_autofree gchar* name = nullptr;
  g_autoptr(FlValue) args = nullptr;
  bool is_call = standin_decode_method_call(call->message, &name, &args, nullptr);
  bool on_shutdown_channel = call->channel == kShutdownChannel;
  if (is_call && on_shutdown_channel &&
      (std::strcmp(name, "save") == 0 || std::strcmp(name, "shutdown") == 0)) {
    g_autoptr(GBytes) success = standin_encode_success_envelope(nullptr);
    call->pending->complete(success);
  } else {
    call->pending->complete(nullptr);
  }
  g_autoptr(GObject) messenger = static_cast<GObject*>(g_weak_ref_get(&call->messenger));
  if (messenger != nullptr && is_call && on_shutdown_channel &&
      std::strcmp(name, "shutdown") == 0) {
    g_autoptr(GBytes) quit = standin_encode_method_call("quit", nullptr);
    standin_messenger_deliver(STANDIN_MESSENGER(messenger), kShutdownChannel, quit,
                              discard_reply, nullptr);
  }
  return G_SOURCE_REMOVE;
}

void builtin_call_free(gpointer data) {
  auto* call = static_cast<BuiltinCall*>(data);
  g_weak_ref_clear(&call->messenger);
  g_bytes_unref(call->message);
  delete call;
}

}  // namespace

static void send_on_channel(FlBinaryMessenger* messenger, const gchar* channel, GBytes* message,
                            GCancellable* cancellable, GAsyncReadyCallback callback,
                            gpointer user_data) {
  StandinMessenger* self = STANDIN_MESSENGER(messenger);
  auto pending = std::make_shared<Pending>();
  pending->task = g_task_new(self, cancellable, callback, user_data);
  if (cancellable != nullptr) {
    pending->cancellable = G_CANCELLABLE(g_object_ref(cancellable));
    pending->cancel_id = g_cancellable_connect(
        cancellable, G_CALLBACK(cancelled_cb), new CancelWatch{pending},
        [](gpointer d) { delete static_cast<CancelWatch*>(d); });
  }
  g_autoptr(GBytes) empty = g_bytes_new(nullptr, 0);
  GBytes* bytes = message != nullptr ? message : empty;

  if (self->ui_handler != nullptr) {
    auto* ui_message = STANDIN_UI_MESSAGE(g_object_new(standin_ui_message_get_type(), nullptr));
    ui_message->channel = g_strdup(channel);
    ui_message->bytes = g_bytes_ref(bytes);
    ui_message->pending = new PendingRef(pending);
    self->ui_handler(messenger, ui_message, self->ui_data);
    g_object_unref(ui_message);
  } else if (self->driver != nullptr && self->driver->connected()) {
    uint32_t id = self->next_id++;
    (*self->driver_calls)[id] = pending;
    self->driver->send(DriverLink::kMessage, id, channel, bytes);
  } else {
    auto* call = new BuiltinCall{{}, channel, g_bytes_ref(bytes), pending};
    g_weak_ref_init(&call->messenger, self);
    g_idle_add_full(G_PRIORITY_DEFAULT, builtin_ui_cb, call, builtin_call_free);
  }
}

static GBytes* send_on_channel_finish(FlBinaryMessenger* messenger, GAsyncResult* result,
                                      GError** error) {
  g_return_val_if_fail(g_task_is_valid(result, messenger), nullptr);
  return static_cast<GBytes*>(g_task_propagate_pointer(G_TASK(result), error));
}

static void standin_messenger_iface_init(FlBinaryMessengerInterface* iface) {
  iface->set_message_handler_on_channel = set_message_handler_on_channel;
  iface->send_response = send_response;
  iface->send_on_channel = send_on_channel;
  iface->send_on_channel_finish = send_on_channel_finish;
}

void standin_messenger_deliver(StandinMessenger* self, const gchar* channel, GBytes* message,
                               StandinReplyFunc reply, gpointer data) {
  auto* handler = self->handlers != nullptr
                      ? static_cast<Handler*>(g_hash_table_lookup(self->handlers, channel))
                      : nullptr;
  if (handler == nullptr) {
    g_autoptr(GBytes) empty = g_bytes_new(nullptr, 0);
    reply(empty, data);
    return;
  }
  auto* handle =
      STANDIN_RESPONSE_HANDLE(g_object_new(standin_response_handle_get_type(), nullptr));
  handle->reply = reply;
  handle->reply_data = data;
  // The handler may replace itself while it runs; keep what is called stable.
  Handler call = *handler;
  g_object_ref(self);
  call.function(FL_BINARY_MESSENGER(self), channel, message,
                FL_BINARY_MESSENGER_RESPONSE_HANDLE(handle), call.data);
  g_object_unref(handle);
  g_object_unref(self);
}

// --- The driver ---------------------------------------------------------------------------

namespace {

struct DriverReply {
  GWeakRef messenger;
  uint32_t id;
  std::string channel;
};

void driver_reply(GBytes* reply, gpointer data) {
  auto* target = static_cast<DriverReply*>(data);
  g_autoptr(GObject) object = static_cast<GObject*>(g_weak_ref_get(&target->messenger));
  if (object != nullptr) {
    StandinMessenger* self = STANDIN_MESSENGER(object);
    if (self->driver != nullptr) {
      self->driver->send(DriverLink::kReply, target->id, target->channel, reply);
    }
  }
  g_weak_ref_clear(&target->messenger);
  delete target;
}

// Each message from the driver is handed over from its own main-loop source, so a handler
// that waits in a nested main loop still lets the messages behind it through.
struct DriverMessage {
  GWeakRef messenger;
  uint32_t id;
  std::string channel;
  GBytes* payload;
};

gboolean driver_message_cb(gpointer data) {
  auto* message = static_cast<DriverMessage*>(data);
  g_autoptr(GObject) object = static_cast<GObject*>(g_weak_ref_get(&message->messenger));
  if (object == nullptr) return G_SOURCE_REMOVE;
  auto* target = new DriverReply{{}, message->id, message->channel};
  g_weak_ref_init(&target->messenger, object);
  standin_messenger_deliver(STANDIN_MESSENGER(object), message->channel.c_str(),
                            message->payload, driver_reply, target);
  return G_SOURCE_REMOVE;
}

void driver_message_free(gpointer data) {
  auto* message = static_cast<DriverMessage*>(data);
  g_weak_ref_clear(&message->messenger);
  g_bytes_unref(message->payload);
  delete message;
}

}  // namespace

void standin_messenger_connect_driver(StandinMessenger* self, const gchar* path) {
  g_autoptr(GError) error = nullptr;
  auto on_frame = [self](const DriverLink::Frame& frame) {
    if (frame.kind == DriverLink::kMessage) {
      auto* message = new DriverMessage{{}, frame.id, frame.channel, g_bytes_ref(frame.payload)};
      g_weak_ref_init(&message->messenger, self);
      g_idle_add_full(G_PRIORITY_DEFAULT, driver_message_cb, message, driver_message_free);
    } else if (frame.kind == DriverLink::kEvent) {
      if (self->driver_event != nullptr) {
        self->driver_event(frame.channel.c_str(), self->driver_event_data);
      }
    } else if (frame.kind == DriverLink::kReply) {
      auto found = self->driver_calls->find(frame.id);
      if (found == self->driver_calls->end()) return;
      PendingRef pending = found->second;
      self->driver_calls->erase(found);
      pending->complete(frame.payload);
    }
  };
  // Calls still waiting when the driver goes away are never answered, like those of a UI
  // program that stopped responding.
  auto on_close = [self]() { self->driver_calls->clear(); };
  std::unique_ptr<DriverLink> link = DriverLink::connect(path, on_frame, on_close, &error);
  if (!link) {
    g_warning("cannot reach the test driver at %s: %s", path, error->message);
    return;
  }
  delete self->driver;
  self->driver = link.release();
}

gboolean standin_messenger_has_driver(StandinMessenger* self) {
  return self->driver != nullptr && self->driver->connected();
}

void standin_messenger_set_driver_event_handler(StandinMessenger* self,
                                                StandinDriverEventFunc handler, gpointer data) {
  self->driver_event = handler;
  self->driver_event_data = data;
}

void standin_messenger_send_event(StandinMessenger* self, const gchar* name, FlValue* payload) {
  if (self->driver == nullptr || !self->driver->connected()) return;
  g_autoptr(GBytes) bytes =
      fl_message_codec_encode_message(standin_shared_message_codec(), payload, nullptr);
  self->driver->send(DriverLink::kEvent, 0, name, bytes);
}

// --- Test access --------------------------------------------------------------------------

FlBinaryMessenger* standin_messenger_new(void) {
  return FL_BINARY_MESSENGER(g_object_new(standin_messenger_impl_get_type(), nullptr));
}

void standin_messenger_set_ui_handler(FlBinaryMessenger* messenger, StandinUiHandler handler,
                                      gpointer user_data, GDestroyNotify destroy_notify) {
  g_return_if_fail(STANDIN_IS_MESSENGER(messenger));
  StandinMessenger* self = STANDIN_MESSENGER(messenger);
  clear_ui_handler(self);
  self->ui_handler = handler;
  self->ui_data = user_data;
  self->ui_destroy = destroy_notify;
}

namespace {

struct SyncReply {
  GBytes* reply = nullptr;
  bool done = false;

  ~SyncReply() {
    if (reply != nullptr) g_bytes_unref(reply);
  }
};

void sync_reply(GBytes* reply, gpointer data) {
  auto* state = static_cast<std::shared_ptr<SyncReply>*>(data);
  (*state)->reply = g_bytes_ref(reply);
  (*state)->done = true;
  delete state;
}

gboolean timed_out_cb(gpointer data) {
  *static_cast<bool*>(data) = true;
  return G_SOURCE_REMOVE;
}

}  // namespace

GBytes* standin_messenger_send_to_host(FlBinaryMessenger* messenger, const gchar* channel,
                                       GBytes* message, guint timeout_ms) {
  g_return_val_if_fail(STANDIN_IS_MESSENGER(messenger), nullptr);
  auto state = std::make_shared<SyncReply>();
  standin_messenger_deliver(STANDIN_MESSENGER(messenger), channel, message, sync_reply,
                            new std::shared_ptr<SyncReply>(state));
  bool timed_out = false;
  guint timer = g_timeout_add(timeout_ms, timed_out_cb, &timed_out);
  while (!state->done && !timed_out) g_main_context_iteration(nullptr, TRUE);
  if (!timed_out) g_source_remove(timer);
  // A late answer still lands in the shared state and is released with it.
  GBytes* reply = state->reply;
  state->reply = nullptr;
  if (!state->done) return nullptr;
  return reply;
}

FlMethodResponse* standin_messenger_invoke_host_method(FlBinaryMessenger* messenger,
                                                       const gchar* channel, const gchar* method,
                                                       FlValue* args, guint timeout_ms,
                                                       GError** error) {
  g_autoptr(GBytes) message = standin_encode_method_call(method, args);
  g_autoptr(GBytes) reply = standin_messenger_send_to_host(messenger, channel, message,
                                                           timeout_ms);
  if (reply == nullptr) {
    g_set_error(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT, "No reply to %s on %s within %u ms",
                method, channel, timeout_ms);
    return nullptr;
  }
  return standin_decode_response(reply, error);
}
