#ifndef MPF_TERMINATION_FACTORY_H
#define MPF_TERMINATION_FACTORY_H

#include "mpf_stream.h"

APT_BEGIN_EXTERN_C

MPF_DECLARE(mpf_audio_stream_t*) mpf_termination_audio_stream_get(mpf_termination_t *termination);

APT_END_EXTERN_C

#endif
