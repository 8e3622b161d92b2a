/* Text stream, used only by the audio stream's trace slot. */
#ifndef APT_TEXT_STREAM_H
#define APT_TEXT_STREAM_H

#include "apt_string.h"

APT_BEGIN_EXTERN_C

typedef struct apt_text_stream_t apt_text_stream_t;
struct apt_text_stream_t {
	apt_str_t text;
	char *pos;
	const char *end;
	apt_bool_t is_eos;
};

APT_END_EXTERN_C

#endif
