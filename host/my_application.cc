#include "my_application.h"

#include <flutter_linux/flutter_linux.h>

#include <cstring>

#ifdef GDK_WINDOWING_X11
#include <gdk/gdkx.h>
#endif

#include "desktop_session.h"
#include "plugin_registrant.h"
#include "rich_clipboard.h"
#include "system_region.h"
#include "system_shutdown.h"

static constexpr char kApplicationId[] = "com.ostrelle.wrenpad";
static constexpr char kTitle[] = "Wrenpad";
static constexpr gint kDefaultWidth = 1280;
static constexpr gint kDefaultHeight = 720;
// Under GNOME Shell a header bar is expected even on X11; other X11 window
// managers keep their own title bar.
static constexpr char kHeaderBarWindowManager[] = "GNOME Shell";
static constexpr char kBackgroundColor[] = "#F6F2E8";
static constexpr char kNewNoteOption[] = "--new-note";

struct _MyApplication {
  GtkApplication parent_instance;
  // Arguments of the first command line, handed to the UI program when the
  // window is made; NULL after an activation without a command line.
  gchar** entrypoint_arguments;
  GtkWindow* window;  // borrowed: owned by GTK; NULL until the first activation
  FlView* view;       // borrowed: a child of window
  FlMethodChannel* application_channel;  // only sends "command-line"; no handler
  DesktopSession* desktop_session;
  RichClipboard* rich_clipboard;
  SystemRegion* system_region;
  SystemShutdown* system_shutdown;
};

G_DEFINE_TYPE(MyApplication, my_application, GTK_TYPE_APPLICATION)

static void first_frame_cb(MyApplication* self, FlView* view) {
  (void)self;
  // Shown only now, so the window never appears before the UI program has
  // drawn in it.
  gtk_widget_show(gtk_widget_get_toplevel(GTK_WIDGET(view)));
}

static gboolean wants_header_bar(GtkWindow* window) {
#ifdef GDK_WINDOWING_X11
  GdkScreen* screen = gtk_window_get_screen(window);
  if (GDK_IS_X11_SCREEN(screen)) {
    const gchar* window_manager = gdk_x11_screen_get_window_manager_name(screen);
    return g_strcmp0(window_manager, kHeaderBarWindowManager) == 0;
  }
#else
  (void)window;
#endif
  return TRUE;
}

static void my_application_activate(GApplication* application) {
  MyApplication* self = MY_APPLICATION(application);
  if (self->window != nullptr) {
    gtk_window_present(self->window);
    return;
  }

  self->window = GTK_WINDOW(gtk_application_window_new(GTK_APPLICATION(application)));
  if (wants_header_bar(self->window)) {
    GtkHeaderBar* header_bar = GTK_HEADER_BAR(gtk_header_bar_new());
    gtk_widget_show(GTK_WIDGET(header_bar));
    gtk_header_bar_set_title(header_bar, kTitle);
    gtk_header_bar_set_show_close_button(header_bar, TRUE);
    gtk_window_set_titlebar(self->window, GTK_WIDGET(header_bar));
  } else {
    gtk_window_set_title(self->window, kTitle);
  }
  gtk_window_set_default_size(self->window, kDefaultWidth, kDefaultHeight);

  g_autoptr(FlDartProject) project = fl_dart_project_new();
  fl_dart_project_set_dart_entrypoint_arguments(project, self->entrypoint_arguments);

  self->view = fl_view_new(project);
  GdkRGBA background;
  gdk_rgba_parse(&background, kBackgroundColor);
  fl_view_set_background_color(self->view, &background);
  gtk_widget_show(GTK_WIDGET(self->view));
  gtk_container_add(GTK_CONTAINER(self->window), GTK_WIDGET(self->view));
  g_signal_connect_swapped(self->view, "first-frame", G_CALLBACK(first_frame_cb), self);

  gtk_widget_realize(GTK_WIDGET(self->view));
  fl_register_plugins(FL_PLUGIN_REGISTRY(self->view));

  FlBinaryMessenger* messenger = fl_engine_get_binary_messenger(fl_view_get_engine(self->view));
  g_autoptr(FlStandardMethodCodec) codec = fl_standard_method_codec_new();
  self->application_channel =
      fl_method_channel_new(messenger, "gtk/application", FL_METHOD_CODEC(codec));

  self->desktop_session = desktop_session_new(messenger, self->view);
  self->rich_clipboard = rich_clipboard_new(messenger);
  self->system_region = system_region_new(messenger);
  self->system_shutdown = system_shutdown_new(messenger, application, self->window);

  gtk_widget_grab_focus(GTK_WIDGET(self->view));
}

static void forward_uri(MyApplication* self, const gchar* uri) {
  g_autoptr(FlValue) args = fl_value_new_list();
  fl_value_append_take(args, fl_value_new_string(uri));
  fl_method_channel_invoke_method(self->application_channel, "command-line", args, nullptr,
                                  nullptr, nullptr);
}

// Runs in the primary instance for its own command line and for each one
// forwarded by a later start; the returned status is that later start's.
static gint command_line_cb(GApplication* application, GApplicationCommandLine* command_line,
                            MyApplication* self) {
  gint argc = 0;
  gchar** argv = g_application_command_line_get_arguments(command_line, &argc);
  gchar** arguments = argc > 0 ? argv + 1 : argv;

  if (self->window != nullptr) {
    gtk_window_present(self->window);
  } else {
    self->entrypoint_arguments = g_strdupv(arguments);
    g_application_activate(application);
  }

  for (gchar** argument = arguments; *argument != nullptr; argument++) {
    if (strcmp(*argument, kNewNoteOption) == 0) {
      desktop_session_request_new_note(self->desktop_session);
    } else if ((*argument)[0] != '-' && g_uri_peek_scheme(*argument) != nullptr) {
      forward_uri(self, *argument);
    }
  }

  g_strfreev(argv);
  return 0;
}

static void my_application_startup(GApplication* application) {
  g_signal_connect(application, "command-line", G_CALLBACK(command_line_cb), application);
  G_APPLICATION_CLASS(my_application_parent_class)->startup(application);
  gdk_set_program_class(kApplicationId);

  if (gtk_icon_theme_has_icon(gtk_icon_theme_get_default(), kApplicationId)) {
    gtk_window_set_default_icon_name(kApplicationId);
    return;
  }
  // Not installed into a theme: the bundle carries its own copy.
  g_autofree gchar* executable = g_file_read_link("/proc/self/exe", nullptr);
  if (executable == nullptr) {
    return;
  }
  g_autofree gchar* directory = g_path_get_dirname(executable);
  g_autofree gchar* icon = g_build_filename(directory, "share", "icons", "hicolor", "256x256",
                                            "apps", "com.ostrelle.wrenpad.png", nullptr);
  // A missing or broken file leaves the window without an icon; that is not
  // worth a message.
  g_autoptr(GError) error = nullptr;
  gtk_window_set_default_icon_from_file(icon, &error);
}

static void my_application_shutdown(GApplication* application) {
  G_APPLICATION_CLASS(my_application_parent_class)->shutdown(application);
}

static void my_application_dispose(GObject* object) {
  MyApplication* self = MY_APPLICATION(object);
  g_clear_pointer(&self->entrypoint_arguments, g_strfreev);
  g_clear_object(&self->application_channel);
  g_clear_pointer(&self->desktop_session, desktop_session_free);
  g_clear_pointer(&self->rich_clipboard, rich_clipboard_free);
  g_clear_pointer(&self->system_region, system_region_free);
  g_clear_pointer(&self->system_shutdown, system_shutdown_free);
  G_OBJECT_CLASS(my_application_parent_class)->dispose(object);
}

static void my_application_class_init(MyApplicationClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = my_application_dispose;
  G_APPLICATION_CLASS(klass)->startup = my_application_startup;
  G_APPLICATION_CLASS(klass)->activate = my_application_activate;
  G_APPLICATION_CLASS(klass)->shutdown = my_application_shutdown;
}

static void my_application_init(MyApplication* self) {
  (void)self;
}

MyApplication* my_application_new() {
  g_set_prgname(kApplicationId);
  return MY_APPLICATION(g_object_new(my_application_get_type(), "application-id", kApplicationId,
                                     "flags", G_APPLICATION_HANDLES_COMMAND_LINE,
                                     "register-session", TRUE, nullptr));
}
