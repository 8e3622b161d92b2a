/*
 * The engine task's side of the synthesizer: every MRCP request of every
 * channel, one at a time. SET-PARAMS and GET-PARAMS, the hand-off of SPEAK to
 * the channel's speak task, STOP and barge-in (answered later by the media
 * thread), PAUSE and RESUME.
 */
#ifndef SPEAKWIRE_SYNTH_DISPATCH_H
#define SPEAKWIRE_SYNTH_DISPATCH_H

#include "apt.h"
#include "mrcp_engine_types.h"
#include "mrcp_message.h"

typedef struct synth_channel_t synth_channel_t;

/* Carries out one request on the engine task; every request is answered once (here or later). */
void synth_request_dispatch(mrcp_engine_channel_t *channel, mrcp_message_t *request);

/* Stores the request's synthesizer fields and vendor-specific parameters in the channel; FALSE for
   an illegal value or a missing header (fields stored before it stay). */
apt_bool_t synth_set_param(synth_channel_t *channel, mrcp_message_t *request);

/* Stops the channel's SPEAK and parks the response for the media thread. TRUE. */
apt_bool_t synth_channel_stop(mrcp_engine_channel_t *channel, mrcp_message_t *request, mrcp_message_t *response);

/* Makes the response a failure: status 407, Completion-Cause 4. FALSE without a synthesizer header. */
apt_bool_t synth_response_construct(mrcp_message_t *response);

#endif
