#ifndef FLUTTER_LINUX_FL_VIEW_H_
#define FLUTTER_LINUX_FL_VIEW_H_

#include <gtk/gtk.h>

#include "fl_binary_messenger.h"

G_BEGIN_DECLS

// What the engine runs: the UI program and its entry-point arguments.
G_DECLARE_FINAL_TYPE(FlDartProject, fl_dart_project, FL, DART_PROJECT, GObject)

FlDartProject* fl_dart_project_new(void);
void fl_dart_project_set_dart_entrypoint_arguments(FlDartProject* project, char** argv);
gchar** fl_dart_project_get_dart_entrypoint_arguments(FlDartProject* project);

G_DECLARE_FINAL_TYPE(FlEngine, fl_engine, FL, ENGINE, GObject)

FlBinaryMessenger* fl_engine_get_binary_messenger(FlEngine* engine);

G_DECLARE_FINAL_TYPE(FlView, fl_view, FL, VIEW, GtkBox)

typedef struct _FlPluginRegistrar FlPluginRegistrar;

// Hands each plug-in its registrar, found by the plug-in's name.
G_DECLARE_INTERFACE(FlPluginRegistry, fl_plugin_registry, FL, PLUGIN_REGISTRY, GObject)

struct _FlPluginRegistryInterface {
  GTypeInterface g_iface;

  FlPluginRegistrar* (*get_registrar_for_plugin)(FlPluginRegistry* registry, const gchar* name);
};

// Returns a new reference.
FlPluginRegistrar* fl_plugin_registry_get_registrar_for_plugin(FlPluginRegistry* registry,
                                                               const gchar* name);

G_DECLARE_FINAL_TYPE(FlPluginRegistrar, fl_plugin_registrar, FL, PLUGIN_REGISTRAR, GObject)

FlBinaryMessenger* fl_plugin_registrar_get_messenger(FlPluginRegistrar* registrar);
FlView* fl_plugin_registrar_get_view(FlPluginRegistrar* registrar);

// The widget that shows the UI program; it starts the engine for the project. Signal
// "first-frame" (no arguments) is emitted once, when the first frame has been rendered.
FlView* fl_view_new(FlDartProject* project);
FlEngine* fl_view_get_engine(FlView* view);
void fl_view_set_background_color(FlView* view, const GdkRGBA* color);

G_END_DECLS

#endif  // FLUTTER_LINUX_FL_VIEW_H_
