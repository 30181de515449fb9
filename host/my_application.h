#pragma once

#include <gtk/gtk.h>

G_DECLARE_FINAL_TYPE(MyApplication, my_application, MY, APPLICATION, GtkApplication)

// A single-instance application: a second start hands its command line to the
// running instance and exits.
MyApplication* my_application_new();
