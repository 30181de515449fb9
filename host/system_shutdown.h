#pragma once

#include <flutter_linux/flutter_linux.h>
#include <gtk/gtk.h>

// Serves "wrenpad/system_shutdown". Every way of ending the program (closing
// the window, SIGTERM, SIGINT, SIGHUP) first asks the UI program to save with
// "shutdown"; a session ending holds the logout back while "save" runs.
struct SystemShutdown {
  FlMethodChannel* channel;  // owned
  GApplication* application;  // borrowed: the application outlives the record
  GtkWindow* window;          // owned, one added reference
  gint shutting_down;         // set by the first shutdown request, never cleared
  guint sigterm_source;
  guint sigint_source;
  guint sighup_source;
  guint quit_deadline;  // 0 when no quit deadline runs
  gulong query_end_handler;
  gulong delete_event_handler;
  guint inhibit_cookie;  // 0 when the logout is not inhibited
  guint save_deadline;   // non-zero exactly while a "save" is pending
  // Cancelled when the record is freed, so that a pending "save" completes
  // without touching the record.
  GCancellable* cancellable;
};

SystemShutdown* system_shutdown_new(FlBinaryMessenger* messenger, GApplication* application,
                                    GtkWindow* window);

// Accepts NULL.
void system_shutdown_free(SystemShutdown* shutdown);
