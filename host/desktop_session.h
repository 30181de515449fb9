#pragma once

#include <flutter_linux/flutter_linux.h>
#include <gtk/gtk.h>

// Serves "wrenpad/linux": questions about the desktop the program runs on,
// the window's minimum size, and the host's request to open a new note.
struct DesktopSession {
  FlMethodChannel* channel;  // owned
  // Held through a weak pointer: becomes NULL by itself when the view is
  // destroyed, so a late "setMinimumSize" never touches a dead widget.
  GtkWidget* view;
};

DesktopSession* desktop_session_new(FlBinaryMessenger* messenger, FlView* view);

// Accepts NULL.
void desktop_session_free(DesktopSession* session);

// Sends "newNote" without awaiting a reply. Does nothing for a NULL session,
// which is the case before the first activation.
void desktop_session_request_new_note(DesktopSession* session);
