/* A buffer of audio chunks and event marks, read frame by frame. Every operation takes the buffer's own lock. */
#ifndef MPF_BUFFER_H
#define MPF_BUFFER_H

#include "mpf_frame.h"

APT_BEGIN_EXTERN_C

typedef struct mpf_buffer_t mpf_buffer_t;

mpf_buffer_t* mpf_buffer_create(apr_pool_t *pool);
void mpf_buffer_destroy(mpf_buffer_t *buffer);
/* Discards all audio and marks. */
apt_bool_t mpf_buffer_restart(mpf_buffer_t *buffer);
apt_bool_t mpf_buffer_audio_write(mpf_buffer_t *buffer, void *data, apr_size_t size);
apt_bool_t mpf_buffer_event_write(mpf_buffer_t *buffer, mpf_frame_type_e event_type);
/* Fills codec_frame.size bytes; silence when empty. At a mark the mark's type is ORed into the
   frame's type, the mark is consumed and the rest of the frame is silence. */
apt_bool_t mpf_buffer_frame_read(mpf_buffer_t *buffer, mpf_frame_t *media_frame);
/* Audio bytes not yet read. */
apr_size_t mpf_buffer_get_size(const mpf_buffer_t *buffer);

APT_END_EXTERN_C

#endif
