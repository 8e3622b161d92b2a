/* Audio streams: the plug-in's side of a media termination. */
#ifndef MPF_STREAM_H
#define MPF_STREAM_H

#include "mpf_types.h"
#include "mpf_frame.h"
#include "mpf_codec.h"
#include "mpf_stream_descriptor.h"
#include "apt_text_stream.h"

APT_BEGIN_EXTERN_C

struct mpf_audio_stream_t {
	void *obj;                                   /* the object given to termination create */
	const mpf_audio_stream_vtable_t *vtable;
	mpf_termination_t *termination;
	const mpf_stream_capabilities_t *capabilities;
	mpf_stream_direction_e direction;
	mpf_codec_descriptor_t *rx_descriptor;
	mpf_codec_descriptor_t *rx_event_descriptor;
	mpf_codec_descriptor_t *tx_descriptor;
	mpf_codec_descriptor_t *tx_event_descriptor;
};

/* Called on the media thread; none of them may block. */
struct mpf_audio_stream_vtable_t {
	apt_bool_t (*destroy)(mpf_audio_stream_t *stream);
	apt_bool_t (*open_rx)(mpf_audio_stream_t *stream, mpf_codec_t *codec);
	apt_bool_t (*close_rx)(mpf_audio_stream_t *stream);
	apt_bool_t (*read_frame)(mpf_audio_stream_t *stream, mpf_frame_t *frame);
	apt_bool_t (*open_tx)(mpf_audio_stream_t *stream, mpf_codec_t *codec);
	apt_bool_t (*close_tx)(mpf_audio_stream_t *stream);
	apt_bool_t (*write_frame)(mpf_audio_stream_t *stream, const mpf_frame_t *frame);
	void (*trace)(mpf_audio_stream_t *stream, mpf_stream_direction_e direction, apt_text_stream_t *output);
};

MPF_DECLARE(mpf_audio_stream_t*) mpf_audio_stream_create(void *obj, const mpf_audio_stream_vtable_t *vtable,
                                                         const mpf_stream_capabilities_t *capabilities, apr_pool_t *pool);

APT_END_EXTERN_C

#endif
