#ifndef FLUTTER_LINUX_FL_CODEC_H_
#define FLUTTER_LINUX_FL_CODEC_H_

#include <glib-object.h>

#include "fl_method_response.h"
#include "fl_value.h"

G_BEGIN_DECLS

#define FL_MESSAGE_CODEC_ERROR fl_message_codec_error_quark()

typedef enum {
  FL_MESSAGE_CODEC_ERROR_FAILED,
  FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA,
  FL_MESSAGE_CODEC_ERROR_ADDITIONAL_DATA,
  FL_MESSAGE_CODEC_ERROR_UNSUPPORTED_TYPE,
} FlMessageCodecError;

GQuark fl_message_codec_error_quark(void) G_GNUC_CONST;

// Turns one value into bytes and back.
G_DECLARE_DERIVABLE_TYPE(FlMessageCodec, fl_message_codec, FL, MESSAGE_CODEC, GObject)

struct _FlMessageCodecClass {
  GObjectClass parent_class;

  GBytes* (*encode_message)(FlMessageCodec* codec, FlValue* message, GError** error);
  FlValue* (*decode_message)(FlMessageCodec* codec, GBytes* message, GError** error);
};

GBytes* fl_message_codec_encode_message(FlMessageCodec* codec, FlValue* message,
                                        GError** error);
FlValue* fl_message_codec_decode_message(FlMessageCodec* codec, GBytes* message,
                                         GError** error);

G_DECLARE_DERIVABLE_TYPE(FlStandardMessageCodec, fl_standard_message_codec, FL,
                         STANDARD_MESSAGE_CODEC, FlMessageCodec)

struct _FlStandardMessageCodecClass {
  FlMessageCodecClass parent_class;
};

FlStandardMessageCodec* fl_standard_message_codec_new(void);

// Turns method calls and their replies into bytes and back.
G_DECLARE_DERIVABLE_TYPE(FlMethodCodec, fl_method_codec, FL, METHOD_CODEC, GObject)

struct _FlMethodCodecClass {
  GObjectClass parent_class;

  GBytes* (*encode_method_call)(FlMethodCodec* codec, const gchar* name, FlValue* args,
                                GError** error);
  gboolean (*decode_method_call)(FlMethodCodec* codec, GBytes* message, gchar** name,
                                 FlValue** args, GError** error);
  GBytes* (*encode_success_envelope)(FlMethodCodec* codec, FlValue* result, GError** error);
  GBytes* (*encode_error_envelope)(FlMethodCodec* codec, const gchar* code,
                                   const gchar* message, FlValue* details, GError** error);
  FlMethodResponse* (*decode_response)(FlMethodCodec* codec, GBytes* message, GError** error);
};

G_DECLARE_FINAL_TYPE(FlStandardMethodCodec, fl_standard_method_codec, FL,
                     STANDARD_METHOD_CODEC, FlMethodCodec)

FlStandardMethodCodec* fl_standard_method_codec_new(void);

G_END_DECLS

#endif  // FLUTTER_LINUX_FL_CODEC_H_
