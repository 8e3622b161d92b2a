/* Synthesizer resource header. This server numbers Prosody-Pitch as field 11, so the fields after it
   are one higher than in servers without it. The stock profile (MRCP_SERVER_API_STOCK) is such a
   server: no Prosody-Pitch field, no pitch member, no pitch labels. */
#ifndef MRCP_SYNTH_HEADER_H
#define MRCP_SYNTH_HEADER_H

#include "mrcp_types.h"
#include "mrcp_header_accessor.h"

APT_BEGIN_EXTERN_C

typedef enum {
	SYNTHESIZER_HEADER_JUMP_SIZE,
	SYNTHESIZER_HEADER_KILL_ON_BARGE_IN,
	SYNTHESIZER_HEADER_SPEAKER_PROFILE,
	SYNTHESIZER_HEADER_COMPLETION_CAUSE,
	SYNTHESIZER_HEADER_COMPLETION_REASON,
	SYNTHESIZER_HEADER_VOICE_GENDER,
	SYNTHESIZER_HEADER_VOICE_AGE,
	SYNTHESIZER_HEADER_VOICE_VARIANT,
	SYNTHESIZER_HEADER_VOICE_NAME,
	SYNTHESIZER_HEADER_PROSODY_VOLUME,
	SYNTHESIZER_HEADER_PROSODY_RATE,
#if !MRCP_SERVER_API_STOCK
	SYNTHESIZER_HEADER_PROSODY_PITCH,
#endif
	SYNTHESIZER_HEADER_SPEECH_MARKER,
	SYNTHESIZER_HEADER_SPEECH_LANGUAGE,
	SYNTHESIZER_HEADER_FETCH_HINT,
	SYNTHESIZER_HEADER_AUDIO_FETCH_HINT,
	SYNTHESIZER_HEADER_FAILED_URI,
	SYNTHESIZER_HEADER_FAILED_URI_CAUSE,
	SYNTHESIZER_HEADER_SPEAK_RESTART,
	SYNTHESIZER_HEADER_SPEAK_LENGTH,
	SYNTHESIZER_HEADER_LOAD_LEXICON,
	SYNTHESIZER_HEADER_LEXICON_SEARCH_ORDER,
	SYNTHESIZER_HEADER_COUNT
} mrcp_synthesizer_header_id;

typedef enum {
	SPEECH_UNIT_SECOND,
	SPEECH_UNIT_WORD,
	SPEECH_UNIT_SENTENCE,
	SPEECH_UNIT_PARAGRAPH,
	SPEECH_UNIT_COUNT
} mrcp_speech_unit_e;

typedef enum {
	SPEECH_LENGTH_TYPE_TEXT,
	SPEECH_LENGTH_TYPE_NUMERIC_POSITIVE,
	SPEECH_LENGTH_TYPE_NUMERIC_NEGATIVE,
	SPEECH_LENGTH_TYPE_UNKNOWN
} mrcp_speech_length_type_e;

typedef struct mrcp_numeric_speech_length_t mrcp_numeric_speech_length_t;
struct mrcp_numeric_speech_length_t {
	apr_size_t length;
	mrcp_speech_unit_e unit;
};

typedef struct mrcp_speech_length_value_t mrcp_speech_length_value_t;
struct mrcp_speech_length_value_t {
	mrcp_speech_length_type_e type;
	union {
		apt_str_t tag;
		mrcp_numeric_speech_length_t numeric;
	} value;
};

typedef enum {
	VOICE_GENDER_MALE,
	VOICE_GENDER_FEMALE,
	VOICE_GENDER_NEUTRAL,
	VOICE_GENDER_COUNT,
	VOICE_GENDER_UNKNOWN = VOICE_GENDER_COUNT
} mrcp_voice_gender_e;

typedef struct mrcp_voice_param_t mrcp_voice_param_t;
struct mrcp_voice_param_t {
	mrcp_voice_gender_e gender;
	apr_size_t age;
	apr_size_t variant;
	apt_str_t name;
};

typedef enum {
	PROSODY_VOLUME_SILENT,
	PROSODY_VOLUME_XSOFT,
	PROSODY_VOLUME_SOFT,
	PROSODY_VOLUME_MEDIUM,
	PROSODY_VOLUME_LOUD,
	PROSODY_VOLUME_XLOUD,
	PROSODY_VOLUME_DEFAULT,
	PROSODY_VOLUME_COUNT,
	PROSODY_VOLUME_UNKNOWN = PROSODY_VOLUME_COUNT
} mrcp_prosody_volume_label_e;

typedef enum {
	PROSODY_RATE_XSLOW,
	PROSODY_RATE_SLOW,
	PROSODY_RATE_MEDIUM,
	PROSODY_RATE_FAST,
	PROSODY_RATE_XFAST,
	PROSODY_RATE_DEFAULT,
	PROSODY_RATE_COUNT,
	PROSODY_RATE_UNKNOWN = PROSODY_RATE_COUNT
} mrcp_prosody_rate_label_e;

#if !MRCP_SERVER_API_STOCK
typedef enum {
	PROSODY_PITCH_XLOW,
	PROSODY_PITCH_LOW,
	PROSODY_PITCH_MEDIUM,
	PROSODY_PITCH_HIGH,
	PROSODY_PITCH_XHIGH,
	PROSODY_PITCH_DEFAULT,
	PROSODY_PITCH_COUNT,
	PROSODY_PITCH_UNKNOWN = PROSODY_PITCH_COUNT
} mrcp_prosody_pitch_label_e;
#endif

typedef enum {
	PROSODY_VOLUME_TYPE_LABEL,
	PROSODY_VOLUME_TYPE_NUMERIC,
	PROSODY_VOLUME_TYPE_RELATIVE_CHANGE,
	PROSODY_VOLUME_TYPE_UNKNOWN
} mrcp_prosody_volume_type_e;

typedef enum {
	PROSODY_RATE_TYPE_LABEL,
	PROSODY_RATE_TYPE_RELATIVE_CHANGE,
	PROSODY_RATE_TYPE_UNKNOWN
} mrcp_prosody_rate_type_e;

#if !MRCP_SERVER_API_STOCK
typedef enum {
	PROSODY_PITCH_TYPE_LABEL,
	PROSODY_PITCH_TYPE_RELATIVE_CHANGE,
	PROSODY_PITCH_TYPE_UNKNOWN
} mrcp_prosody_pitch_type_e;
#endif

typedef struct mrcp_prosody_volume_t mrcp_prosody_volume_t;
struct mrcp_prosody_volume_t {
	mrcp_prosody_volume_type_e type;
	union {
		mrcp_prosody_volume_label_e label;
		float numeric;
		float relative;
	} value;
};

typedef struct mrcp_prosody_rate_t mrcp_prosody_rate_t;
struct mrcp_prosody_rate_t {
	mrcp_prosody_rate_type_e type;
	union {
		mrcp_prosody_rate_label_e label;
		float relative;
	} value;
};

#if !MRCP_SERVER_API_STOCK
typedef struct mrcp_prosody_pitch_t mrcp_prosody_pitch_t;
struct mrcp_prosody_pitch_t {
	mrcp_prosody_pitch_type_e type;
	union {
		mrcp_prosody_pitch_label_e label;
		float relative;
	} value;
};
#endif

typedef struct mrcp_prosody_param_t mrcp_prosody_param_t;
struct mrcp_prosody_param_t {
	mrcp_prosody_volume_t volume;
	mrcp_prosody_rate_t rate;
#if !MRCP_SERVER_API_STOCK
	mrcp_prosody_pitch_t pitch;
#endif
};

typedef enum {
	SYNTHESIZER_COMPLETION_CAUSE_NORMAL,
	SYNTHESIZER_COMPLETION_CAUSE_BARGE_IN,
	SYNTHESIZER_COMPLETION_CAUSE_PARSE_FAILURE,
	SYNTHESIZER_COMPLETION_CAUSE_URI_FAILURE,
	SYNTHESIZER_COMPLETION_CAUSE_ERROR,
	SYNTHESIZER_COMPLETION_CAUSE_LANGUAGE_UNSUPPORTED,
	SYNTHESIZER_COMPLETION_CAUSE_LEXICON_LOAD_FAILURE,
	SYNTHESIZER_COMPLETION_CAUSE_CANCELLED,
	SYNTHESIZER_COMPLETION_CAUSE_COUNT,
	SYNTHESIZER_COMPLETION_CAUSE_UNKNOWN = SYNTHESIZER_COMPLETION_CAUSE_COUNT
} mrcp_synth_completion_cause_e;

/* Plain data, copyable by value. */
typedef struct mrcp_synth_header_t mrcp_synth_header_t;
struct mrcp_synth_header_t {
	mrcp_speech_length_value_t jump_size;
	apt_bool_t kill_on_barge_in;
	apt_str_t speaker_profile;
	mrcp_synth_completion_cause_e completion_cause;
	apt_str_t completion_reason;
	mrcp_voice_param_t voice_param;
	mrcp_prosody_param_t prosody_param;
	apt_str_t speech_marker;
	apt_str_t speech_language;
	apt_str_t fetch_hint;
	apt_str_t audio_fetch_hint;
	apt_str_t failed_uri;
	apt_str_t failed_uri_cause;
	apt_bool_t speak_restart;
	mrcp_speech_length_value_t speak_length;
	apt_bool_t load_lexicon;
	apt_str_t lexicon_search_order;
};

MRCP_DECLARE(const mrcp_header_vtable_t*) mrcp_synth_header_vtable_get(mrcp_version_e version);
MRCP_DECLARE(const apt_str_t*) mrcp_synth_completion_cause_get(mrcp_synth_completion_cause_e completion_cause, mrcp_version_e version);

APT_END_EXTERN_C

#endif
