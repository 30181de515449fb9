#include "system_region.h"

#include <clocale>
#include <cstring>

static constexpr char kChannelName[] = "wrenpad/region";

gchar* system_region_from_locale(const gchar* locale_name) {
  if (locale_name == nullptr) {
    return nullptr;
  }
  const gchar* underscore = strchr(locale_name, '_');
  if (underscore == nullptr) {
    return nullptr;
  }
  const gchar* country = underscore + 1;
  return g_strndup(country, strcspn(country, ".@"));
}

static void method_call_cb(FlMethodChannel* channel, FlMethodCall* method_call,
                           gpointer user_data) {
  (void)channel;
  (void)user_data;
  g_autoptr(FlMethodResponse) response = nullptr;
  if (strcmp(fl_method_call_get_name(method_call), "region") == 0) {
    // Only the numeric category counts: it decides number formats, which is
    // what the UI program wants the country for. Passing NULL only queries.
    g_autofree gchar* region = system_region_from_locale(setlocale(LC_NUMERIC, nullptr));
    g_autoptr(FlValue) result =
        region != nullptr ? fl_value_new_string(region) : fl_value_new_null();
    response = FL_METHOD_RESPONSE(fl_method_success_response_new(result));
  } else {
    response = FL_METHOD_RESPONSE(fl_method_not_implemented_response_new());
  }
  fl_method_call_respond(method_call, response, nullptr);
}

SystemRegion* system_region_new(FlBinaryMessenger* messenger) {
  g_return_val_if_fail(FL_IS_BINARY_MESSENGER(messenger), nullptr);
  SystemRegion* region = g_new0(SystemRegion, 1);
  g_autoptr(FlStandardMethodCodec) codec = fl_standard_method_codec_new();
  region->channel = fl_method_channel_new(messenger, kChannelName, FL_METHOD_CODEC(codec));
  fl_method_channel_set_method_call_handler(region->channel, method_call_cb, nullptr, nullptr);
  return region;
}

void system_region_free(SystemRegion* region) {
  if (region == nullptr) {
    return;
  }
  g_clear_object(&region->channel);
  g_free(region);
}
