/* The synthesizer header: 22 fields (Prosody-Pitch is field 11), message-wide ids 16..37; in the stock
   profile 21 fields without Prosody-Pitch, ids 16..36. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "mrcp_synth_header.h"
#include "mrcp_header_values.h"

static const apt_str_t synth_header_field_names[SYNTHESIZER_HEADER_COUNT] = {
	HEADER_NAME("Jump-Size"),
	HEADER_NAME("Kill-On-Barge-In"),
	HEADER_NAME("Speaker-Profile"),
	HEADER_NAME("Completion-Cause"),
	HEADER_NAME("Completion-Reason"),
	HEADER_NAME("Voice-Gender"),
	HEADER_NAME("Voice-Age"),
	HEADER_NAME("Voice-Variant"),
	HEADER_NAME("Voice-Name"),
	HEADER_NAME("Prosody-Volume"),
	HEADER_NAME("Prosody-Rate"),
#if !MRCP_SERVER_API_STOCK
	HEADER_NAME("Prosody-Pitch"),
#endif
	HEADER_NAME("Speech-Marker"),
	HEADER_NAME("Speech-Language"),
	HEADER_NAME("Fetch-Hint"),
	HEADER_NAME("Audio-Fetch-Hint"),
	HEADER_NAME("Failed-Uri"),
	HEADER_NAME("Failed-Uri-Cause"),
	HEADER_NAME("Speak-Restart"),
	HEADER_NAME("Speak-Length"),
	HEADER_NAME("Load-Lexicon"),
	HEADER_NAME("Lexicon-Search-Order")
};

#define SYNTH_FIELD(type, member) {type, offsetof(mrcp_synth_header_t, member)}
#define SPECIAL {HEADER_VALUE_SPECIAL, 0}

static const header_value_def_t synth_header_values[SYNTHESIZER_HEADER_COUNT] = {
	SPECIAL,
	SYNTH_FIELD(HEADER_VALUE_BOOL, kill_on_barge_in),
	SYNTH_FIELD(HEADER_VALUE_STRING, speaker_profile),
	SPECIAL,
	SYNTH_FIELD(HEADER_VALUE_STRING, completion_reason),
	SPECIAL,
	SYNTH_FIELD(HEADER_VALUE_SIZE, voice_param.age),
	SYNTH_FIELD(HEADER_VALUE_SIZE, voice_param.variant),
	SYNTH_FIELD(HEADER_VALUE_STRING, voice_param.name),
	SPECIAL,
	SPECIAL,
#if !MRCP_SERVER_API_STOCK
	SPECIAL,
#endif
	SYNTH_FIELD(HEADER_VALUE_STRING, speech_marker),
	SYNTH_FIELD(HEADER_VALUE_STRING, speech_language),
	SYNTH_FIELD(HEADER_VALUE_STRING, fetch_hint),
	SYNTH_FIELD(HEADER_VALUE_STRING, audio_fetch_hint),
	SYNTH_FIELD(HEADER_VALUE_STRING, failed_uri),
	SYNTH_FIELD(HEADER_VALUE_STRING, failed_uri_cause),
	SYNTH_FIELD(HEADER_VALUE_BOOL, speak_restart),
	SPECIAL,
	SYNTH_FIELD(HEADER_VALUE_BOOL, load_lexicon),
	SYNTH_FIELD(HEADER_VALUE_STRING, lexicon_search_order)
};

static const apt_str_t synth_completion_cause_names[SYNTHESIZER_COMPLETION_CAUSE_COUNT] = {
	HEADER_NAME("normal"),
	HEADER_NAME("barge-in"),
	HEADER_NAME("parse-failure"),
	HEADER_NAME("uri-failure"),
	HEADER_NAME("error"),
	HEADER_NAME("language-unsupported"),
	HEADER_NAME("lexicon-load-failure"),
	HEADER_NAME("cancelled")
};

static const apt_str_t voice_gender_names[VOICE_GENDER_COUNT] = {
	HEADER_NAME("male"), HEADER_NAME("female"), HEADER_NAME("neutral")
};

static const apt_str_t speech_unit_names[SPEECH_UNIT_COUNT] = {
	HEADER_NAME("second"), HEADER_NAME("word"), HEADER_NAME("sentence"), HEADER_NAME("paragraph")
};

static const apt_str_t prosody_volume_names[PROSODY_VOLUME_COUNT] = {
	HEADER_NAME("silent"), HEADER_NAME("x-soft"), HEADER_NAME("soft"), HEADER_NAME("medium"),
	HEADER_NAME("loud"), HEADER_NAME("x-loud"), HEADER_NAME("default")
};

static const apt_str_t prosody_rate_names[PROSODY_RATE_COUNT] = {
	HEADER_NAME("x-slow"), HEADER_NAME("slow"), HEADER_NAME("medium"), HEADER_NAME("fast"),
	HEADER_NAME("x-fast"), HEADER_NAME("default")
};

#if !MRCP_SERVER_API_STOCK
static const apt_str_t prosody_pitch_names[PROSODY_PITCH_COUNT] = {
	HEADER_NAME("x-low"), HEADER_NAME("low"), HEADER_NAME("medium"), HEADER_NAME("high"),
	HEADER_NAME("x-high"), HEADER_NAME("default")
};
#endif

/* The value without surrounding blanks, NUL-terminated in the pool. */
static char* value_text(const apt_str_t *value, apr_pool_t *pool)
{
	const char *begin = value->buf ? value->buf : "";
	const char *end = begin + value->length;
	while(begin < end && (*begin == ' ' || *begin == '\t'))
		begin++;
	while(end > begin && (end[-1] == ' ' || end[-1] == '\t' || end[-1] == '\r' || end[-1] == '\n'))
		end--;
	return apr_pstrmemdup(pool, begin, (apr_size_t)(end - begin));
}

static apt_bool_t float_text_parse(const char *text, float *out)
{
	if(!*text)
		return FALSE;
	char *end = NULL;
	float number = strtof(text, &end);
	if(*end)
		return FALSE;
	*out = number;
	return TRUE;
}

static void text_set(apt_str_t *out, char *text)
{
	out->buf = text;
	out->length = strlen(text);
}

/* Shortest float text, with a leading sign when asked. */
static char* float_text(float value, apt_bool_t sign, apr_pool_t *pool)
{
	apt_str_t str;
	header_float_generate(value, &str, pool);
	if(sign && value >= 0)
		return apr_pstrcat(pool, "+", str.buf, NULL);
	return str.buf;
}

/* "+5 word", "-2 second", "10 sentence", or a text tag. */
static apt_bool_t speech_length_parse(mrcp_speech_length_value_t *length, const apt_str_t *value, apr_pool_t *pool)
{
	char *text = value_text(value, pool);
	const char *pos = text;
	mrcp_speech_length_type_e type = SPEECH_LENGTH_TYPE_NUMERIC_POSITIVE;
	if(*pos == '+' || *pos == '-') {
		type = *pos == '-' ? SPEECH_LENGTH_TYPE_NUMERIC_NEGATIVE : SPEECH_LENGTH_TYPE_NUMERIC_POSITIVE;
		pos++;
	}
	else if(*pos < '0' || *pos > '9') {
		if(!*text)
			return FALSE;
		length->type = SPEECH_LENGTH_TYPE_TEXT;
		text_set(&length->value.tag, text);
		return TRUE;
	}
	char *end = NULL;
	unsigned long number = strtoul(pos, &end, 10);
	if(end == pos || *end != ' ')
		return FALSE;
	while(*end == ' ')
		end++;
	apr_size_t unit = header_name_find(speech_unit_names, SPEECH_UNIT_COUNT, end, strlen(end));
	if(unit == SPEECH_UNIT_COUNT)
		return FALSE;
	length->type = type;
	length->value.numeric.length = number;
	length->value.numeric.unit = (mrcp_speech_unit_e)unit;
	return TRUE;
}

static apt_bool_t speech_length_generate(const mrcp_speech_length_value_t *length, apt_str_t *value, apr_pool_t *pool)
{
	switch(length->type) {
		case SPEECH_LENGTH_TYPE_TEXT:
			apt_string_copy(value, &length->value.tag, pool);
			return TRUE;
		case SPEECH_LENGTH_TYPE_NUMERIC_POSITIVE:
		case SPEECH_LENGTH_TYPE_NUMERIC_NEGATIVE:
			if(length->value.numeric.unit >= SPEECH_UNIT_COUNT)
				return FALSE;
			text_set(value, apr_psprintf(pool, "%c%" APR_SIZE_T_FMT " %s",
			                             length->type == SPEECH_LENGTH_TYPE_NUMERIC_NEGATIVE ? '-' : '+',
			                             length->value.numeric.length,
			                             speech_unit_names[length->value.numeric.unit].buf));
			return TRUE;
		default:
			break;
	}
	return FALSE;
}

static void speech_length_copy(mrcp_speech_length_value_t *dst, const mrcp_speech_length_value_t *src, apr_pool_t *pool)
{
	*dst = *src;
	if(src->type == SPEECH_LENGTH_TYPE_TEXT)
		apt_string_copy(&dst->value.tag, &src->value.tag, pool);
}

static apr_size_t label_find(const apt_str_t *names, apr_size_t count, const char *text)
{
	return header_name_find(names, count, text, strlen(text));
}

static apt_bool_t prosody_volume_parse(mrcp_prosody_volume_t *volume, const apt_str_t *value, apr_pool_t *pool)
{
	char *text = value_text(value, pool);
	apr_size_t label = label_find(prosody_volume_names, PROSODY_VOLUME_COUNT, text);
	if(label < PROSODY_VOLUME_COUNT) {
		volume->type = PROSODY_VOLUME_TYPE_LABEL;
		volume->value.label = (mrcp_prosody_volume_label_e)label;
		return TRUE;
	}
	apr_size_t length = strlen(text);
	apt_bool_t relative = (*text == '+' || *text == '-') ? TRUE : FALSE;
	if(length && text[length - 1] == '%') {
		text[length - 1] = '\0';
		relative = TRUE;
	}
	float number;
	if(!float_text_parse(text, &number))
		return FALSE;
	if(relative) {
		volume->type = PROSODY_VOLUME_TYPE_RELATIVE_CHANGE;
		volume->value.relative = number;
	}
	else {
		volume->type = PROSODY_VOLUME_TYPE_NUMERIC;
		volume->value.numeric = number;
	}
	return TRUE;
}

static apt_bool_t prosody_volume_generate(const mrcp_prosody_volume_t *volume, apt_str_t *value, apr_pool_t *pool)
{
	switch(volume->type) {
		case PROSODY_VOLUME_TYPE_LABEL:
			if(volume->value.label >= PROSODY_VOLUME_COUNT)
				return FALSE;
			apt_string_copy(value, &prosody_volume_names[volume->value.label], pool);
			return TRUE;
		case PROSODY_VOLUME_TYPE_NUMERIC:
			text_set(value, float_text(volume->value.numeric, FALSE, pool));
			return TRUE;
		case PROSODY_VOLUME_TYPE_RELATIVE_CHANGE:
			text_set(value, apr_pstrcat(pool, float_text(volume->value.relative, TRUE, pool), "%", NULL));
			return TRUE;
		default:
			break;
	}
	return FALSE;
}

/* Rate and pitch: a label or a relative number. */
static apt_bool_t label_or_relative_parse(const apt_str_t *names, apr_size_t count, const apt_str_t *value,
                                          apr_size_t *label, float *relative, apr_pool_t *pool)
{
	char *text = value_text(value, pool);
	*label = label_find(names, count, text);
	if(*label < count)
		return TRUE;
	return float_text_parse(text, relative);
}

static apt_bool_t synth_header_parse_special(mrcp_synth_header_t *header, apr_size_t id, const apt_str_t *value, apr_pool_t *pool)
{
	switch(id) {
		case SYNTHESIZER_HEADER_JUMP_SIZE:
			return speech_length_parse(&header->jump_size, value, pool);
		case SYNTHESIZER_HEADER_SPEAK_LENGTH:
			return speech_length_parse(&header->speak_length, value, pool);
		case SYNTHESIZER_HEADER_COMPLETION_CAUSE: {
			apr_size_t cause;
			if(!header_cause_parse(value, SYNTHESIZER_COMPLETION_CAUSE_COUNT, &cause))
				return FALSE;
			header->completion_cause = (mrcp_synth_completion_cause_e)cause;
			return TRUE;
		}
		case SYNTHESIZER_HEADER_VOICE_GENDER: {
			char *text = value_text(value, pool);
			apr_size_t gender = label_find(voice_gender_names, VOICE_GENDER_COUNT, text);
			if(gender == VOICE_GENDER_COUNT)
				return FALSE;
			header->voice_param.gender = (mrcp_voice_gender_e)gender;
			return TRUE;
		}
		case SYNTHESIZER_HEADER_PROSODY_VOLUME:
			return prosody_volume_parse(&header->prosody_param.volume, value, pool);
		case SYNTHESIZER_HEADER_PROSODY_RATE: {
			apr_size_t label;
			float relative = 0;
			if(!label_or_relative_parse(prosody_rate_names, PROSODY_RATE_COUNT, value, &label, &relative, pool))
				return FALSE;
			mrcp_prosody_rate_t *rate = &header->prosody_param.rate;
			if(label < PROSODY_RATE_COUNT) {
				rate->type = PROSODY_RATE_TYPE_LABEL;
				rate->value.label = (mrcp_prosody_rate_label_e)label;
			}
			else {
				rate->type = PROSODY_RATE_TYPE_RELATIVE_CHANGE;
				rate->value.relative = relative;
			}
			return TRUE;
		}
#if !MRCP_SERVER_API_STOCK
		case SYNTHESIZER_HEADER_PROSODY_PITCH: {
			apr_size_t label;
			float relative = 0;
			if(!label_or_relative_parse(prosody_pitch_names, PROSODY_PITCH_COUNT, value, &label, &relative, pool))
				return FALSE;
			mrcp_prosody_pitch_t *pitch = &header->prosody_param.pitch;
			if(label < PROSODY_PITCH_COUNT) {
				pitch->type = PROSODY_PITCH_TYPE_LABEL;
				pitch->value.label = (mrcp_prosody_pitch_label_e)label;
			}
			else {
				pitch->type = PROSODY_PITCH_TYPE_RELATIVE_CHANGE;
				pitch->value.relative = relative;
			}
			return TRUE;
		}
#endif
		default:
			break;
	}
	return FALSE;
}

static apt_bool_t synth_header_generate_special(const mrcp_synth_header_t *header, apr_size_t id, apt_str_t *value, apr_pool_t *pool)
{
	switch(id) {
		case SYNTHESIZER_HEADER_JUMP_SIZE:
			return speech_length_generate(&header->jump_size, value, pool);
		case SYNTHESIZER_HEADER_SPEAK_LENGTH:
			return speech_length_generate(&header->speak_length, value, pool);
		case SYNTHESIZER_HEADER_COMPLETION_CAUSE:
			header_cause_generate(header->completion_cause, synth_completion_cause_names,
			                      SYNTHESIZER_COMPLETION_CAUSE_COUNT, value, pool);
			return TRUE;
		case SYNTHESIZER_HEADER_VOICE_GENDER:
			if(header->voice_param.gender >= VOICE_GENDER_COUNT)
				return FALSE;
			apt_string_copy(value, &voice_gender_names[header->voice_param.gender], pool);
			return TRUE;
		case SYNTHESIZER_HEADER_PROSODY_VOLUME:
			return prosody_volume_generate(&header->prosody_param.volume, value, pool);
		case SYNTHESIZER_HEADER_PROSODY_RATE: {
			const mrcp_prosody_rate_t *rate = &header->prosody_param.rate;
			if(rate->type == PROSODY_RATE_TYPE_LABEL && rate->value.label < PROSODY_RATE_COUNT) {
				apt_string_copy(value, &prosody_rate_names[rate->value.label], pool);
				return TRUE;
			}
			if(rate->type == PROSODY_RATE_TYPE_RELATIVE_CHANGE) {
				text_set(value, float_text(rate->value.relative, FALSE, pool));
				return TRUE;
			}
			return FALSE;
		}
#if !MRCP_SERVER_API_STOCK
		case SYNTHESIZER_HEADER_PROSODY_PITCH: {
			const mrcp_prosody_pitch_t *pitch = &header->prosody_param.pitch;
			if(pitch->type == PROSODY_PITCH_TYPE_LABEL && pitch->value.label < PROSODY_PITCH_COUNT) {
				apt_string_copy(value, &prosody_pitch_names[pitch->value.label], pool);
				return TRUE;
			}
			if(pitch->type == PROSODY_PITCH_TYPE_RELATIVE_CHANGE) {
				text_set(value, float_text(pitch->value.relative, FALSE, pool));
				return TRUE;
			}
			return FALSE;
		}
#endif
		default:
			break;
	}
	return FALSE;
}

static void* synth_header_allocate(mrcp_header_accessor_t *accessor, apr_pool_t *pool)
{
	mrcp_synth_header_t *header = (mrcp_synth_header_t*)apr_pcalloc(pool, sizeof(mrcp_synth_header_t));
	header->jump_size.type = SPEECH_LENGTH_TYPE_UNKNOWN;
	header->speak_length.type = SPEECH_LENGTH_TYPE_UNKNOWN;
	header->completion_cause = SYNTHESIZER_COMPLETION_CAUSE_UNKNOWN;
	header->voice_param.gender = VOICE_GENDER_UNKNOWN;
	header->prosody_param.volume.type = PROSODY_VOLUME_TYPE_UNKNOWN;
	header->prosody_param.rate.type = PROSODY_RATE_TYPE_UNKNOWN;
#if !MRCP_SERVER_API_STOCK
	header->prosody_param.pitch.type = PROSODY_PITCH_TYPE_UNKNOWN;
#endif
	accessor->data = header;
	return header;
}

static apt_bool_t synth_header_parse(mrcp_header_accessor_t *accessor, apr_size_t id, const apt_str_t *value, apr_pool_t *pool)
{
	mrcp_synth_header_t *header = (mrcp_synth_header_t*)accessor->data;
	if(!header || id >= SYNTHESIZER_HEADER_COUNT)
		return FALSE;
	if(synth_header_values[id].type == HEADER_VALUE_SPECIAL)
		return synth_header_parse_special(header, id, value, pool);
	return header_value_parse(&synth_header_values[id], header, value, pool);
}

static apt_bool_t synth_header_generate(const mrcp_header_accessor_t *accessor, apr_size_t id, apt_str_t *value, apr_pool_t *pool)
{
	const mrcp_synth_header_t *header = (const mrcp_synth_header_t*)accessor->data;
	apt_string_reset(value);
	if(!header || id >= SYNTHESIZER_HEADER_COUNT)
		return FALSE;
	if(synth_header_values[id].type == HEADER_VALUE_SPECIAL)
		return synth_header_generate_special(header, id, value, pool);
	return header_value_generate(&synth_header_values[id], header, value, pool);
}

static apt_bool_t synth_header_duplicate(mrcp_header_accessor_t *accessor, const mrcp_header_accessor_t *src, apr_size_t id, apr_pool_t *pool)
{
	mrcp_synth_header_t *header = (mrcp_synth_header_t*)accessor->data;
	const mrcp_synth_header_t *src_header = (const mrcp_synth_header_t*)src->data;
	if(!header || !src_header || id >= SYNTHESIZER_HEADER_COUNT)
		return FALSE;
	switch(id) {
		case SYNTHESIZER_HEADER_JUMP_SIZE:
			speech_length_copy(&header->jump_size, &src_header->jump_size, pool);
			break;
		case SYNTHESIZER_HEADER_SPEAK_LENGTH:
			speech_length_copy(&header->speak_length, &src_header->speak_length, pool);
			break;
		case SYNTHESIZER_HEADER_COMPLETION_CAUSE:
			header->completion_cause = src_header->completion_cause;
			break;
		case SYNTHESIZER_HEADER_VOICE_GENDER:
			header->voice_param.gender = src_header->voice_param.gender;
			break;
		case SYNTHESIZER_HEADER_PROSODY_VOLUME:
			header->prosody_param.volume = src_header->prosody_param.volume;
			break;
		case SYNTHESIZER_HEADER_PROSODY_RATE:
			header->prosody_param.rate = src_header->prosody_param.rate;
			break;
#if !MRCP_SERVER_API_STOCK
		case SYNTHESIZER_HEADER_PROSODY_PITCH:
			header->prosody_param.pitch = src_header->prosody_param.pitch;
			break;
#endif
		default:
			header_value_duplicate(&synth_header_values[id], header, src_header, pool);
			break;
	}
	return TRUE;
}

static const mrcp_header_vtable_t synth_header_vtable = {
	synth_header_allocate,
	synth_header_parse,
	synth_header_generate,
	synth_header_duplicate,
	synth_header_field_names,
	SYNTHESIZER_HEADER_COUNT
};

MRCP_DECLARE(const mrcp_header_vtable_t*) mrcp_synth_header_vtable_get(mrcp_version_e version)
{
	(void)version;
	return &synth_header_vtable;
}

MRCP_DECLARE(const apt_str_t*) mrcp_synth_completion_cause_get(mrcp_synth_completion_cause_e completion_cause, mrcp_version_e version)
{
	(void)version;
	if(completion_cause >= SYNTHESIZER_COMPLETION_CAUSE_COUNT)
		return NULL;
	return &synth_completion_cause_names[completion_cause];
}
