#include <string>
#include <vector>

#include "internal.h"

namespace {

// The registrations of every stand-in plug-in in this process, in order.
std::vector<std::string>& plugin_registrations() {
  static std::vector<std::string> registrations;
  return registrations;
}

constexpr char kDriverSocketVariable[] = "WRENPAD_DRIVER_SOCKET";
// Set to "on-request", the first frame waits for the driver's "render-first-frame" event.
constexpr char kFirstFrameVariable[] = "WRENPAD_DRIVER_FIRST_FRAME";

}  // namespace

// --- Project ------------------------------------------------------------------------------

struct _FlDartProject {
  GObject parent_instance;
  gchar** entrypoint_arguments;
};

G_DEFINE_TYPE(FlDartProject, fl_dart_project, G_TYPE_OBJECT)

static void fl_dart_project_finalize(GObject* object) {
  g_strfreev(FL_DART_PROJECT(object)->entrypoint_arguments);
  G_OBJECT_CLASS(fl_dart_project_parent_class)->finalize(object);
}

static void fl_dart_project_class_init(FlDartProjectClass* klass) {
  G_OBJECT_CLASS(klass)->finalize = fl_dart_project_finalize;
}

static void fl_dart_project_init(FlDartProject*) {}

FlDartProject* fl_dart_project_new(void) {
  return FL_DART_PROJECT(g_object_new(fl_dart_project_get_type(), nullptr));
}

void fl_dart_project_set_dart_entrypoint_arguments(FlDartProject* self, char** argv) {
  g_return_if_fail(FL_IS_DART_PROJECT(self));
  g_strfreev(self->entrypoint_arguments);
  self->entrypoint_arguments = g_strdupv(argv);
}

gchar** fl_dart_project_get_dart_entrypoint_arguments(FlDartProject* self) {
  g_return_val_if_fail(FL_IS_DART_PROJECT(self), nullptr);
  return self->entrypoint_arguments;
}

// --- Engine -------------------------------------------------------------------------------

struct _FlEngine {
  GObject parent_instance;
  FlDartProject* project;
  StandinMessenger* messenger;
};

G_DEFINE_TYPE(FlEngine, fl_engine, G_TYPE_OBJECT)

static void fl_engine_dispose(GObject* object) {
  FlEngine* self = FL_ENGINE(object);
  g_clear_object(&self->project);
  g_clear_object(&self->messenger);
  G_OBJECT_CLASS(fl_engine_parent_class)->dispose(object);
}

static void fl_engine_class_init(FlEngineClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_engine_dispose;
}

static void fl_engine_init(FlEngine*) {}

// Starting the engine means bringing up the UI side of the messenger: the test driver when
// one is named in the environment, else the built-in UI program.
static FlEngine* engine_new(FlDartProject* project) {
  auto* self = FL_ENGINE(g_object_new(fl_engine_get_type(), nullptr));
  self->project = FL_DART_PROJECT(g_object_ref(project));
  self->messenger = STANDIN_MESSENGER(standin_messenger_new());
  const gchar* socket_path = g_getenv(kDriverSocketVariable);
  if (socket_path != nullptr && socket_path[0] != '\0') {
    standin_messenger_connect_driver(self->messenger, socket_path);
  }
  return self;
}

FlBinaryMessenger* fl_engine_get_binary_messenger(FlEngine* self) {
  g_return_val_if_fail(FL_IS_ENGINE(self), nullptr);
  return FL_BINARY_MESSENGER(self->messenger);
}

// --- Plug-in registry and registrar -------------------------------------------------------

G_DEFINE_INTERFACE(FlPluginRegistry, fl_plugin_registry, G_TYPE_OBJECT)

static void fl_plugin_registry_default_init(FlPluginRegistryInterface*) {}

FlPluginRegistrar* fl_plugin_registry_get_registrar_for_plugin(FlPluginRegistry* self,
                                                               const gchar* name) {
  g_return_val_if_fail(FL_IS_PLUGIN_REGISTRY(self), nullptr);
  g_return_val_if_fail(name != nullptr, nullptr);
  return FL_PLUGIN_REGISTRY_GET_IFACE(self)->get_registrar_for_plugin(self, name);
}

struct _FlPluginRegistrar {
  GObject parent_instance;
  gchar* name;
  FlBinaryMessenger* messenger;
  GWeakRef view;
};

G_DEFINE_TYPE(FlPluginRegistrar, fl_plugin_registrar, G_TYPE_OBJECT)

static void fl_plugin_registrar_finalize(GObject* object) {
  FlPluginRegistrar* self = FL_PLUGIN_REGISTRAR(object);
  g_free(self->name);
  g_clear_object(&self->messenger);
  g_weak_ref_clear(&self->view);
  G_OBJECT_CLASS(fl_plugin_registrar_parent_class)->finalize(object);
}

static void fl_plugin_registrar_class_init(FlPluginRegistrarClass* klass) {
  G_OBJECT_CLASS(klass)->finalize = fl_plugin_registrar_finalize;
}

static void fl_plugin_registrar_init(FlPluginRegistrar* self) {
  g_weak_ref_init(&self->view, nullptr);
}

FlBinaryMessenger* fl_plugin_registrar_get_messenger(FlPluginRegistrar* self) {
  g_return_val_if_fail(FL_IS_PLUGIN_REGISTRAR(self), nullptr);
  return self->messenger;
}

// The view is borrowed: the registrar does not keep it alive.
FlView* fl_plugin_registrar_get_view(FlPluginRegistrar* self) {
  g_return_val_if_fail(FL_IS_PLUGIN_REGISTRAR(self), nullptr);
  g_autoptr(GObject) view = static_cast<GObject*>(g_weak_ref_get(&self->view));
  return view != nullptr ? FL_VIEW(view) : nullptr;
}

void standin_record_plugin_registration(FlPluginRegistrar* registrar, const gchar* function) {
  g_return_if_fail(FL_IS_PLUGIN_REGISTRAR(registrar));
  plugin_registrations().push_back(std::string(registrar->name) + "=" + function);
}

gchar** standin_registered_plugins(void) {
  const auto& registrations = plugin_registrations();
  auto** names = g_new0(gchar*, registrations.size() + 1);
  for (size_t i = 0; i < registrations.size(); ++i) names[i] = g_strdup(registrations[i].c_str());
  return names;
}

void standin_clear_registered_plugins(void) { plugin_registrations().clear(); }

// --- View ---------------------------------------------------------------------------------

struct _FlView {
  GtkBox parent_instance;
  FlEngine* engine;
  GdkRGBA background;
  gboolean ready_announced;
  gboolean first_frame_held;
  gboolean first_frame_emitted;
  guint first_frame_idle;
};

enum { kSignalFirstFrame, kSignalCount };
static guint view_signals[kSignalCount];

static void fl_view_registry_iface_init(FlPluginRegistryInterface* iface);

G_DEFINE_TYPE_WITH_CODE(FlView, fl_view, GTK_TYPE_BOX,
                        G_IMPLEMENT_INTERFACE(fl_plugin_registry_get_type(),
                                              fl_view_registry_iface_init))

static FlPluginRegistrar* get_registrar_for_plugin(FlPluginRegistry* registry,
                                                   const gchar* name) {
  FlView* self = FL_VIEW(registry);
  auto* registrar = FL_PLUGIN_REGISTRAR(g_object_new(fl_plugin_registrar_get_type(), nullptr));
  registrar->name = g_strdup(name);
  registrar->messenger = FL_BINARY_MESSENGER(g_object_ref(self->engine->messenger));
  g_weak_ref_set(&registrar->view, self);
  return registrar;
}

static void fl_view_registry_iface_init(FlPluginRegistryInterface* iface) {
  iface->get_registrar_for_plugin = get_registrar_for_plugin;
}

// Tells the driver what the host set up: by the time the first frame is due, the host has
// finished activating, so its plug-ins and channels are in place.
static void announce_ready(FlView* self) {
  g_autoptr(FlValue) ready = fl_value_new_map();
  gchar** arguments = fl_dart_project_get_dart_entrypoint_arguments(self->engine->project);
  fl_value_set_string_take(ready, "entrypointArguments",
                           arguments != nullptr
                               ? fl_value_new_list_from_strv(arguments)
                               : fl_value_new_null());
  // The UI program runs in the host's process and sees its environment as the host left it.
  const gchar* path = g_getenv("PATH");
  fl_value_set_string_take(ready, "path",
                           path != nullptr ? fl_value_new_string(path) : fl_value_new_null());
  g_auto(GStrv) plugins = standin_registered_plugins();
  fl_value_set_string_take(ready, "plugins", fl_value_new_list_from_strv(plugins));
  standin_messenger_send_event(self->engine->messenger, "ready", ready);
}

static void emit_first_frame(FlView* self) {
  if (!self->ready_announced) {
    self->ready_announced = TRUE;
    announce_ready(self);
  }
  if (self->first_frame_emitted || self->first_frame_held) return;
  self->first_frame_emitted = TRUE;
  g_signal_emit(self, view_signals[kSignalFirstFrame], 0);
  g_autoptr(FlValue) null_value = fl_value_new_null();
  standin_messenger_send_event(self->engine->messenger, "first-frame", null_value);
}

static gboolean first_frame_cb(gpointer data) {
  FlView* self = FL_VIEW(data);
  self->first_frame_idle = 0;
  emit_first_frame(self);
  return G_SOURCE_REMOVE;
}

// The UI program renders its first frame as soon as the view has a window to render into,
// whether or not that window is on screen yet.
static void fl_view_realize(GtkWidget* widget) {
  FlView* self = FL_VIEW(widget);
  GTK_WIDGET_CLASS(fl_view_parent_class)->realize(widget);
  if (!self->first_frame_emitted && self->first_frame_idle == 0) {
    self->first_frame_idle = g_idle_add(first_frame_cb, self);
  }
}

static gboolean fl_view_draw(GtkWidget* widget, cairo_t* cr) {
  FlView* self = FL_VIEW(widget);
  gdk_cairo_set_source_rgba(cr, &self->background);
  cairo_paint(cr);
  emit_first_frame(self);
  return GTK_WIDGET_CLASS(fl_view_parent_class)->draw(widget, cr);
}

static void driver_event_cb(const gchar* name, gpointer data) {
  FlView* self = FL_VIEW(data);
  if (g_strcmp0(name, "render-first-frame") != 0 || !self->first_frame_held) return;
  self->first_frame_held = FALSE;
  emit_first_frame(self);
}

static void fl_view_dispose(GObject* object) {
  FlView* self = FL_VIEW(object);
  if (self->engine != nullptr) {
    standin_messenger_set_driver_event_handler(self->engine->messenger, nullptr, nullptr);
  }
  if (self->first_frame_idle != 0) {
    g_source_remove(self->first_frame_idle);
    self->first_frame_idle = 0;
  }
  g_clear_object(&self->engine);
  G_OBJECT_CLASS(fl_view_parent_class)->dispose(object);
}

static void fl_view_class_init(FlViewClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_view_dispose;
  GTK_WIDGET_CLASS(klass)->realize = fl_view_realize;
  GTK_WIDGET_CLASS(klass)->draw = fl_view_draw;
  view_signals[kSignalFirstFrame] =
      g_signal_new("first-frame", fl_view_get_type(), G_SIGNAL_RUN_LAST, 0, nullptr, nullptr,
                   nullptr, G_TYPE_NONE, 0);
}

static void fl_view_init(FlView* self) {
  self->background = GdkRGBA{0.0, 0.0, 0.0, 1.0};
  gtk_widget_set_can_focus(GTK_WIDGET(self), TRUE);
}

FlView* fl_view_new(FlDartProject* project) {
  g_return_val_if_fail(FL_IS_DART_PROJECT(project), nullptr);
  auto* self = FL_VIEW(g_object_new(fl_view_get_type(), nullptr));
  self->engine = engine_new(project);
  if (standin_messenger_has_driver(self->engine->messenger) &&
      g_strcmp0(g_getenv(kFirstFrameVariable), "on-request") == 0) {
    self->first_frame_held = TRUE;
    standin_messenger_set_driver_event_handler(self->engine->messenger, driver_event_cb, self);
  }
  return self;
}

FlEngine* fl_view_get_engine(FlView* self) {
  g_return_val_if_fail(FL_IS_VIEW(self), nullptr);
  return self->engine;
}

void fl_view_set_background_color(FlView* self, const GdkRGBA* color) {
  g_return_if_fail(FL_IS_VIEW(self));
  g_return_if_fail(color != nullptr);
  self->background = *color;
  gtk_widget_queue_draw(GTK_WIDGET(self));
}

gboolean standin_view_first_frame_emitted(FlView* self) {
  g_return_val_if_fail(FL_IS_VIEW(self), FALSE);
  return self->first_frame_emitted;
}
