/*
 * Audio output and completion: the source stream the media thread reads, the
 * parked STOP responses it sends, SPEAK-COMPLETE, and the Speech-Marker that
 * IN-PROGRESS and SPEAK-COMPLETE carry.
 */
#ifndef SPEAKWIRE_SYNTH_OUTPUT_H
#define SPEAKWIRE_SYNTH_OUTPUT_H

#include "apt.h"
#include "mpf_stream.h"
#include "mrcp_message.h"
#include "mrcp_synth_header.h"
#include "synth_speak_state.h"

typedef struct synth_channel_t synth_channel_t;

apt_bool_t synth_stream_destroy(mpf_audio_stream_t *stream);
apt_bool_t synth_stream_open(mpf_audio_stream_t *stream, mpf_codec_t *codec);
apt_bool_t synth_stream_close(mpf_audio_stream_t *stream);
/* One frame, on the media thread; never blocks beyond the channel's short state lock. */
apt_bool_t synth_stream_read(mpf_audio_stream_t *stream, mpf_frame_t *frame);

/* SPEAK-COMPLETE for one SPEAK: sent at most once, by whoever takes the SPEAK first. */
apt_bool_t synth_speak_complete_job(synth_channel_t *channel, const speak_job_ptr &job,
                                    mrcp_synth_completion_cause_e cause);

/* Adds "Speech-Marker: timestamp=<NTP>" to a message of one SPEAK, its text in the SPEAK's pool: its
   IN-PROGRESS carries one even when a STOP came before the speak task took the SPEAK. */
apt_bool_t add_synth_speech_marker_job(synth_channel_t *channel, const speak_job_ptr &job, mrcp_message_t *message);

/* TRUE when every 16-bit sample of the len bytes lies within +-threshold. */
apt_bool_t is_silence(void *data, int len, short threshold);

#endif
