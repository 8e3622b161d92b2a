/*
 * The speak task and the synthesis session: one SPEAK at a time per channel,
 * from IN-PROGRESS through the START command and the wait for the service's
 * end to the end mark in the audio buffer; and the message handler's side,
 * which puts the received audio into the buffer and acts on the replies.
 */
#ifndef SPEAKWIRE_SYNTH_SPEAK_H
#define SPEAKWIRE_SYNTH_SPEAK_H

#include "apt.h"
#include "apt_task.h"

typedef struct synth_channel_t synth_channel_t;
struct speak_job_t;

/* Gives a new channel its SPEAK state, freed with the channel's pool. FALSE without memory. */
apt_bool_t synth_speak_state_create(synth_channel_t *channel, apr_pool_t *pool);

/*
 * Backpressure on the synthesized audio: once a channel's buffer holds more than this many bytes
 * (max-audio-buffer-size), its connection is not read until playback has brought the buffer down to
 * half of it. A service faster than real time then waits in TCP instead of filling memory.
 */
apr_size_t synth_audio_bound(void);

/* The media thread, under the SPEAK state lock, after a read: reading goes on again once the buffer
 * is down to half the bound. Never blocks. */
void synth_audio_drained(synth_channel_t *channel, speak_job_t *job);

/* The speak task's message handler: carries one SPEAK from IN-PROGRESS to its end. */
apt_bool_t task_speak(apt_task_t *task, apt_task_msg_t *msg);

/*
 * The channel is closing: the synthesis under way stops without a SPEAK-COMPLETE and the speak task
 * stops waiting, so that terminating it cannot hang. Call before the speak task is terminated.
 */
void synth_speak_closing(synth_channel_t *channel);

#endif
