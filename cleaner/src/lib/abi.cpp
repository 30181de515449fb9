#include "cleaner.h"

extern "C" WD_EXPORT int wd_abi(void) { return WD_ABI_VERSION; }
