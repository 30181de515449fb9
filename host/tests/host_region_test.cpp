#include <flutter_linux/standin_testing.h>
#include <gtest/gtest.h>

#include <clocale>

#include "host_test_support.h"
#include "system_region.h"

namespace {

struct LocaleCase {
  const char* name;
  const char* region;  // nullptr: no region
};

TEST(SystemRegionFromLocale, TakesTheCountryPartOfTheName) {
  const LocaleCase cases[] = {
      {"de_DE.UTF-8", "DE"},
      {"sr_RS@latin", "RS"},
      {"en_US", "US"},
      {"de_CH.UTF-8@euro", "CH"},
      {"xx_.UTF-8", ""},
      {"xx_@mod", ""},
      {"ca_ES_VALENCIA", "ES_VALENCIA"},
      {"C", nullptr},
      {"POSIX", nullptr},
      {"C.UTF-8", nullptr},
      {"", nullptr},
      {nullptr, nullptr},
  };
  for (const LocaleCase& c : cases) {
    g_autofree gchar* region = system_region_from_locale(c.name);
    SCOPED_TRACE(c.name != nullptr ? c.name : "(null)");
    if (c.region == nullptr) {
      EXPECT_EQ(region, nullptr);
    } else {
      ASSERT_NE(region, nullptr);
      EXPECT_STREQ(region, c.region);
    }
  }
}

class SystemRegionChannel : public ::testing::Test {
 protected:
  void SetUp() override {
    messenger_ = standin_messenger_new();
    region_ = system_region_new(messenger_);
  }
  void TearDown() override {
    system_region_free(region_);
    g_object_unref(messenger_);
  }
  FlMethodResponse* call(const char* method) {
    return host_test_invoke(messenger_, "wrenpad/region", method, nullptr);
  }

  FlBinaryMessenger* messenger_ = nullptr;
  SystemRegion* region_ = nullptr;
};

TEST_F(SystemRegionChannel, AnswersNullUnderTheCLocale) {
  ASSERT_NE(setlocale(LC_NUMERIC, "C"), nullptr);
  g_autoptr(FlMethodResponse) response = call("region");
  FlValue* result = host_test_success_result(response);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(fl_value_get_type(result), FL_VALUE_TYPE_NULL);
}

// Locales compiled into a private directory: the machine need not have them
// generated, and the test must not depend on which ones it has.
class SystemRegionLocales : public SystemRegionChannel {
 protected:
  static void SetUpTestSuite() {
    locale_dir_ = g_dir_make_tmp("wrenpad-locales-XXXXXX", nullptr);
    ASSERT_NE(locale_dir_, nullptr);
    g_autofree gchar* output = g_build_filename(locale_dir_, "de_CH.UTF-8", nullptr);
    const gchar* argv[] = {"localedef", "-i", "de_CH", "-f", "UTF-8", output, nullptr};
    gint status = 0;
    ASSERT_TRUE(g_spawn_sync(nullptr, const_cast<gchar**>(argv), nullptr, G_SPAWN_SEARCH_PATH,
                             nullptr, nullptr, nullptr, nullptr, &status, nullptr));
    ASSERT_TRUE(g_spawn_check_wait_status(status, nullptr)) << "localedef de_CH";
    g_setenv("LOCPATH", locale_dir_, TRUE);
  }
  static void TearDownTestSuite() {
    setlocale(LC_ALL, "C");
    g_unsetenv("LOCPATH");
    const gchar* argv[] = {"rm", "-rf", locale_dir_, nullptr};
    g_spawn_sync(nullptr, const_cast<gchar**>(argv), nullptr, G_SPAWN_SEARCH_PATH, nullptr,
                 nullptr, nullptr, nullptr, nullptr, nullptr);
    g_clear_pointer(&locale_dir_, g_free);
  }
  void TearDown() override {
    setlocale(LC_ALL, "C");
    SystemRegionChannel::TearDown();
  }

  static gchar* locale_dir_;
};

gchar* SystemRegionLocales::locale_dir_ = nullptr;

// A locale without a country everywhere but in the numeric category, which
// is Swiss German.
TEST_F(SystemRegionLocales, AnswersTheCountryOfTheNumericLocaleOnly) {
  ASSERT_NE(setlocale(LC_ALL, "C.UTF-8"), nullptr);
  ASSERT_NE(setlocale(LC_NUMERIC, "de_CH.UTF-8"), nullptr);
  g_autoptr(FlMethodResponse) response = call("region");
  FlValue* result = host_test_success_result(response);
  ASSERT_NE(result, nullptr);
  ASSERT_EQ(fl_value_get_type(result), FL_VALUE_TYPE_STRING);
  EXPECT_STREQ(fl_value_get_string(result), "CH");
}

TEST_F(SystemRegionChannel, OtherMethodsAreNotImplemented) {
  for (const char* method : {"Region", "getRegion", ""}) {
    g_autoptr(FlMethodResponse) response = call(method);
    EXPECT_TRUE(FL_IS_METHOD_NOT_IMPLEMENTED_RESPONSE(response)) << method;
  }
}

}  // namespace
