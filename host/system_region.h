#pragma once

#include <flutter_linux/flutter_linux.h>

// Serves "wrenpad/region": the country part of the process's numeric locale.
struct SystemRegion {
  FlMethodChannel* channel;  // owned
};

SystemRegion* system_region_new(FlBinaryMessenger* messenger);

// Accepts NULL.
void system_region_free(SystemRegion* region);

// The country of a locale name such as "de_CH.UTF-8@euro": the text after the
// first '_' up to the first '.' or '@'. NULL when there is no name or no '_'.
// Free with g_free.
gchar* system_region_from_locale(const gchar* locale_name);
