/*
 * The recognizer header fields as harkwire sees them: their names and value
 * types, the checks a request's values go through before a channel takes them,
 * and the table of recognition languages.
 */
#ifndef HARKWIRE_RECOG_HEADER_H
#define HARKWIRE_RECOG_HEADER_H

#include <stddef.h>

#include "apt.h"
#include "mrcp_message.h"
#include "mrcp_recog_header.h"

struct recog_channel_t;

/* Generic header fields come first in a message; recognizer field h has message id h + 16. */
#define RECOG_FIELD_ID_BASE 16

typedef enum {
    RECOG_FIELD_FLOAT,
    RECOG_FIELD_SIZE,
    RECOG_FIELD_BOOL,
    RECOG_FIELD_CHAR,
    RECOG_FIELD_CAUSE,
    RECOG_FIELD_TEXT
} recog_field_type_e;

/* One recognizer header field: its MRCP name (also the configuration attribute) and where it lives. */
typedef struct recog_header_field_t recog_header_field_t;
struct recog_header_field_t {
    const char* name;
    recog_field_type_e type;
    size_t offset;             /* in mrcp_recog_header_t */
};

/* Indexed by recognizer header id, 0 to RECOGNIZER_HEADER_COUNT - 1. */
extern const recog_header_field_t recog_header_fields[RECOGNIZER_HEADER_COUNT];

/* Copies field 'id' from src to dst; texts are copied into 'pool'. */
void recog_header_field_copy(mrcp_recog_header_t* dst, const mrcp_recog_header_t* src, apr_size_t id,
                             apr_pool_t* pool);

/* One row of the language table. */
typedef struct speech_language_t speech_language_t;
struct speech_language_t {
    const char* name;   /* language name as the service knows it */
    const char* code;   /* Speech-Language value */
};

#define SPEECH_LANGUAGE_COUNT 29
extern const speech_language_t g_speech_language[SPEECH_LANGUAGE_COUNT];

/* Name of the first row whose code equals 'code' in any case; NULL when none does. */
const char* get_language_by_mask(const char* code);
/* TRUE when some row's code equals 'code' in any case. */
apt_bool_t check_mask(const char* code);

/*
 * Checks the recognizer header fields of 'request' in message order and stores
 * the accepted values in the channel's header values. Returns 1 when every field
 * was handled; 0 when the request has no recognizer header, or at the first
 * refused field, which is then named in 'response' (the fields before it stay
 * stored). Runs on the engine task.
 */
int recog_set_param(recog_channel_t* channel, mrcp_message_t* request, mrcp_message_t* response);

/* The same on a bare header record, for callers without a channel. */
int recog_header_apply(mrcp_recog_header_t* values, apr_pool_t* pool, mrcp_message_t* request,
                       mrcp_message_t* response);

#endif /* HARKWIRE_RECOG_HEADER_H */
