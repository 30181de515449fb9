/* Cleaning of recorded speech: raw 16-bit PCM in, cleaned raw 16-bit PCM out. */
#ifndef WRENPAD_CLEANER_H
#define WRENPAD_CLEANER_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(WD_BUILDING_CLEANER)
#define WD_EXPORT __attribute__((visibility("default")))
#else
#define WD_EXPORT
#endif

/* The interface version this header describes. */
#define WD_ABI_VERSION 1

/* Returns the interface version of the loaded library: 1. */
WD_EXPORT int wd_abi(void);

#ifdef __cplusplus
}
#endif

#endif
