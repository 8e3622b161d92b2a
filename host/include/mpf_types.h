/* Forward declarations of the media types. */
#ifndef MPF_TYPES_H
#define MPF_TYPES_H

#include "mpf.h"

APT_BEGIN_EXTERN_C

typedef struct mpf_termination_t mpf_termination_t;
typedef struct mpf_audio_stream_t mpf_audio_stream_t;
typedef struct mpf_audio_stream_vtable_t mpf_audio_stream_vtable_t;
typedef struct mpf_codec_manager_t mpf_codec_manager_t;
typedef struct mpf_codec_t mpf_codec_t;

APT_END_EXTERN_C

#endif
