// The window under Wayland. The test starts its own Weston inside the test's X
// server and points GTK at it before GTK opens its display.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <csignal>

#include "host_test_support.h"
#include "my_application.h"

#ifdef GDK_WINDOWING_WAYLAND
#include <gdk/gdkwayland.h>
#endif

namespace {

constexpr char kSocket[] = "wrenpad-test";
constexpr gint64 kStartLimitUs = 20 * G_USEC_PER_SEC;

class WaylandTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    runtime_dir_ = g_dir_make_tmp("wrenpad-wayland-XXXXXX", nullptr);
    ASSERT_NE(runtime_dir_, nullptr);
    g_setenv("XDG_RUNTIME_DIR", runtime_dir_, TRUE);
    g_autofree gchar* socket_option = g_strdup_printf("--socket=%s", kSocket);
    const gchar* argv[] = {"weston",     "--backend=x11-backend.so", "--use-pixman",
                           socket_option, "--idle-time=0",           "--no-config",
                           nullptr};
    g_autoptr(GError) error = nullptr;
    ASSERT_TRUE(g_spawn_async(nullptr, const_cast<gchar**>(argv), nullptr,
                              static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH |
                                                       G_SPAWN_DO_NOT_REAP_CHILD |
                                                       G_SPAWN_STDOUT_TO_DEV_NULL |
                                                       G_SPAWN_STDERR_TO_DEV_NULL),
                              nullptr, nullptr, &weston_, &error))
        << error->message;
    g_autofree gchar* socket_path = g_build_filename(runtime_dir_, kSocket, nullptr);
    gint64 end = g_get_monotonic_time() + kStartLimitUs;
    while (!g_file_test(socket_path, G_FILE_TEST_EXISTS)) {
      ASSERT_LT(g_get_monotonic_time(), end) << "weston did not start";
      g_usleep(20000);
    }
    g_setenv("WAYLAND_DISPLAY", kSocket, TRUE);
    g_setenv("GDK_BACKEND", "wayland", TRUE);
  }

  static void TearDownTestSuite() {
    if (weston_ != 0) {
      kill(weston_, SIGTERM);
      waitpid(weston_, nullptr, 0);
      g_spawn_close_pid(weston_);
    }
    if (runtime_dir_ != nullptr) {
      const gchar* argv[] = {"rm", "-rf", runtime_dir_, nullptr};
      g_spawn_sync(nullptr, const_cast<gchar**>(argv), nullptr, G_SPAWN_SEARCH_PATH, nullptr,
                   nullptr, nullptr, nullptr, nullptr, nullptr);
      g_clear_pointer(&runtime_dir_, g_free);
    }
  }

  static GPid weston_;
  static gchar* runtime_dir_;
};

GPid WaylandTest::weston_ = 0;
gchar* WaylandTest::runtime_dir_ = nullptr;

TEST_F(WaylandTest, TheWindowGetsAHeaderBarWithTitleAndClose) {
  ASSERT_TRUE(gtk_init_check(nullptr, nullptr));
#ifdef GDK_WINDOWING_WAYLAND
  ASSERT_TRUE(GDK_IS_WAYLAND_DISPLAY(gdk_display_get_default()));
#else
  FAIL() << "GTK was built without its Wayland back end";
#endif

  MyApplication* application = my_application_new();
  GtkWindow* window = host_test_activate(G_APPLICATION(application));
  host_test_expect_header_bar(window);

  if (window != nullptr) {
    gtk_widget_destroy(GTK_WIDGET(window));
  }
  g_object_unref(application);
}

}  // namespace
