// The window's header bar under GNOME Shell on X11. In its own program because GDK
// asks for the window manager's name once per display connection and keeps it.
#include <gtest/gtest.h>

#include <cstring>

#include "host_test_support.h"
#include "my_application.h"

// Last: the X11 headers define macros (None, Bool) that clash with the test framework.
#include <gdk/gdkx.h>

namespace {

// Announces a window manager the way EWMH window managers do: the root window
// and a check window both name the check window, which carries the name.
GdkWindow* announce_window_manager(const char* name) {
  GdkWindowAttr attributes = {};
  attributes.window_type = GDK_WINDOW_TOPLEVEL;
  attributes.wclass = GDK_INPUT_OUTPUT;
  attributes.width = 1;
  attributes.height = 1;
  GdkWindow* check = gdk_window_new(nullptr, &attributes, 0);
  const gulong check_id[] = {gdk_x11_window_get_xid(check)};
  GdkAtom supporting = gdk_atom_intern_static_string("_NET_SUPPORTING_WM_CHECK");
  GdkAtom window_type = gdk_atom_intern_static_string("WINDOW");
  for (GdkWindow* target : {gdk_get_default_root_window(), check}) {
    gdk_property_change(target, supporting, window_type, 32, GDK_PROP_MODE_REPLACE,
                        reinterpret_cast<const guchar*>(check_id), 1);
  }
  gdk_property_change(check, gdk_atom_intern_static_string("_NET_WM_NAME"),
                      gdk_atom_intern_static_string("UTF8_STRING"), 8, GDK_PROP_MODE_REPLACE,
                      reinterpret_cast<const guchar*>(name), static_cast<gint>(strlen(name)));
  gdk_display_sync(gdk_window_get_display(check));
  return check;
}

TEST(MyApplicationTitle, UnderGnomeShellOnX11TheWindowGetsAHeaderBarWithTitleAndClose) {
  ASSERT_TRUE(gtk_init_check(nullptr, nullptr));
  GdkWindow* check = announce_window_manager("GNOME Shell");
  ASSERT_STREQ(gdk_x11_screen_get_window_manager_name(gdk_screen_get_default()), "GNOME Shell");

  MyApplication* application = my_application_new();
  GtkWindow* window = host_test_activate(G_APPLICATION(application));
  host_test_expect_header_bar(window);

  if (window != nullptr) {
    gtk_widget_destroy(GTK_WIDGET(window));
  }
  g_object_unref(application);
  gdk_window_destroy(check);
}

}  // namespace
