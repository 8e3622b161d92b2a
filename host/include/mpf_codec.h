#ifndef MPF_CODEC_H
#define MPF_CODEC_H

#include "mpf_types.h"
#include "mpf_codec_descriptor.h"

APT_BEGIN_EXTERN_C

typedef struct mpf_codec_vtable_t mpf_codec_vtable_t;

struct mpf_codec_t {
	const mpf_codec_vtable_t *vtable;
	const mpf_codec_attribs_t *attribs;
	const mpf_codec_descriptor_t *static_descriptor;
};

APT_END_EXTERN_C

#endif
