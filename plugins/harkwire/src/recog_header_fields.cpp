#include "recog_header.h"

#define RECOG_FIELD(member, name, type) {name, type, offsetof(mrcp_recog_header_t, member)}

const recog_header_field_t recog_header_fields[RECOGNIZER_HEADER_COUNT] = {
    RECOG_FIELD(confidence_threshold, "confidence-threshold", RECOG_FIELD_FLOAT),
    RECOG_FIELD(sensitivity_level, "sensitivity-level", RECOG_FIELD_FLOAT),
    RECOG_FIELD(speed_vs_accuracy, "speed-vs-accuracy", RECOG_FIELD_FLOAT),
    RECOG_FIELD(n_best_list_length, "n-best-list-length", RECOG_FIELD_SIZE),
    RECOG_FIELD(no_input_timeout, "no-input-timeout", RECOG_FIELD_SIZE),
    RECOG_FIELD(recognition_timeout, "recognition-timeout", RECOG_FIELD_SIZE),
    RECOG_FIELD(waveform_uri, "waveform-uri", RECOG_FIELD_TEXT),
    RECOG_FIELD(completion_cause, "completion-cause", RECOG_FIELD_CAUSE),
    RECOG_FIELD(recognizer_context_block, "recognizer-context-block", RECOG_FIELD_TEXT),
    RECOG_FIELD(start_input_timers, "start-input-timers", RECOG_FIELD_BOOL),
    RECOG_FIELD(speech_complete_timeout, "speech-complete-timeout", RECOG_FIELD_SIZE),
    RECOG_FIELD(speech_incomplete_timeout, "speech-incomplete-timeout", RECOG_FIELD_SIZE),
    RECOG_FIELD(dtmf_interdigit_timeout, "dtmf-interdigit-timeout", RECOG_FIELD_SIZE),
    RECOG_FIELD(dtmf_term_timeout, "dtmf-term-timeout", RECOG_FIELD_SIZE),
    RECOG_FIELD(dtmf_term_char, "dtmf-term-char", RECOG_FIELD_CHAR),
    RECOG_FIELD(failed_uri, "failed-uri", RECOG_FIELD_TEXT),
    RECOG_FIELD(failed_uri_cause, "failed-uri-cause", RECOG_FIELD_TEXT),
    RECOG_FIELD(save_waveform, "save-waveform", RECOG_FIELD_BOOL),
    RECOG_FIELD(new_audio_channel, "new-audio-channel", RECOG_FIELD_BOOL),
    RECOG_FIELD(speech_language, "speech-language", RECOG_FIELD_TEXT),
    RECOG_FIELD(input_type, "input-type", RECOG_FIELD_TEXT),
    RECOG_FIELD(input_waveform_uri, "input-waveform-uri", RECOG_FIELD_TEXT),
    RECOG_FIELD(completion_reason, "completion-reason", RECOG_FIELD_TEXT),
    RECOG_FIELD(media_type, "media-type", RECOG_FIELD_TEXT),
    RECOG_FIELD(ver_buffer_utterance, "ver-buffer-utterance", RECOG_FIELD_BOOL),
    RECOG_FIELD(recognition_mode, "recognition-mode", RECOG_FIELD_TEXT),
    RECOG_FIELD(cancel_if_queue, "cancel-if-queue", RECOG_FIELD_BOOL),
    RECOG_FIELD(hotword_max_duration, "hotword-max-duration", RECOG_FIELD_SIZE),
    RECOG_FIELD(hotword_min_duration, "hotword-min-duration", RECOG_FIELD_SIZE),
    RECOG_FIELD(interpret_text, "interpret-text", RECOG_FIELD_TEXT),
    RECOG_FIELD(dtmf_buffer_time, "dtmf-buffer-time", RECOG_FIELD_SIZE),
    RECOG_FIELD(clear_dtmf_buffer, "clear-dtmf-buffer", RECOG_FIELD_BOOL),
    RECOG_FIELD(early_no_match, "early-no-match", RECOG_FIELD_BOOL),
    RECOG_FIELD(num_min_consistent_pronunciations, "num-min-consistent-pronunciations", RECOG_FIELD_SIZE),
    RECOG_FIELD(consistency_threshold, "consistency-threshold", RECOG_FIELD_FLOAT),
    RECOG_FIELD(clash_threshold, "clash-threshold", RECOG_FIELD_FLOAT),
    RECOG_FIELD(personal_grammar_uri, "personal-grammar-uri", RECOG_FIELD_TEXT),
    RECOG_FIELD(enroll_utterance, "enroll-utterance", RECOG_FIELD_BOOL),
    RECOG_FIELD(phrase_id, "phrase-id", RECOG_FIELD_TEXT),
    RECOG_FIELD(phrase_nl, "phrase-nl", RECOG_FIELD_TEXT),
    RECOG_FIELD(weight, "weight", RECOG_FIELD_FLOAT),
    RECOG_FIELD(save_best_waveform, "save-best-waveform", RECOG_FIELD_BOOL),
    RECOG_FIELD(new_phrase_id, "new-phrase-id", RECOG_FIELD_TEXT),
    RECOG_FIELD(confusable_phrases_uri, "confusable-phrases-uri", RECOG_FIELD_TEXT),
    RECOG_FIELD(abort_phrase_enrollment, "abort-phrase-enrollment", RECOG_FIELD_BOOL),
};

template <typename T>
static T& member(mrcp_recog_header_t* header, apr_size_t id)
{
    return *reinterpret_cast<T*>(reinterpret_cast<char*>(header) + recog_header_fields[id].offset);
}

template <typename T>
static const T& member(const mrcp_recog_header_t* header, apr_size_t id)
{
    return *reinterpret_cast<const T*>(reinterpret_cast<const char*>(header) + recog_header_fields[id].offset);
}

void recog_header_field_copy(mrcp_recog_header_t* dst, const mrcp_recog_header_t* src, apr_size_t id,
                             apr_pool_t* pool)
{
    if (id >= RECOGNIZER_HEADER_COUNT)
        return;
    switch (recog_header_fields[id].type) {
    case RECOG_FIELD_FLOAT:
        member<float>(dst, id) = member<float>(src, id);
        break;
    case RECOG_FIELD_SIZE:
        member<apr_size_t>(dst, id) = member<apr_size_t>(src, id);
        break;
    case RECOG_FIELD_BOOL:
        member<apt_bool_t>(dst, id) = member<apt_bool_t>(src, id);
        break;
    case RECOG_FIELD_CHAR:
        member<char>(dst, id) = member<char>(src, id);
        break;
    case RECOG_FIELD_CAUSE:
        member<mrcp_recog_completion_cause_e>(dst, id) = member<mrcp_recog_completion_cause_e>(src, id);
        break;
    case RECOG_FIELD_TEXT:
        apt_string_copy(&member<apt_str_t>(dst, id), &member<apt_str_t>(src, id), pool);
        break;
    }
}

