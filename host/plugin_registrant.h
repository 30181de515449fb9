#pragma once

#include <flutter_linux/flutter_linux.h>

// Registers the UI program's plug-ins, in the order they were added to it.
void fl_register_plugins(FlPluginRegistry* registry);
