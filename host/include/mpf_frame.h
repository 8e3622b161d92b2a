/* Media frames passed between the media thread and the streams. */
#ifndef MPF_FRAME_H
#define MPF_FRAME_H

#include "mpf_codec_descriptor.h"
#include "mpf_named_event.h"

APT_BEGIN_EXTERN_C

typedef enum {
	MEDIA_FRAME_TYPE_NONE  = 0x0,
	MEDIA_FRAME_TYPE_AUDIO = 0x1,
	MEDIA_FRAME_TYPE_VIDEO = 0x2,
	MEDIA_FRAME_TYPE_EVENT = 0x4
} mpf_frame_type_e;

typedef enum {
	MPF_MARKER_NONE,
	MPF_MARKER_START_OF_EVENT,
	MPF_MARKER_END_OF_EVENT,
	MPF_MARKER_NEW_SEGMENT
} mpf_frame_marker_e;

typedef struct mpf_frame_t mpf_frame_t;
struct mpf_frame_t {
	int type;                              /* mpf_frame_type_e flags */
	int marker;
	mpf_codec_frame_t codec_frame;
	mpf_named_event_frame_t event_frame;
};

APT_END_EXTERN_C

#endif
