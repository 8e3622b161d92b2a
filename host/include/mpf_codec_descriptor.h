/* Codec descriptors and capabilities. */
#ifndef MPF_CODEC_DESCRIPTOR_H
#define MPF_CODEC_DESCRIPTOR_H

#include <apr_tables.h>
#include "apt_string.h"
#include "mpf.h"

APT_BEGIN_EXTERN_C

#define CODEC_FRAME_TIME_BASE 10   /* ms per frame */
#define BYTES_PER_SAMPLE 2
#define BITS_PER_SAMPLE 16

typedef enum {
	MPF_SAMPLE_RATE_NONE  = 0x00,
	MPF_SAMPLE_RATE_8000  = 0x01,
	MPF_SAMPLE_RATE_16000 = 0x02,
	MPF_SAMPLE_RATE_32000 = 0x04,
	MPF_SAMPLE_RATE_48000 = 0x08,
	MPF_SAMPLE_RATE_SUPPORTED = MPF_SAMPLE_RATE_8000 | MPF_SAMPLE_RATE_16000 |
	                            MPF_SAMPLE_RATE_32000 | MPF_SAMPLE_RATE_48000
} mpf_sample_rates_e;

typedef struct mpf_codec_descriptor_t mpf_codec_descriptor_t;
struct mpf_codec_descriptor_t {
	apr_byte_t payload_type;
	apt_str_t name;
	apr_uint16_t sampling_rate;   /* Hz */
	apr_byte_t channel_count;
	apt_str_t format;
	apt_bool_t enabled;
};

typedef struct mpf_codec_attribs_t mpf_codec_attribs_t;
struct mpf_codec_attribs_t {
	apt_str_t name;
	apr_byte_t bits_per_sample;
	int sample_rates;             /* mpf_sample_rates_e mask */
};

typedef struct mpf_codec_capabilities_t mpf_codec_capabilities_t;
struct mpf_codec_capabilities_t {
	apr_array_header_t *attrib_arr;   /* of mpf_codec_attribs_t */
	apt_bool_t allow_named_events;
};

typedef struct mpf_codec_frame_t mpf_codec_frame_t;
struct mpf_codec_frame_t {
	void *buffer;
	apr_size_t size;              /* bytes */
};

MPF_DECLARE(int) mpf_sample_rate_mask_get(apr_uint16_t sampling_rate);
MPF_DECLARE(apt_bool_t) mpf_codec_capabilities_init(mpf_codec_capabilities_t *capabilities, apr_size_t initial_count, apr_pool_t *pool);
MPF_DECLARE(apt_bool_t) mpf_codec_default_capabilities_add(mpf_codec_capabilities_t *capabilities);

/* Bits per sample are left 0: the codec's own. */
static APR_INLINE apt_bool_t mpf_codec_capabilities_add(mpf_codec_capabilities_t *capabilities, int sample_rates, const char *codec_name)
{
	mpf_codec_attribs_t *attribs = (mpf_codec_attribs_t*)apr_array_push(capabilities->attrib_arr);
	apt_string_assign(&attribs->name, codec_name, capabilities->attrib_arr->pool);
	attribs->sample_rates = sample_rates;
	attribs->bits_per_sample = 0;
	return TRUE;
}

APT_END_EXTERN_C

#endif
