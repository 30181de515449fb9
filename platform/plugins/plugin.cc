// One stand-in plug-in library; WD_PLUGIN_FUNCTION and WD_PLUGIN_HEADER select which. A
// registration is only recorded, so that tests can check which registrar each plug-in was
// given and in what order.
#include WD_PLUGIN_HEADER

#include <flutter_linux/standin_testing.h>

void WD_PLUGIN_FUNCTION(FlPluginRegistrar* registrar) {
  standin_record_plugin_registration(registrar, G_STRINGIFY(WD_PLUGIN_FUNCTION));
}
