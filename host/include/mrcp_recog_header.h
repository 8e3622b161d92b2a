/* Recognizer resource header: 45 fields, ids 0..44 (message-wide ids 16..60). */
#ifndef MRCP_RECOG_HEADER_H
#define MRCP_RECOG_HEADER_H

#include "mrcp_types.h"
#include "mrcp_header_accessor.h"

APT_BEGIN_EXTERN_C

typedef enum {
	RECOGNIZER_HEADER_CONFIDENCE_THRESHOLD,
	RECOGNIZER_HEADER_SENSITIVITY_LEVEL,
	RECOGNIZER_HEADER_SPEED_VS_ACCURACY,
	RECOGNIZER_HEADER_N_BEST_LIST_LENGTH,
	RECOGNIZER_HEADER_NO_INPUT_TIMEOUT,
	RECOGNIZER_HEADER_RECOGNITION_TIMEOUT,
	RECOGNIZER_HEADER_WAVEFORM_URI,
	RECOGNIZER_HEADER_COMPLETION_CAUSE,
	RECOGNIZER_HEADER_RECOGNIZER_CONTEXT_BLOCK,
	RECOGNIZER_HEADER_START_INPUT_TIMERS,
	RECOGNIZER_HEADER_SPEECH_COMPLETE_TIMEOUT,
	RECOGNIZER_HEADER_SPEECH_INCOMPLETE_TIMEOUT,
	RECOGNIZER_HEADER_DTMF_INTERDIGIT_TIMEOUT,
	RECOGNIZER_HEADER_DTMF_TERM_TIMEOUT,
	RECOGNIZER_HEADER_DTMF_TERM_CHAR,
	RECOGNIZER_HEADER_FAILED_URI,
	RECOGNIZER_HEADER_FAILED_URI_CAUSE,
	RECOGNIZER_HEADER_SAVE_WAVEFORM,
	RECOGNIZER_HEADER_NEW_AUDIO_CHANNEL,
	RECOGNIZER_HEADER_SPEECH_LANGUAGE,
	RECOGNIZER_HEADER_INPUT_TYPE,
	RECOGNIZER_HEADER_INPUT_WAVEFORM_URI,
	RECOGNIZER_HEADER_COMPLETION_REASON,
	RECOGNIZER_HEADER_MEDIA_TYPE,
	RECOGNIZER_HEADER_VER_BUFFER_UTTERANCE,
	RECOGNIZER_HEADER_RECOGNITION_MODE,
	RECOGNIZER_HEADER_CANCEL_IF_QUEUE,
	RECOGNIZER_HEADER_HOTWORD_MAX_DURATION,
	RECOGNIZER_HEADER_HOTWORD_MIN_DURATION,
	RECOGNIZER_HEADER_INTERPRET_TEXT,
	RECOGNIZER_HEADER_DTMF_BUFFER_TIME,
	RECOGNIZER_HEADER_CLEAR_DTMF_BUFFER,
	RECOGNIZER_HEADER_EARLY_NO_MATCH,
	RECOGNIZER_HEADER_NUM_MIN_CONSISTENT_PRONUNCIATIONS,
	RECOGNIZER_HEADER_CONSISTENCY_THRESHOLD,
	RECOGNIZER_HEADER_CLASH_THRESHOLD,
	RECOGNIZER_HEADER_PERSONAL_GRAMMAR_URI,
	RECOGNIZER_HEADER_ENROLL_UTTERANCE,
	RECOGNIZER_HEADER_PHRASE_ID,
	RECOGNIZER_HEADER_PHRASE_NL,
	RECOGNIZER_HEADER_WEIGHT,
	RECOGNIZER_HEADER_SAVE_BEST_WAVEFORM,
	RECOGNIZER_HEADER_NEW_PHRASE_ID,
	RECOGNIZER_HEADER_CONFUSABLE_PHRASES_URI,
	RECOGNIZER_HEADER_ABORT_PHRASE_ENROLLMENT,
	RECOGNIZER_HEADER_COUNT
} mrcp_recognizer_header_id;

typedef enum {
	RECOGNIZER_COMPLETION_CAUSE_SUCCESS,
	RECOGNIZER_COMPLETION_CAUSE_NO_MATCH,
	RECOGNIZER_COMPLETION_CAUSE_NO_INPUT_TIMEOUT,
	RECOGNIZER_COMPLETION_CAUSE_RECOGNITION_TIMEOUT,
	RECOGNIZER_COMPLETION_CAUSE_GRAM_LOAD_FAILURE,
	RECOGNIZER_COMPLETION_CAUSE_GRAM_COMP_FAILURE,
	RECOGNIZER_COMPLETION_CAUSE_ERROR,
	RECOGNIZER_COMPLETION_CAUSE_SPEECH_TOO_EARLY,
	RECOGNIZER_COMPLETION_CAUSE_TOO_MUCH_SPEECH_TIMEOUT,
	RECOGNIZER_COMPLETION_CAUSE_URI_FAILURE,
	RECOGNIZER_COMPLETION_CAUSE_LANGUAGE_UNSUPPORTED,
	RECOGNIZER_COMPLETION_CAUSE_CANCELLED,
	RECOGNIZER_COMPLETION_CAUSE_SEMANTICS_FAILURE,
	RECOGNIZER_COMPLETION_CAUSE_PARTIAL_MATCH,
	RECOGNIZER_COMPLETION_CAUSE_PARTIAL_MATCH_MAXTIME,
	RECOGNIZER_COMPLETION_CAUSE_NO_MATCH_MAXTIME,
	RECOGNIZER_COMPLETION_CAUSE_GRAM_DEFINITION_FAILURE,
	RECOGNIZER_COMPLETION_CAUSE_COUNT,
	RECOGNIZER_COMPLETION_CAUSE_UNKNOWN = RECOGNIZER_COMPLETION_CAUSE_COUNT
} mrcp_recog_completion_cause_e;

/* Plain data, copyable by value. */
typedef struct mrcp_recog_header_t mrcp_recog_header_t;
struct mrcp_recog_header_t {
	float confidence_threshold;
	float sensitivity_level;
	float speed_vs_accuracy;
	apr_size_t n_best_list_length;
	apr_size_t no_input_timeout;
	apr_size_t recognition_timeout;
	apt_str_t waveform_uri;
	mrcp_recog_completion_cause_e completion_cause;
	apt_str_t recognizer_context_block;
	apt_bool_t start_input_timers;
	apr_size_t speech_complete_timeout;
	apr_size_t speech_incomplete_timeout;
	apr_size_t dtmf_interdigit_timeout;
	apr_size_t dtmf_term_timeout;
	char dtmf_term_char;
	apt_str_t failed_uri;
	apt_str_t failed_uri_cause;
	apt_bool_t save_waveform;
	apt_bool_t new_audio_channel;
	apt_str_t speech_language;
	apt_str_t input_type;
	apt_str_t input_waveform_uri;
	apt_str_t completion_reason;
	apt_str_t media_type;
	apt_bool_t ver_buffer_utterance;
	apt_str_t recognition_mode;
	apt_bool_t cancel_if_queue;
	apr_size_t hotword_max_duration;
	apr_size_t hotword_min_duration;
	apt_str_t interpret_text;
	apr_size_t dtmf_buffer_time;
	apt_bool_t clear_dtmf_buffer;
	apt_bool_t early_no_match;
	apr_size_t num_min_consistent_pronunciations;
	float consistency_threshold;
	float clash_threshold;
	apt_str_t personal_grammar_uri;
	apt_bool_t enroll_utterance;
	apt_str_t phrase_id;
	apt_str_t phrase_nl;
	float weight;
	apt_bool_t save_best_waveform;
	apt_str_t new_phrase_id;
	apt_str_t confusable_phrases_uri;
	apt_bool_t abort_phrase_enrollment;
};

MRCP_DECLARE(const mrcp_header_vtable_t*) mrcp_recog_header_vtable_get(mrcp_version_e version);
MRCP_DECLARE(const apt_str_t*) mrcp_recog_completion_cause_get(mrcp_recog_completion_cause_e completion_cause, mrcp_version_e version);

APT_END_EXTERN_C

#endif
