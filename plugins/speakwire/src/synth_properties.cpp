#include "synth_properties.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <apr_file_io.h>
#include <apr_strings.h>
#include <apr_xml.h>

#include "apt_log.h"

#ifdef SPEAKWIRE_HAVE_AUTHINFO
#include "token_wrapper.h"
#endif

synth_properties_t g_properties;

const char *const prosody_volume_string_table[PROSODY_VOLUME_COUNT] = {
    "silent", "x-soft", "soft", "medium", "loud", "x-loud", "default",
};
const apr_size_t prosody_volume_value_table[PROSODY_VOLUME_COUNT] = {0, 1, 3, 5, 7, 9, 5};
const double prosody_volume_val_table[10] = {0, 12, 24, 36, 48, 60, 72, 84, 92, 100};

const char *const prosody_rate_string_table[PROSODY_RATE_COUNT] = {
    "x-slow", "slow", "medium", "fast", "x-fast", "default",
};
const apr_size_t prosody_rate_value_table[PROSODY_RATE_COUNT] = {0, 3, 5, 7, 9, 5};
const double prosody_rate_relative_table[10] = {0.7, 0.75, 0.8, 0.85, 0.9, 1.0, 1.1, 1.2, 1.35, 1.5};

const char *const speech_lang_string_table[SPEECH_LANG_COUNT] = {
    "zh-CN", "zh-HK", "en-US", "en-GB", "fr-FR", "fr-CA", "es-ES", "es", "pt-PT", "pt-BR",
    "nl-NL", "nl-BE", "de-DE", "it-IT", "sv-SE", "nb-NO", "da-DK", "pl-PL", "el-GR", "hu-HU",
    "cs-CZ", "tr-TR", "ru-RU", "ar-SA", "ja-JP", "ko-KR", "vi-VN", "ms-MY", "th-TH",
};
const apr_size_t lang_value_table[SPEECH_LANG_COUNT] = {
    0, 1, 10, 11, 20, 21, 30, 31, 40, 41,
    50, 51, 60, 70, 80, 90, 100, 110, 120, 130,
    140, 150, 500, 600, 700, 710, 720, 730, 740,
};

const double precision = 1e-10;

namespace {

const apr_size_t CONFIG_READ_BUFFER = 16000;

/* The first text piece inside an element; NULL for an element without text. */
const char *elem_text(const apr_xml_elem *elem)
{
    return elem->first_cdata.first ? elem->first_cdata.first->text : NULL;
}

bool is_named(const char *name, const char *wanted)
{
    return name && strcasecmp(name, wanted) == 0;
}

/* A decimal number as the C library reads it. An element without text leaves
 * the setting as it was: there is nothing to read. */
bool read_number(const char *text, long *value)
{
    if (!text)
        return false;
    *value = strtol(text, NULL, 10);
    return true;
}

bool read_bool(const char *text, apt_bool_t *value)
{
    if (!text)
        return false;
    *value = strcasecmp(text, "true") == 0 ? TRUE : FALSE;
    return true;
}

/* Numbers that the record keeps as 32-bit signed values widened to apr_size_t. */
apr_size_t widen32(long value)
{
    return (apr_size_t)(apr_int64_t)(apr_int32_t)value;
}

int word_index(const char *text, const char *const *table, int count, int unknown)
{
    for (int i = 0; i < count; i++)
        if (strcasecmp(text, table[i]) == 0)
            return i;
    return unknown;
}

void assign_text(apt_str_t *str, const char *text, apr_pool_t *pool)
{
    /* No text and empty text both leave an empty string. */
    apt_string_assign(str, text, pool);
}

void warn_unknown_setting(const char *name)
{
    apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "unknown attribute <%s>", name ? name : "");
}

void load_system(system_t *sys, const apr_xml_elem *section)
{
    for (const apr_xml_elem *elem = section->first_child; elem; elem = elem->next) {
        const char *text = elem_text(elem);
        long number = 0;
        if (is_named(elem->name, "init-path")) {
            sys->init_path = text;
        } else if (is_named(elem->name, "use-kivtag")) {
            read_bool(text, &sys->use_kivtag);
        } else if (is_named(elem->name, "max-audio-buffer-size")) {
            if (read_number(text, &number)) {
                /* It bounds each channel's memory: a negative number must not wrap to no bound. */
                if (number >= 0 && (unsigned long)number <= (~(apr_size_t)0) / 1024)
                    sys->max_audio_buffer_size = (apr_size_t)number * 1024;
                else
                    apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "max-audio-buffer-size out of range <%ld>", number);
            }
        } else if (is_named(elem->name, "num-init-threads")) {
            if (read_number(text, &number))
                sys->num_init_threads = (apr_size_t)number;
        } else if (is_named(elem->name, "num-max-threads")) {
            if (read_number(text, &number))
                sys->num_max_threads = (apr_size_t)number;
        } else if (is_named(elem->name, "speed_revise")) {
            if (read_number(text, &number))
                sys->speed_revise = number > 0 ? 1 : 0;
        } else {
            warn_unknown_setting(elem->name);
        }
    }
}

void load_auth_info(system_t *sys, const apr_xml_elem *section, apr_pool_t *pool)
{
#ifdef SPEAKWIRE_HAVE_AUTHINFO
    authinfo_properties_load(sys, section, pool);
    for (const apr_xml_elem *elem = section->first_child; elem; elem = elem->next)
        if (is_named(elem->name, "auth_identity") || is_named(elem->name, "auth_scope"))
            authinfo_properties_load(sys, elem, pool);
#else
    (void)sys;
    (void)section;
    (void)pool;
#endif
}

/* Voice genders outside the enumeration are kept as "unknown", which every
 * consumer treats like any other value it does not know. */
mrcp_voice_gender_e gender_of(long number)
{
    apr_uint32_t value = (apr_uint32_t)number;
    return value < VOICE_GENDER_COUNT ? (mrcp_voice_gender_e)value : VOICE_GENDER_UNKNOWN;
}

void load_params(mrcp_synth_header_t *params, const apr_xml_elem *section, apr_pool_t *pool)
{
    for (const apr_xml_elem *elem = section->first_child; elem; elem = elem->next) {
        const char *text = elem_text(elem);
        long number = 0;
        if (is_named(elem->name, "kill-on-barge-in")) {
            read_bool(text, &params->kill_on_barge_in);
        } else if (is_named(elem->name, "gender")) {
            if (read_number(text, &number))
                params->voice_param.gender = gender_of(number);
        } else if (is_named(elem->name, "age")) {
            if (read_number(text, &number))
                params->voice_param.age = widen32(number);
        } else if (is_named(elem->name, "name")) {
            assign_text(&params->voice_param.name, text, pool);
        } else if (is_named(elem->name, "volume")) {
            if (text) {
                params->prosody_param.volume.type = PROSODY_VOLUME_TYPE_LABEL;
                params->prosody_param.volume.value.label = (mrcp_prosody_volume_label_e)word_index(
                    text, prosody_volume_string_table, PROSODY_VOLUME_COUNT, PROSODY_VOLUME_UNKNOWN);
            }
        } else if (is_named(elem->name, "rate")) {
            if (text) {
                params->prosody_param.rate.type = PROSODY_RATE_TYPE_LABEL;
                params->prosody_param.rate.value.label = (mrcp_prosody_rate_label_e)word_index(
                    text, prosody_rate_string_table, PROSODY_RATE_COUNT, PROSODY_RATE_UNKNOWN);
            }
        } else if (is_named(elem->name, "speech-language")) {
            assign_text(&params->speech_language, text, pool);
        } else {
            warn_unknown_setting(elem->name);
        }
    }
}

void load_vendor_specific(vendor_specific_t *vs, const apr_xml_elem *section)
{
    /* Setting names in the order of vendor_specific_parameters_e; ranges are checked
     * where requests set them, not here. */
    static const char *const settings[VENDOR_SPECIFIC_COUNT] = {
        "pitch", "voice-domain", "voice-style", "codepage", "backaudio", "backaudio-volume",
        "backaudio-flag", "digit-mode", "eng-mode", "tag-mode", "punc-mode",
    };
    for (const apr_xml_elem *elem = section->first_child; elem; elem = elem->next) {
        const char *text = elem_text(elem);
        int index = word_index(elem->name ? elem->name : "", settings, VENDOR_SPECIFIC_COUNT, -1);
        if (index < 0) {
            warn_unknown_setting(elem->name);
        } else if (index == VENDOR_SPECIFIC_PITCH) {
            if (text)
                vs->pitch = get_pitch_lable(text);
        } else {
            long number = 0;
            if (read_number(text, &number))
                set_vendor_specific_parameters_value(vs, index, widen32(number));
        }
    }
}

void load_save_wave(save_wave_t *save, const apr_xml_elem *section)
{
    save->silence_interval = 10;
    save->silence_threshold = 140;
    for (const apr_xml_attr *attr = section->attr; attr; attr = attr->next) {
        long number = 0;
        if (is_named(attr->name, "silence_interval")) {
            if (read_number(attr->value, &number))
                save->silence_interval = (int)number;
        } else if (is_named(attr->name, "silence_threshold")) {
            if (read_number(attr->value, &number))
                save->silence_threshold = (int)number;
        } else {
            warn_unknown_setting(attr->name);
        }
    }
    for (const apr_xml_elem *elem = section->first_child; elem; elem = elem->next) {
        const char *text = elem_text(elem);
        if (is_named(elem->name, "dir"))
            save->save_waveform_dir = text;
        else if (is_named(elem->name, "enable"))
            read_bool(text, &save->save_waveform);
        else
            warn_unknown_setting(elem->name);
    }
}

} // namespace

void synth_properties_defaults(synth_properties_t *properties, apr_pool_t *pool)
{
    memset(properties, 0, sizeof(*properties));

    system_t *sys = &properties->system;
    sys->init_path = NULL;
    sys->use_kivtag = FALSE;
    sys->max_audio_buffer_size = 262144;
    sys->num_init_threads = 100;
    sys->num_max_threads = 500;
    sys->speed_revise = 0;

    mrcp_synth_header_t *params = &properties->params;
    params->jump_size.type = SPEECH_LENGTH_TYPE_TEXT;
    apt_string_reset(&params->jump_size.value.tag);
    params->kill_on_barge_in = TRUE;
    params->completion_cause = SYNTHESIZER_COMPLETION_CAUSE_NORMAL;
    params->voice_param.gender = VOICE_GENDER_FEMALE;
    params->voice_param.age = 3;
    params->voice_param.variant = 0;
    params->prosody_param.volume.type = PROSODY_VOLUME_TYPE_LABEL;
    params->prosody_param.volume.value.label = PROSODY_VOLUME_MEDIUM;
    params->prosody_param.rate.type = PROSODY_RATE_TYPE_LABEL;
    params->prosody_param.rate.value.label = PROSODY_RATE_MEDIUM;
    apt_string_assign(&params->speech_language, "zh-CN", pool);
    apt_string_assign(&params->fetch_hint, "safe", pool);
    apt_string_assign(&params->audio_fetch_hint, "safe", pool);
    params->speak_restart = FALSE;
    params->load_lexicon = FALSE;
    params->speak_length.type = SPEECH_LENGTH_TYPE_TEXT;
    apt_string_reset(&params->speak_length.value.tag);

    vendor_specific_t *vs = &properties->vendor_specific;
    vs->pitch = PROSODY_PITCH_MEDIUM;
    vs->voice_style = 1;
    vs->codepage = 65001;

    properties->save_wave.save_waveform = FALSE;
    properties->save_wave.save_waveform_dir = NULL;
}

apt_bool_t synth_properties_load(synth_properties_t *properties, const char *file_path, apr_pool_t *pool)
{
    synth_properties_defaults(properties, pool);

    const char *path = file_path ? file_path : "";
    apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "open config file [%s]", path);
    apr_file_t *fd = NULL;
    apr_status_t status = file_path ? apr_file_open(&fd, file_path, APR_FOPEN_READ | APR_FOPEN_BINARY, 0, pool)
                                    : APR_EINVAL;
    if (status != APR_SUCCESS) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "failed to open config file [%s][%d]", path, status);
        return FALSE;
    }

    apr_xml_parser *parser = NULL;
    apr_xml_doc *doc = NULL;
    status = apr_xml_parse_file(pool, &parser, &doc, fd, CONFIG_READ_BUFFER);
    if (status != APR_SUCCESS) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "failed to parse config file [%s][%d]", path, status);
        apr_file_close(fd);
        return FALSE;
    }

    const apr_xml_elem *root = doc ? doc->root : NULL;
    if (!root || !is_named(root->name, "pelka")) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "unknown element <%s>", root && root->name ? root->name : "");
        apr_file_close(fd);
        return FALSE;
    }
    apr_file_close(fd);

    for (const apr_xml_elem *section = root->first_child; section; section = section->next) {
        if (is_named(section->name, "system"))
            load_system(&properties->system, section);
        else if (is_named(section->name, "auth_info"))
            load_auth_info(&properties->system, section, pool);
        else if (is_named(section->name, "params"))
            load_params(&properties->params, section, pool);
        else if (is_named(section->name, "vendor-specific"))
            load_vendor_specific(&properties->vendor_specific, section);
        else if (is_named(section->name, "save-waveform"))
            load_save_wave(&properties->save_wave, section);
        else
            apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "unknown element <%s>", section->name ? section->name : "");
    }
    return TRUE;
}

apr_size_t prosody_volume_id2value(mrcp_prosody_volume_label_e label)
{
    if ((int)label >= 0 && label < PROSODY_VOLUME_COUNT)
        return prosody_volume_value_table[label];
    return 5;
}

apr_size_t prosody_volume_vol2value(double volume)
{
    /* Written so that a NaN fails the test too. */
    if (!(volume >= 0.0 && volume <= 100.0))
        return 5;
    for (apr_size_t level = 0; level < 10; level++) {
        double entry = prosody_volume_val_table[level];
        if (entry >= volume || fabs(entry - volume) < precision)
            return level;
    }
    return 5;
}

double prosody_volume_value2vol(apr_size_t level)
{
    return level < 10 ? prosody_volume_val_table[level] : 48.0;
}

mrcp_prosody_volume_label_e prosody_volume_value2id(apr_size_t level)
{
    if (level > 9)
        return PROSODY_VOLUME_DEFAULT;
    for (int label = 0; label < PROSODY_VOLUME_COUNT; label++)
        if (prosody_volume_value_table[label] >= level)
            return (mrcp_prosody_volume_label_e)label;
    return PROSODY_VOLUME_DEFAULT;
}

apr_size_t prosody_rate_id2value(mrcp_prosody_rate_label_e label)
{
    if ((int)label >= 0 && label < PROSODY_RATE_COUNT)
        return prosody_rate_value_table[label];
    return 5;
}

apr_size_t prosody_rate_relative2value(double relative)
{
    for (apr_size_t index = 0; index < 10; index++)
        if (fabs(prosody_rate_relative_table[index] - relative) < 0.025)
            return index;
    return 5;
}

mrcp_prosody_rate_label_e prosody_rate_value2id(apr_size_t level)
{
    if (level > 9)
        return PROSODY_RATE_DEFAULT;
    for (int label = 0; label < PROSODY_RATE_COUNT; label++)
        if (prosody_rate_value_table[label] >= level)
            return (mrcp_prosody_rate_label_e)label;
    return PROSODY_RATE_DEFAULT;
}

apr_size_t lang_value2id(const char *value)
{
    if (!value)
        return 0;
    for (int i = 0; i < SPEECH_LANG_COUNT; i++)
        if (apr_strnatcasecmp(value, speech_lang_string_table[i]) == 0)
            return lang_value_table[i];
    return 0;
}

void lang_id2value(apr_size_t lang, char *tag)
{
    if (!tag)
        return;
    tag[0] = '\0';
    for (int i = 0; i < SPEECH_LANG_COUNT; i++) {
        if (lang_value_table[i] == lang) {
            apr_cpystrn(tag, speech_lang_string_table[i], SPEECH_LANG_TAG_SIZE);
            return;
        }
    }
}

apr_size_t gender_id2value(mrcp_voice_gender_e gender)
{
    if ((int)gender >= 0 && gender < VOICE_GENDER_COUNT)
        return (apr_size_t)gender;
    return 0;
}

mrcp_voice_gender_e gender_value2id(apr_size_t value)
{
    return value < VOICE_GENDER_COUNT ? (mrcp_voice_gender_e)value : VOICE_GENDER_MALE;
}

apr_size_t age2value(apr_size_t age)
{
    if (age < 3)
        return 0;
    if (age < 12)
        return 1;
    if (age < 18)
        return 2;
    if (age < 60)
        return 3;
    return 4;
}

apr_size_t value2age(apr_size_t value)
{
    static const apr_size_t ages[] = {2, 8, 15, 30, 70};
    return value < 5 ? ages[value] : 30;
}

apt_bool_t mrcp_prosody_volume_copy(const mrcp_prosody_volume_t *src, mrcp_prosody_volume_t *dst)
{
    *dst = *src;
    return TRUE;
}

apt_bool_t mrcp_prosody_rate_copy(const mrcp_prosody_rate_t *src, mrcp_prosody_rate_t *dst)
{
    *dst = *src;
    return TRUE;
}

apt_bool_t mrcp_speech_length_value_copy(const mrcp_speech_length_value_t *src, mrcp_speech_length_value_t *dst,
                                         apr_pool_t *pool)
{
    dst->type = src->type;
    if (src->type != SPEECH_LENGTH_TYPE_TEXT) {
        dst->value.numeric.length = src->value.numeric.length;
        dst->value.numeric.unit = src->value.numeric.unit;
        return TRUE;
    }
    /* The tag is taken up to its end or its length, whichever comes first. */
    const apt_str_t *tag = &src->value.tag;
    apr_size_t length = tag->buf ? strnlen(tag->buf, tag->length) : 0;
    apt_string_assign_n(&dst->value.tag, tag->buf, length, pool);
    return TRUE;
}
