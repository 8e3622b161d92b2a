/* The recognizer header: 45 fields, message-wide ids 16..60. */
#include "mrcp_recog_header.h"
#include "mrcp_header_values.h"

static const apt_str_t recog_header_field_names[RECOGNIZER_HEADER_COUNT] = {
	HEADER_NAME("Confidence-Threshold"),
	HEADER_NAME("Sensitivity-Level"),
	HEADER_NAME("Speed-Vs-Accuracy"),
	HEADER_NAME("N-Best-List-Length"),
	HEADER_NAME("No-Input-Timeout"),
	HEADER_NAME("Recognition-Timeout"),
	HEADER_NAME("Waveform-Uri"),
	HEADER_NAME("Completion-Cause"),
	HEADER_NAME("Recognizer-Context-Block"),
	HEADER_NAME("Start-Input-Timers"),
	HEADER_NAME("Speech-Complete-Timeout"),
	HEADER_NAME("Speech-Incomplete-Timeout"),
	HEADER_NAME("Dtmf-Interdigit-Timeout"),
	HEADER_NAME("Dtmf-Term-Timeout"),
	HEADER_NAME("Dtmf-Term-Char"),
	HEADER_NAME("Failed-Uri"),
	HEADER_NAME("Failed-Uri-Cause"),
	HEADER_NAME("Save-Waveform"),
	HEADER_NAME("New-Audio-Channel"),
	HEADER_NAME("Speech-Language"),
	HEADER_NAME("Input-Type"),
	HEADER_NAME("Input-Waveform-Uri"),
	HEADER_NAME("Completion-Reason"),
	HEADER_NAME("Media-Type"),
	HEADER_NAME("Ver-Buffer-Utterance"),
	HEADER_NAME("Recognition-Mode"),
	HEADER_NAME("Cancel-If-Queue"),
	HEADER_NAME("Hotword-Max-Duration"),
	HEADER_NAME("Hotword-Min-Duration"),
	HEADER_NAME("Interpret-Text"),
	HEADER_NAME("Dtmf-Buffer-Time"),
	HEADER_NAME("Clear-Dtmf-Buffer"),
	HEADER_NAME("Early-No-Match"),
	HEADER_NAME("Num-Min-Consistent-Pronunciations"),
	HEADER_NAME("Consistency-Threshold"),
	HEADER_NAME("Clash-Threshold"),
	HEADER_NAME("Personal-Grammar-Uri"),
	HEADER_NAME("Enroll-Utterance"),
	HEADER_NAME("Phrase-Id"),
	HEADER_NAME("Phrase-Nl"),
	HEADER_NAME("Weight"),
	HEADER_NAME("Save-Best-Waveform"),
	HEADER_NAME("New-Phrase-Id"),
	HEADER_NAME("Confusable-Phrases-Uri"),
	HEADER_NAME("Abort-Phrase-Enrollment")
};

#define RECOG_FIELD(type, member) {type, offsetof(mrcp_recog_header_t, member)}
#define S HEADER_VALUE_STRING
#define N HEADER_VALUE_SIZE
#define F HEADER_VALUE_FLOAT
#define B HEADER_VALUE_BOOL

static const header_value_def_t recog_header_values[RECOGNIZER_HEADER_COUNT] = {
	RECOG_FIELD(F, confidence_threshold),
	RECOG_FIELD(F, sensitivity_level),
	RECOG_FIELD(F, speed_vs_accuracy),
	RECOG_FIELD(N, n_best_list_length),
	RECOG_FIELD(N, no_input_timeout),
	RECOG_FIELD(N, recognition_timeout),
	RECOG_FIELD(S, waveform_uri),
	RECOG_FIELD(HEADER_VALUE_SPECIAL, completion_cause),
	RECOG_FIELD(S, recognizer_context_block),
	RECOG_FIELD(B, start_input_timers),
	RECOG_FIELD(N, speech_complete_timeout),
	RECOG_FIELD(N, speech_incomplete_timeout),
	RECOG_FIELD(N, dtmf_interdigit_timeout),
	RECOG_FIELD(N, dtmf_term_timeout),
	RECOG_FIELD(HEADER_VALUE_CHAR, dtmf_term_char),
	RECOG_FIELD(S, failed_uri),
	RECOG_FIELD(S, failed_uri_cause),
	RECOG_FIELD(B, save_waveform),
	RECOG_FIELD(B, new_audio_channel),
	RECOG_FIELD(S, speech_language),
	RECOG_FIELD(S, input_type),
	RECOG_FIELD(S, input_waveform_uri),
	RECOG_FIELD(S, completion_reason),
	RECOG_FIELD(S, media_type),
	RECOG_FIELD(B, ver_buffer_utterance),
	RECOG_FIELD(S, recognition_mode),
	RECOG_FIELD(B, cancel_if_queue),
	RECOG_FIELD(N, hotword_max_duration),
	RECOG_FIELD(N, hotword_min_duration),
	RECOG_FIELD(S, interpret_text),
	RECOG_FIELD(N, dtmf_buffer_time),
	RECOG_FIELD(B, clear_dtmf_buffer),
	RECOG_FIELD(B, early_no_match),
	RECOG_FIELD(N, num_min_consistent_pronunciations),
	RECOG_FIELD(F, consistency_threshold),
	RECOG_FIELD(F, clash_threshold),
	RECOG_FIELD(S, personal_grammar_uri),
	RECOG_FIELD(B, enroll_utterance),
	RECOG_FIELD(S, phrase_id),
	RECOG_FIELD(S, phrase_nl),
	RECOG_FIELD(F, weight),
	RECOG_FIELD(B, save_best_waveform),
	RECOG_FIELD(S, new_phrase_id),
	RECOG_FIELD(S, confusable_phrases_uri),
	RECOG_FIELD(B, abort_phrase_enrollment)
};

#undef S
#undef N
#undef F
#undef B

/* Completion cause names as each protocol version spells them. */
static const apt_str_t recog_completion_cause_v1[RECOGNIZER_COMPLETION_CAUSE_COUNT] = {
	HEADER_NAME("success"),
	HEADER_NAME("no-match"),
	HEADER_NAME("no-input-timeout"),
	HEADER_NAME("recognition-timeout"),
	HEADER_NAME("gram-load-failure"),
	HEADER_NAME("gram-comp-failure"),
	HEADER_NAME("error"),
	HEADER_NAME("speech-too-early"),
	HEADER_NAME("too-much-speech-timeout"),
	HEADER_NAME("uri-failure"),
	HEADER_NAME("language-unsupported"),
	HEADER_NAME("cancelled"),
	HEADER_NAME("semantics-failure"),
	HEADER_NAME("partial-match"),
	HEADER_NAME("partial-match-maxtime"),
	HEADER_NAME("no-match-maxtime"),
	HEADER_NAME("grammar-definition-failure")
};

static const apt_str_t recog_completion_cause_v2[RECOGNIZER_COMPLETION_CAUSE_COUNT] = {
	HEADER_NAME("success"),
	HEADER_NAME("no-match"),
	HEADER_NAME("no-input-timeout"),
	HEADER_NAME("hotword-maxtime"),
	HEADER_NAME("grammar-load-failure"),
	HEADER_NAME("grammar-compilation-failure"),
	HEADER_NAME("recognizer-error"),
	HEADER_NAME("speech-too-early"),
	HEADER_NAME("success-maxtime"),
	HEADER_NAME("uri-failure"),
	HEADER_NAME("language-unsupported"),
	HEADER_NAME("cancelled"),
	HEADER_NAME("semantics-failure"),
	HEADER_NAME("partial-match"),
	HEADER_NAME("partial-match-maxtime"),
	HEADER_NAME("no-match-maxtime"),
	HEADER_NAME("grammar-definition-failure")
};

static const apt_str_t* recog_cause_names(mrcp_version_e version)
{
	return version == MRCP_VERSION_1 ? recog_completion_cause_v1 : recog_completion_cause_v2;
}

static void* recog_header_allocate(mrcp_header_accessor_t *accessor, apr_pool_t *pool)
{
	mrcp_recog_header_t *header = (mrcp_recog_header_t*)apr_pcalloc(pool, sizeof(mrcp_recog_header_t));
	header->completion_cause = RECOGNIZER_COMPLETION_CAUSE_UNKNOWN;
	accessor->data = header;
	return header;
}

static apt_bool_t recog_header_parse(mrcp_header_accessor_t *accessor, apr_size_t id, const apt_str_t *value, apr_pool_t *pool)
{
	mrcp_recog_header_t *header = (mrcp_recog_header_t*)accessor->data;
	if(!header || id >= RECOGNIZER_HEADER_COUNT)
		return FALSE;
	if(id == RECOGNIZER_HEADER_COMPLETION_CAUSE) {
		apr_size_t cause;
		if(!header_cause_parse(value, RECOGNIZER_COMPLETION_CAUSE_COUNT, &cause))
			return FALSE;
		header->completion_cause = (mrcp_recog_completion_cause_e)cause;
		return TRUE;
	}
	return header_value_parse(&recog_header_values[id], header, value, pool);
}

/* The cause names differ between the protocol versions, so each version has its own printer. */
static apt_bool_t recog_header_generate(const mrcp_header_accessor_t *accessor, apr_size_t id, apt_str_t *value,
                                        apr_pool_t *pool, mrcp_version_e version)
{
	const mrcp_recog_header_t *header = (const mrcp_recog_header_t*)accessor->data;
	apt_string_reset(value);
	if(!header || id >= RECOGNIZER_HEADER_COUNT)
		return FALSE;
	if(id == RECOGNIZER_HEADER_COMPLETION_CAUSE) {
		header_cause_generate(header->completion_cause, recog_cause_names(version),
		                      RECOGNIZER_COMPLETION_CAUSE_COUNT, value, pool);
		return TRUE;
	}
	return header_value_generate(&recog_header_values[id], header, value, pool);
}

static apt_bool_t recog_header_generate_v1(const mrcp_header_accessor_t *accessor, apr_size_t id, apt_str_t *value, apr_pool_t *pool)
{
	return recog_header_generate(accessor, id, value, pool, MRCP_VERSION_1);
}

static apt_bool_t recog_header_generate_v2(const mrcp_header_accessor_t *accessor, apr_size_t id, apt_str_t *value, apr_pool_t *pool)
{
	return recog_header_generate(accessor, id, value, pool, MRCP_VERSION_2);
}

static apt_bool_t recog_header_duplicate(mrcp_header_accessor_t *accessor, const mrcp_header_accessor_t *src, apr_size_t id, apr_pool_t *pool)
{
	mrcp_recog_header_t *header = (mrcp_recog_header_t*)accessor->data;
	const mrcp_recog_header_t *src_header = (const mrcp_recog_header_t*)src->data;
	if(!header || !src_header || id >= RECOGNIZER_HEADER_COUNT)
		return FALSE;
	if(id == RECOGNIZER_HEADER_COMPLETION_CAUSE)
		header->completion_cause = src_header->completion_cause;
	else
		header_value_duplicate(&recog_header_values[id], header, src_header, pool);
	return TRUE;
}

static const mrcp_header_vtable_t recog_header_vtable_v1 = {
	recog_header_allocate,
	recog_header_parse,
	recog_header_generate_v1,
	recog_header_duplicate,
	recog_header_field_names,
	RECOGNIZER_HEADER_COUNT
};

static const mrcp_header_vtable_t recog_header_vtable_v2 = {
	recog_header_allocate,
	recog_header_parse,
	recog_header_generate_v2,
	recog_header_duplicate,
	recog_header_field_names,
	RECOGNIZER_HEADER_COUNT
};

MRCP_DECLARE(const mrcp_header_vtable_t*) mrcp_recog_header_vtable_get(mrcp_version_e version)
{
	return version == MRCP_VERSION_1 ? &recog_header_vtable_v1 : &recog_header_vtable_v2;
}

MRCP_DECLARE(const apt_str_t*) mrcp_recog_completion_cause_get(mrcp_recog_completion_cause_e completion_cause, mrcp_version_e version)
{
	if(completion_cause >= RECOGNIZER_COMPLETION_CAUSE_COUNT)
		return NULL;
	return &recog_cause_names(version)[completion_cause];
}
