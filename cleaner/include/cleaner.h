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

/* Result codes of wd_clean. */
#define WD_OK 0        /* the output was written completely */
#define WD_CANCELLED 1 /* the cancel cell was seen set; message "cancelled" */
#define WD_MODEL 2     /* the model file: reading, decoding, building, metadata; "model: ..." */
#define WD_INPUT 3     /* the input recording: opening, sizing, reading; "input: ..." */
#define WD_OUTPUT 4    /* the output recording: creating, writing, flushing; "output: ..." */
#define WD_OTHER 5     /* a missing or non-UTF-8 path, the transform, the model step or an
                          internal failure; the message has no prefix */

/* Returns the interface version of the loaded library: 1. */
WD_EXPORT int wd_abi(void);

/*
 * Cleans one recording; blocks until the run ends and returns a result code above.
 *
 * model_path, input_path and output_path are NUL-terminated UTF-8 paths: the model
 * (an ONNX file), the input recording and the output recording. Recordings are
 * headerless signed 16-bit little-endian mono PCM at 16000 Hz; the output is
 * created or truncated and, on success, has exactly the input's sample count.
 * Nothing is opened before all three paths have been checked. An output that names
 * the input file (through any link) is refused before it is opened.
 *
 * progress: a cell, or NULL. After each frame of the run the library stores there
 * the work done in units of 1/10000 (0 to 10000); it never resets it. Recordings
 * shorter than 1600 samples are copied without frames and write no progress.
 * cancel: a cell, or NULL. Any non-zero value asks the run to stop before its next
 * frame; the function then returns WD_CANCELLED and the output keeps what was
 * written so far.
 * Both cells may be read and written by other threads while the call runs: the
 * library reads and writes them with single 32-bit atomic accesses.
 *
 * message: a buffer of message_len bytes (room for the terminating NUL included),
 * or NULL. On a result other than WD_OK, and when message is not NULL and
 * message_len is not 0, the first min(length, message_len - 1) bytes of the
 * message and a NUL are written there; the cut is made in bytes and may split a
 * UTF-8 sequence. Otherwise the buffer is not touched.
 *
 * The caller owns every argument and keeps them alive until the call returns. The
 * library keeps nothing between calls; calls on different threads are independent.
 */
WD_EXPORT int wd_clean(const char* model_path, const char* input_path, const char* output_path,
                       int32_t* progress, const int32_t* cancel, char* message,
                       size_t message_len);

#ifdef __cplusplus
}
#endif

#endif
