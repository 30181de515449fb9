#ifndef FLUTTER_LINUX_FLUTTER_LINUX_H_
#define FLUTTER_LINUX_FLUTTER_LINUX_H_

#include "fl_binary_messenger.h"
#include "fl_codec.h"
#include "fl_method_channel.h"
#include "fl_method_response.h"
#include "fl_value.h"
#include "fl_view.h"

#endif  // FLUTTER_LINUX_FLUTTER_LINUX_H_
