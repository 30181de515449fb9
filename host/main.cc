#include <glib.h>

#include "my_application.h"

// Auxiliary programs ship in "libexec" beside the executable; putting it first
// on PATH lets the UI program start them by name.
static void prepend_libexec_to_path() {
  g_autofree gchar* executable = g_file_read_link("/proc/self/exe", nullptr);
  if (executable == nullptr) {
    return;
  }
  g_autofree gchar* directory = g_path_get_dirname(executable);
  g_autofree gchar* libexec = g_build_filename(directory, "libexec", nullptr);
  if (!g_file_test(libexec, G_FILE_TEST_IS_DIR)) {
    return;
  }
  const gchar* path = g_getenv("PATH");
  g_autofree gchar* value = path != nullptr && path[0] != '\0'
                                ? g_strconcat(libexec, ":", path, nullptr)
                                : g_strdup(libexec);
  g_setenv("PATH", value, TRUE);
}

int main(int argc, char** argv) {
  prepend_libexec_to_path();
  g_autoptr(MyApplication) application = my_application_new();
  return g_application_run(G_APPLICATION(application), argc, argv);
}
