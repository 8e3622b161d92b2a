/* Codec capabilities. */
#include "mpf_codec_descriptor.h"

MPF_DECLARE(int) mpf_sample_rate_mask_get(apr_uint16_t sampling_rate)
{
	switch(sampling_rate) {
		case 8000: return MPF_SAMPLE_RATE_8000;
		case 16000: return MPF_SAMPLE_RATE_16000;
		case 32000: return MPF_SAMPLE_RATE_32000;
		case 48000: return MPF_SAMPLE_RATE_48000;
		default: break;
	}
	return MPF_SAMPLE_RATE_NONE;
}

MPF_DECLARE(apt_bool_t) mpf_codec_capabilities_init(mpf_codec_capabilities_t *capabilities, apr_size_t initial_count, apr_pool_t *pool)
{
	if(!capabilities)
		return FALSE;
	capabilities->attrib_arr = apr_array_make(pool, (int)(initial_count ? initial_count : 1), sizeof(mpf_codec_attribs_t));
	capabilities->allow_named_events = TRUE;
	return TRUE;
}

MPF_DECLARE(apt_bool_t) mpf_codec_default_capabilities_add(mpf_codec_capabilities_t *capabilities)
{
	if(!capabilities || !capabilities->attrib_arr)
		return FALSE;
	mpf_codec_capabilities_add(capabilities, MPF_SAMPLE_RATE_8000 | MPF_SAMPLE_RATE_16000, "LPCM");
	return TRUE;
}
