#include "recog_header.h"

#include <strings.h>

#include <string>

#include "apt_log.h"
#include "recog_engine.h"

const speech_language_t g_speech_language[SPEECH_LANGUAGE_COUNT] = {
    {"chinese", "zh-cn"},     {"cantonese", "zh-hk"},  {"english", "en-us"},    {"english", "en-GB"},
    {"french", "fr-FR"},      {"french", "fr-CA"},     {"spanish", "es-ES"},    {"spanish", "es"},
    {"portuguese", "pt-PT"},  {"portuguese", "pt-BR"}, {"dutch", "nl-NL"},      {"dutch", "nl-BE"},
    {"german", "de-DE"},      {"italian", "it-IT"},    {"swedish", "sv-SE"},    {"norwegian", "nb-NO"},
    {"denish", "da-DK"},      {"poland", "pl-PL"},     {"greek", "el-GR"},      {"hungarian", "hu-HU"},
    {"czech", "cs-CZ"},       {"turkish", "tr-TR"},    {"russian", "ru-RU"},    {"arabic", "ar-SA"},
    {"japanese", "ja-JP"},    {"korean", "ko-KR"},     {"vietnamese", "vi-VN"}, {"malay", "ms-MY"},
    {"thai", "th-TH"},
};

const char* get_language_by_mask(const char* code)
{
    if (!code)
        return NULL;
    for (const speech_language_t& row : g_speech_language)
        if (strcasecmp(row.code, code) == 0)
            return row.name;
    return NULL;
}

apt_bool_t check_mask(const char* code)
{
    return get_language_by_mask(code) ? TRUE : FALSE;
}

/* v lies in [low, high], allowing the single-precision slack the checks have always had. */
static bool float_inside(float v, double low, double high)
{
    const float slack = 1e-7f;
    return (double)v - low >= -slack && (double)v - high <= slack;
}

static std::string text_of(const apt_str_t& s)
{
    return s.buf ? std::string(s.buf, s.length) : std::string();
}

/* Fields stored without a word; every other field without a check logs "unsupport to set". */
static bool stored_silently(apr_size_t id)
{
    return id == RECOGNIZER_HEADER_START_INPUT_TIMERS || id == RECOGNIZER_HEADER_RECOGNITION_MODE ||
           id == RECOGNIZER_HEADER_CANCEL_IF_QUEUE;
}

enum check_result_e { CHECK_STORE, CHECK_KEEP, CHECK_REFUSE };

/* The check of one field; may replace the request's value by its fallback in 'values'. */
static check_result_e check_field(apr_size_t id, const mrcp_recog_header_t* req, mrcp_recog_header_t* values)
{
    switch (id) {
    case RECOGNIZER_HEADER_CONFIDENCE_THRESHOLD:
        if (!float_inside(req->confidence_threshold, 0.0, 1.0)) {
            apt_log(APT_LOG_MARK, APT_PRIO_WARNING,
                    "confidence-threshold invalid![%.1f], will use default value[0.1].",
                    (double)req->confidence_threshold);
            values->confidence_threshold = 0.1f;
            return CHECK_KEEP;
        }
        return CHECK_STORE;
    case RECOGNIZER_HEADER_SENSITIVITY_LEVEL:
        if (!float_inside(req->sensitivity_level, 0.01, 1.0)) {
            apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "sensitivity-level invalid![%.2f]",
                    (double)req->sensitivity_level);
            return CHECK_REFUSE;
        }
        return CHECK_STORE;
    case RECOGNIZER_HEADER_SPEED_VS_ACCURACY:
        if (!float_inside(req->speed_vs_accuracy, 0.0, 1.0)) {
            apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "speed-vs-accuracy invalid![%.1f]",
                    (double)req->speed_vs_accuracy);
            return CHECK_REFUSE;
        }
        return CHECK_STORE;
    case RECOGNIZER_HEADER_N_BEST_LIST_LENGTH:
        if (req->n_best_list_length == 0) {
            apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "n-best-list-length invalid![%d]", 0);
            return CHECK_REFUSE;
        }
        return CHECK_STORE;
    case RECOGNIZER_HEADER_NO_INPUT_TIMEOUT:
        if (req->no_input_timeout > 1800000) {
            apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "no-input-timeout invalid![%d], will use configuration value.",
                    (int)req->no_input_timeout);
            return CHECK_KEEP;
        }
        return CHECK_STORE;
    case RECOGNIZER_HEADER_RECOGNITION_TIMEOUT:
        if (req->recognition_timeout < 1000 || req->recognition_timeout > 60000) {
            apt_log(APT_LOG_MARK, APT_PRIO_WARNING,
                    "recognition-timeout invalid![%d], will use configuration value.",
                    (int)req->recognition_timeout);
            return CHECK_KEEP;
        }
        return CHECK_STORE;
    case RECOGNIZER_HEADER_SPEECH_COMPLETE_TIMEOUT:
        if (req->speech_complete_timeout < 1 || req->speech_complete_timeout > 30000) {
            apt_log(APT_LOG_MARK, APT_PRIO_WARNING,
                    "speech-complete-timeout invalid![%d], will use configuration value.",
                    (int)req->speech_complete_timeout);
            return CHECK_KEEP;
        }
        return CHECK_STORE;
    case RECOGNIZER_HEADER_SPEECH_INCOMPLETE_TIMEOUT:
        if (req->speech_incomplete_timeout < 1 || req->speech_incomplete_timeout > 30000) {
            apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "speech-incomplete-timeout invalid![%d]",
                    (int)req->speech_incomplete_timeout);
            return CHECK_KEEP;
        }
        return CHECK_STORE;
    case RECOGNIZER_HEADER_SPEECH_LANGUAGE: {
        std::string code = text_of(req->speech_language);
        if (!check_mask(code.c_str())) {
            apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "speech-language invalid![%s]", code.c_str());
            return CHECK_REFUSE;
        }
        return CHECK_STORE;
    }
    case RECOGNIZER_HEADER_INPUT_TYPE: {
        std::string type = text_of(req->input_type);
        if (strcasecmp(type.c_str(), "speech") != 0) {
            apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "input-type invalid![%s]", type.c_str());
            return CHECK_REFUSE;
        }
        return CHECK_STORE;
    }
    default:
        if (!stored_silently(id))
            apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "unsupport to set %s", recog_header_fields[id].name);
        return CHECK_STORE;
    }
}

int recog_header_apply(mrcp_recog_header_t* values, apr_pool_t* pool, mrcp_message_t* request,
                       mrcp_message_t* response)
{
    const mrcp_recog_header_t* req = (const mrcp_recog_header_t*)mrcp_resource_header_get(request);
    if (!req)
        return 0;

    apt_header_field_t* field = NULL;
    while ((field = mrcp_message_next_header_field_get(request, field)) != NULL) {
        if (field->id < RECOG_FIELD_ID_BASE)
            continue;
        apr_size_t id = field->id - RECOG_FIELD_ID_BASE;
        if (id >= RECOGNIZER_HEADER_COUNT) {
            apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "can find the header [%d:%s]", (int)field->id,
                    apt_string_buffer_get(&field->name));
            continue;
        }
        switch (check_field(id, req, values)) {
        case CHECK_STORE:
            recog_header_field_copy(values, req, id, pool);
            break;
        case CHECK_KEEP:
            break;
        case CHECK_REFUSE:
            if (response)
                mrcp_resource_header_property_add(response, id);
            return 0;
        }
    }
    return 1;
}

int recog_set_param(recog_channel_t* channel, mrcp_message_t* request, mrcp_message_t* response)
{
    return recog_header_apply(&channel->mrcp_recog_header, channel->pool, request, response);
}
