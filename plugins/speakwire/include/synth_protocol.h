/*
 * The synthesis service's wire protocol as pure functions: the markup of a
 * SPEAK body, the numbers and text of the START command, the END command, and
 * the classification of the service's text replies. Nothing here touches a
 * channel, a thread or the network, so tests call it directly.
 */
#ifndef SPEAKWIRE_SYNTH_PROTOCOL_H
#define SPEAKWIRE_SYNTH_PROTOCOL_H

#include <string>

#include "apt_string.h"
#include "mrcp_types.h"
#include "mrcp_synth_header.h"
#include "vendor_specific_parameters.h"

/* The END command, sent by STOP and barge-in. */
extern const char SYNTH_END_COMMAND[];

typedef enum {
    SYNTH_MARKUP_PLAIN,    /* text/plain, or no Content-Type at all */
    SYNTH_MARKUP_SSML,     /* the SSML type of the channel's MRCP version */
    SYNTH_MARKUP_INVALID   /* anything else: the SPEAK fails */
} synth_markup_e;

/*
 * The markup of a body from its Content-Type (NULL when the request has none),
 * compared as a whole without regard to case: "application/synthesis+ssml"
 * under MRCP version 1, "application/ssml+xml" under version 2.
 */
synth_markup_e synth_markup_get(const apt_str_t *content_type, mrcp_version_e version);

/* The "tagmode" of a markup: "none" for plain text, "kivtag" or "ssml" for SSML. */
const char *synth_tagmode_get(synth_markup_e markup, apt_bool_t use_kivtag);

/* START numbers; signed, since low pitches and rates go below zero. */
int synth_start_pitch(synth_pitch_label_e pitch);
int synth_start_speed(const mrcp_prosody_rate_t *rate, apr_size_t speed_revise);
int synth_start_volume(const mrcp_prosody_volume_t *volume);

/* Everything the START command carries. */
struct synth_start_t {
    int pitch = 0;
    std::string property;            /* the voice identifier */
    int speed = 0;
    std::string tagmode = "none";
    int volume = 50;
    std::string text;                /* the body up to its first zero byte */
};

/* The body's bytes up to the first zero byte. */
std::string synth_body_text(const apt_str_t *body);

/* The START command: compact JSON, members in key order, ending in a line feed. */
std::string synth_start_command(const synth_start_t &start);

typedef enum {
    SYNTH_REPLY_IGNORED,       /* not JSON, not an object, no string resp_type/trace_id, unknown type */
    SYNTH_REPLY_START,
    SYNTH_REPLY_END_NORMAL,    /* END with reason exactly "NORMAL" */
    SYNTH_REPLY_END_ABNORMAL,  /* END with any other reason, or none */
    SYNTH_REPLY_ERROR,         /* ERROR or FATAL_ERROR */
} synth_reply_e;

struct synth_reply_t {
    synth_reply_e kind = SYNTH_REPLY_IGNORED;
    std::string error_code;          /* ERROR and FATAL_ERROR: "error_code" as text */
};

/* Classifies one text reply of the service; never throws. */
synth_reply_t synth_reply_parse(const std::string &payload);

#endif
