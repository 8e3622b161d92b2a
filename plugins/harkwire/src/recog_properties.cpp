#include "recog_properties.h"

#include <errno.h>
#include <float.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <cmath>

#include <apr_file_io.h>

#include "apt_log.h"
#include "recog_header.h"

system_t g_properties;

static void out_of_range(const apr_xml_attr* attr)
{
    apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "value <%s> of <%s> out of range, default kept", attr->value,
            attr->name);
}

/*
 * A decimal integer as the C library reads one (no digits give 0), taken as 32 bits with its
 * sign. A value that does not fit in 32 bits is refused with a warning naming the setting:
 * FALSE, and the caller keeps what the setting held.
 */
static bool attr_int_get(const apr_xml_attr* attr, int32_t* out)
{
    if (!attr->value) {
        *out = 0;
        return true;
    }
    errno = 0;
    long long value = strtoll(attr->value, NULL, 10);
    if (errno == ERANGE || value < INT32_MIN || value > INT32_MAX) {
        out_of_range(attr);
        return false;
    }
    *out = (int32_t)value;
    return true;
}

/* The 32-bit value of an integer setting stored into a field of any integer type, widened
 * with its sign ("-1" in an unsigned field is the largest value). */
template <typename T>
static void attr_int_set(const apr_xml_attr* attr, T* field)
{
    int32_t value = 0;
    if (attr_int_get(attr, &value))
        *field = static_cast<T>(value);
}

/* A count or a duration (the unsigned header fields): a negative one is refused like a number
 * that does not fit, rather than wrapping to a huge value or reaching the service negative. */
static void attr_size_set(const apr_xml_attr* attr, apr_size_t* field)
{
    int32_t value = 0;
    if (!attr_int_get(attr, &value))
        return;
    if (value < 0) {
        out_of_range(attr);
        return;
    }
    *field = (apr_size_t)value;
}

/* A decimal fraction as the C library reads one, refused like an integer when it is no finite
 * single-precision number. */
static bool attr_float_get(const apr_xml_attr* attr, double* out)
{
    double value = attr->value ? strtod(attr->value, NULL) : 0.0;
    if (!std::isfinite(value) || std::fabs(value) > FLT_MAX) {
        out_of_range(attr);
        return false;
    }
    *out = value;
    return true;
}

static void attr_float_set(const apr_xml_attr* attr, float* field)
{
    double value = 0.0;
    if (attr_float_get(attr, &value))
        *field = (float)value;
}

/* The sensitivity goes to the service as a percentage (vad_threshold): a negative one is refused
 * like a number that does not fit, rather than reaching the service below zero. */
static void attr_level_set(const apr_xml_attr* attr, float* field)
{
    double value = 0.0;
    if (!attr_float_get(attr, &value))
        return;
    if (value < 0) {
        out_of_range(attr);
        return;
    }
    *field = (float)value;
}

/* A pool copy of the text; an empty text is no text. */
static const char* attr_text_get(const char* value, apr_pool_t* pool)
{
    return (value && *value) ? apr_pstrdup(pool, value) : NULL;
}

static bool name_is(const char* name, const char* expected)
{
    return name && strcasecmp(name, expected) == 0;
}

apt_bool_t attr_bool_get(const apr_xml_attr* attr)
{
    return (attr && attr->value && strcasecmp(attr->value, "true") == 0) ? TRUE : FALSE;
}

void recog_params_default(mrcp_recog_header_t* params)
{
    memset(params, 0, sizeof(*params));
    params->confidence_threshold = 0.5f;
    params->sensitivity_level = 0.1f;
    params->speed_vs_accuracy = 0.5f;
    params->n_best_list_length = 1;
    params->no_input_timeout = 8000;
    params->recognition_timeout = 10000;
    params->completion_cause = RECOGNIZER_COMPLETION_CAUSE_SUCCESS;
    params->start_input_timers = TRUE;
    params->speech_complete_timeout = 800;
    params->speech_incomplete_timeout = 800;
    params->dtmf_interdigit_timeout = 5000;
    params->dtmf_term_timeout = 10000;
    params->dtmf_term_char = 0;
    apt_string_set(&params->speech_language, "zh-cn");
    apt_string_set(&params->input_type, "speech");
    apt_string_set(&params->recognition_mode, "normal");
    params->hotword_max_duration = 100000;
    params->hotword_min_duration = 0;
    apt_string_set(&params->interpret_text, "text/plain");
    params->dtmf_buffer_time = 10000;
    params->num_min_consistent_pronunciations = 1;
    params->consistency_threshold = 1.0f;
    params->clash_threshold = 0.0f;
    params->weight = 1.0f;
}

/* Sets every default that a load starts from. Fields that a load never resets keep their value. */
static void recog_properties_default(system_t* properties)
{
    properties->init_path = NULL;
    properties->capability_count = 0;
    properties->cap_info = NULL;
    properties->use_freetalk = TRUE;
    properties->use_keywordspot = TRUE;
    properties->param_priority = 0;
    properties->token_interval_sec = 0;
    properties->token_server = NULL;
    properties->auth_user_name = NULL;
    properties->auth_user_password = NULL;
    properties->auth_user_domain_name = NULL;
    properties->auth_scope_project_name = NULL;
    recog_params_default(&properties->params);
    properties->vocabulary = NULL;
    properties->save_wave.save_waveform = 0;
    properties->save_wave.dir = NULL;
    properties->save_navi_wave.save_waveform = 0;
    properties->save_navi_wave.dir = NULL;
    properties->result_format = "%{text}";
    properties->if_channel_id = TRUE;
}

static void unknown_attribute(const apr_xml_attr* attr)
{
    apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "unknown attribute <%s>", attr->name);
}

static void param_value_set(mrcp_recog_header_t* params, apr_size_t id, const apr_xml_attr* attr, apr_pool_t* pool)
{
    const char* value = attr->value;
    char* at = reinterpret_cast<char*>(params) + recog_header_fields[id].offset;
    switch (recog_header_fields[id].type) {
    case RECOG_FIELD_FLOAT:
        if (id == RECOGNIZER_HEADER_SENSITIVITY_LEVEL)
            attr_level_set(attr, reinterpret_cast<float*>(at));
        else
            attr_float_set(attr, reinterpret_cast<float*>(at));
        break;
    case RECOG_FIELD_SIZE:
        attr_size_set(attr, reinterpret_cast<apr_size_t*>(at));
        break;
    case RECOG_FIELD_BOOL:
        *reinterpret_cast<apt_bool_t*>(at) = (value && strcasecmp(value, "true") == 0) ? TRUE : FALSE;
        break;
    case RECOG_FIELD_CHAR:
        *at = value ? value[0] : 0;
        break;
    case RECOG_FIELD_CAUSE:
        attr_int_set(attr, reinterpret_cast<mrcp_recog_completion_cause_e*>(at));
        break;
    case RECOG_FIELD_TEXT:
        apt_string_assign(reinterpret_cast<apt_str_t*>(at), value, pool);
        break;
    }
}

apt_bool_t params_properties_load(mrcp_recog_header_t* params, const apr_xml_elem* elem, apr_pool_t* pool)
{
    for (const apr_xml_attr* attr = elem->attr; attr; attr = attr->next) {
        apr_size_t id = 0;
        while (id < RECOGNIZER_HEADER_COUNT && !name_is(attr->name, recog_header_fields[id].name))
            ++id;
        if (id < RECOGNIZER_HEADER_COUNT)
            param_value_set(params, id, attr, pool);
        else
            unknown_attribute(attr);
    }
    return TRUE;
}

apt_bool_t save_waveform_properties_load(save_wave_t* wave, const apr_xml_elem* elem, apr_pool_t* pool)
{
    for (const apr_xml_attr* attr = elem->attr; attr; attr = attr->next) {
        if (name_is(attr->name, "dir"))
            wave->dir = attr_text_get(attr->value, pool);
        else if (name_is(attr->name, "enable"))
            attr_int_set(attr, &wave->save_waveform);
        else
            unknown_attribute(attr);
    }
    return TRUE;
}

static void system_properties_load(system_t* properties, const apr_xml_elem* elem, apr_pool_t* pool)
{
    properties->stop_response_asynchronous = TRUE;
    for (const apr_xml_attr* attr = elem->attr; attr; attr = attr->next) {
        if (name_is(attr->name, "init-path"))
            properties->init_path = attr_text_get(attr->value, pool);
        else if (name_is(attr->name, "use-freetalk"))
            properties->use_freetalk = attr_bool_get(attr);
        else if (name_is(attr->name, "use-keywordspot"))
            properties->use_keywordspot = attr_bool_get(attr);
        else if (name_is(attr->name, "result-byte"))
            attr_int_set(attr, &properties->result_byte);
        else if (name_is(attr->name, "task_timeout_multiplier"))
            attr_int_set(attr, &properties->task_timeout_multiplier);
        else if (name_is(attr->name, "stop_response_asynchronous"))
            attr_int_set(attr, &properties->stop_response_asynchronous);
        else if (name_is(attr->name, "k_frame_count"))
            attr_int_set(attr, &properties->k_frame_count);
        else if (name_is(attr->name, "param_priority"))
            attr_int_set(attr, &properties->param_priority);
        else
            unknown_attribute(attr);
    }

    apr_size_t count = 0;
    for (const apr_xml_elem* child = elem->first_child; child; child = child->next)
        ++count;
    properties->capability_count = count;
    properties->cap_info = apr_palloc(pool, 16 * count + 1);
    if (!properties->cap_info)
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "cap_info space alloc failed[%d]", (int)(16 * count));
}

static void auth_properties_load(system_t* properties, const apr_xml_elem* elem, apr_pool_t* pool)
{
    authinfo_properties_load(properties, elem, pool);
    for (const apr_xml_elem* child = elem->first_child; child; child = child->next)
        if (name_is(child->name, "auth_identity") || name_is(child->name, "auth_scope"))
            authinfo_properties_load(properties, child, pool);
}

static void result_param_properties_load(system_t* properties, const apr_xml_elem* elem, apr_pool_t* pool)
{
    properties->if_channel_id = TRUE;
    for (const apr_xml_attr* attr = elem->attr; attr; attr = attr->next) {
        if (name_is(attr->name, "if_channel_id"))
            attr_int_set(attr, &properties->if_channel_id);
        else if (name_is(attr->name, "format"))
            properties->result_format = attr_text_get(attr->value, pool);
        else
            unknown_attribute(attr);
    }
}

static void vocabulary_properties_load(system_t* properties, const apr_xml_elem* elem, apr_pool_t* pool)
{
    const apr_text* first = elem->first_cdata.first;
    properties->vocabulary = (first && first->text) ? apr_pstrdup(pool, first->text) : NULL;
}

static void root_properties_load(system_t* properties, const apr_xml_elem* root, apr_pool_t* pool)
{
    for (const apr_xml_elem* elem = root->first_child; elem; elem = elem->next) {
        if (name_is(elem->name, "system"))
            system_properties_load(properties, elem, pool);
        else if (name_is(elem->name, "auth_info"))
            auth_properties_load(properties, elem, pool);
        else if (name_is(elem->name, "params"))
            params_properties_load(&properties->params, elem, pool);
        else if (name_is(elem->name, "vocabulary"))
            vocabulary_properties_load(properties, elem, pool);
        else if (name_is(elem->name, "save-waveform"))
            save_waveform_properties_load(&properties->save_wave, elem, pool);
        else if (name_is(elem->name, "save-navi-waveform"))
            save_waveform_properties_load(&properties->save_navi_wave, elem, pool);
        else if (name_is(elem->name, "result_param"))
            result_param_properties_load(properties, elem, pool);
        else
            apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "unknown element <%s>", elem->name);
    }
}

apt_bool_t recog_properties_load(system_t* properties, const char* path, apr_pool_t* pool)
{
    recog_properties_default(properties);
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "open config file [%s]", path ? path : "(null)");

    apr_file_t* file = NULL;
    apr_status_t status = path ? apr_file_open(&file, path, APR_FOPEN_READ | APR_FOPEN_BUFFERED, 0, pool)
                               : APR_EINVAL;
    if (status != APR_SUCCESS) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "failed to open config file [%s][%d]", path ? path : "(null)",
                (int)status);
        return TRUE;
    }

    apr_xml_parser* parser = NULL;
    apr_xml_doc* doc = NULL;
    status = apr_xml_parse_file(pool, &parser, &doc, file, 8192);
    if (status != APR_SUCCESS || !doc || !doc->root) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "failed to parse config file [%s][%d]", path, (int)status);
        apr_file_close(file);
        return TRUE;
    }
    apr_file_close(file);

    if (!name_is(doc->root->name, "durnel")) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "unknown element <%s>", doc->root->name);
        return TRUE;
    }
    root_properties_load(properties, doc->root, pool);
    return TRUE;
}
