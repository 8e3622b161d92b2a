#include "vendor_specific_parameters.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <strings.h>

#include <string>

#include "apt_log.h"
#include "apt_pair.h"

const char *const vendor_specific_parameters_string_table[VENDOR_SPECIFIC_COUNT] = {
    "com.quenmar.pitch",
    "com.quenmar.voicedomain",
    "com.quenmar.voicestyle",
    "com.quenmar.codepage",
    "com.quenmar.backaudio",
    "com.quenmar.backaudiovolume",
    "com.quenmar.backaudioflag",
    "com.quenmar.digitmode",
    "com.quenmar.engmode",
    "com.quenmar.tagmode",
    "com.quenmar.puncmode",
};

const s_vendor_specific_func vendor_specific_func[VENDOR_SPECIFIC_COUNT] = {
    {str2val_pitch, val2str_pitch},
    {str2val_voicedomain, val2str_voicedomain},
    {str2val_voicestyle, val2str_voicestyle},
    {str2val_codepage, val2str_codepage},
    {str2val_backaudio, val2str_backaudio},
    {str2val_backaudiovolume, val2str_backaudiovolume},
    {str2val_backaudioflag, val2str_backaudioflag},
    {str2val_digitmode, val2str_digitmode},
    {str2val_engmode, val2str_engmode},
    {str2val_tagmode, val2str_tagmode},
    {str2val_puncmode, val2str_puncmode},
};

const char *const prosody_pitch_string_table[PROSODY_PITCH_COUNT] = {
    "x-low", "low", "medium", "high", "x-high", "default",
};

const apr_size_t prosody_pitch_value_table[PROSODY_PITCH_COUNT] = {0, 3, 5, 7, 9, 5};

namespace {

/* How one numeric parameter is read, checked and printed. */
struct number_rule {
    const char *parse_msg;              /* "%s" takes the refused text */
    apt_log_priority_e not_number_prio;
    apt_log_priority_e range_prio;
    const char *print_msg;              /* "%u" takes the value */
    apt_log_priority_e print_prio;
    apr_size_t min;
    apr_size_t max;
    const apr_size_t *list;             /* accepted values when not NULL; min and max unused */
    size_t list_len;
    bool print_signed;                  /* "%d" instead of "%u" */
};

const apr_size_t codepages[] = {950, 936, 949, 932, 1200, 1252, 65001, 1201};

const number_rule voicedomain_rule = {
    "str2val_voicedomain failed, %s is invalid", APT_PRIO_DEBUG, APT_PRIO_DEBUG,
    "val2str_voicedomain failed, %u is invalid", APT_PRIO_DEBUG, 0, 31, NULL, 0, true};
const number_rule voicestyle_rule = {
    "str2val_voicestyle failed, %s is invalid", APT_PRIO_DEBUG, APT_PRIO_DEBUG,
    "val2str_voicestyle failed, %u is invalid", APT_PRIO_DEBUG, 0, 1, NULL, 0, false};
const number_rule codepage_rule = {
    "str2val_codepage failed, %s is invalid", APT_PRIO_DEBUG, APT_PRIO_DEBUG,
    "val2str_codepage failed, %u is invalid", APT_PRIO_DEBUG, 0, 0, codepages,
    sizeof(codepages) / sizeof(codepages[0]), false};
const number_rule backaudio_rule = {
    "str2val_backaudio failed, %s is invalid", APT_PRIO_DEBUG, APT_PRIO_DEBUG,
    "val2str_backaudio failed, %u is invalid", APT_PRIO_DEBUG, 0, 10000, NULL, 0, false};
const number_rule backaudiovolume_rule = {
    "str2val_backaudiovolume failed, %s is invalid", APT_PRIO_DEBUG, APT_PRIO_DEBUG,
    "val2str_backaudiovolume failed, %u is invalid", APT_PRIO_DEBUG, 0, 100, NULL, 0, false};
const number_rule backaudioflag_rule = {
    "str2val_backaudioflag failed, %s is invalid", APT_PRIO_DEBUG, APT_PRIO_DEBUG,
    "val2str_backaudioflag failed, %u is invalid", APT_PRIO_DEBUG, 0, 1, NULL, 0, false};
const number_rule digitmode_rule = {
    "str2val_digitmode failed, %s is invalid", APT_PRIO_DEBUG, APT_PRIO_ERROR,
    "val2str_digitmode failed, %u is invalid", APT_PRIO_ERROR, 0, 3, NULL, 0, false};
const number_rule engmode_rule = {
    "str2val_engmode failed, %s is invalid", APT_PRIO_ERROR, APT_PRIO_ERROR,
    "val2str_engmode failed, %u is invalid", APT_PRIO_ERROR, 0, 3, NULL, 0, false};
const number_rule tagmode_rule = {
    "str2val_tagmode failed, %s is invalid", APT_PRIO_ERROR, APT_PRIO_ERROR,
    "val2str_tagmode failed, %u is invalid", APT_PRIO_ERROR, 0, 5, NULL, 0, false};
const number_rule puncmode_rule = {
    "str2val_puncmode failed, %s is invalid", APT_PRIO_ERROR, APT_PRIO_ERROR,
    "val2str_puncmode failed, %u is invalid", APT_PRIO_ERROR, 0, 3, NULL, 0, false};

bool in_range(const number_rule &rule, apr_size_t value)
{
    if (rule.list) {
        for (size_t i = 0; i < rule.list_len; i++)
            if (rule.list[i] == value)
                return true;
        return false;
    }
    return value >= rule.min && value <= rule.max;
}

const char *printable(const char *text)
{
    return text ? text : "";
}

/* The whole value is read with overflow detection, so that a number whose low
 * 32 bits happen to lie in the range is refused like any other large one. */
apt_bool_t parse_number(const number_rule &rule, apr_size_t *out, const char *text)
{
    if (!text || !is_number(text)) {
        apt_log(APT_LOG_MARK, rule.not_number_prio, rule.parse_msg, printable(text));
        return FALSE;
    }
    errno = 0;
    unsigned long long value = strtoull(text, NULL, 10);
    if (errno == ERANGE || value > (unsigned long long)(apr_size_t)-1 || !in_range(rule, (apr_size_t)value)) {
        apt_log(APT_LOG_MARK, rule.range_prio, rule.parse_msg, text);
        return FALSE;
    }
    *out = (apr_size_t)value;
    return TRUE;
}

apt_bool_t print_number(const number_rule &rule, apr_size_t value, char *out)
{
    if (!in_range(rule, value)) {
        apt_log(APT_LOG_MARK, rule.print_prio, rule.print_msg, (unsigned)value);
        return FALSE;
    }
    if (rule.print_signed)
        snprintf(out, VENDOR_SPECIFIC_VALUE_SIZE, "%d", (int)value);
    else
        snprintf(out, VENDOR_SPECIFIC_VALUE_SIZE, "%u", (unsigned)value);
    return TRUE;
}

} // namespace

apt_bool_t is_number(const char *text)
{
    if (!text)
        return FALSE;
    for (const char *p = text; *p; p++)
        if (*p < '0' || *p > '9')
            return FALSE;
    return TRUE;
}

synth_pitch_label_e get_pitch_lable(const char *text)
{
    if (!text)
        return PROSODY_PITCH_UNKNOWN;
    for (int i = 0; i < PROSODY_PITCH_COUNT; i++)
        if (strcasecmp(text, prosody_pitch_string_table[i]) == 0)
            return (synth_pitch_label_e)i;
    return PROSODY_PITCH_UNKNOWN;
}

apr_size_t prosody_pitch_id2value(synth_pitch_label_e label)
{
    if ((int)label >= 0 && label < PROSODY_PITCH_COUNT)
        return prosody_pitch_value_table[label];
    return 5;
}

synth_pitch_label_e prosody_pitch_value2id(apr_size_t level)
{
    if (level == 0)
        return PROSODY_PITCH_XLOW;
    if (level <= 3)
        return PROSODY_PITCH_LOW;
    if (level <= 5)
        return PROSODY_PITCH_MEDIUM;
    if (level <= 7)
        return PROSODY_PITCH_HIGH;
    if (level <= 9)
        return PROSODY_PITCH_XHIGH;
    return PROSODY_PITCH_DEFAULT;
}

apt_bool_t str2val_pitch(apr_size_t *out, const char *text)
{
    synth_pitch_label_e label = get_pitch_lable(text);
    if (label == PROSODY_PITCH_UNKNOWN) {
        apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "str2val_pitch failed, %s is invalid", printable(text));
        return FALSE;
    }
    *out = (apr_size_t)label;
    return TRUE;
}

apt_bool_t val2str_pitch(apr_size_t value, char *out)
{
    if (value >= PROSODY_PITCH_COUNT) {
        apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "val2str_pitch failed, %u is invalid", (unsigned)value);
        return FALSE;
    }
    snprintf(out, VENDOR_SPECIFIC_VALUE_SIZE, "%s", prosody_pitch_string_table[value]);
    return TRUE;
}

#define NUMBER_CONVERTERS(name)                                   \
    apt_bool_t str2val_##name(apr_size_t *out, const char *text)  \
    {                                                             \
        return parse_number(name##_rule, out, text);              \
    }                                                             \
    apt_bool_t val2str_##name(apr_size_t value, char *out)        \
    {                                                             \
        return print_number(name##_rule, value, out);             \
    }

NUMBER_CONVERTERS(voicedomain)
NUMBER_CONVERTERS(voicestyle)
NUMBER_CONVERTERS(codepage)
NUMBER_CONVERTERS(backaudio)
NUMBER_CONVERTERS(backaudiovolume)
NUMBER_CONVERTERS(backaudioflag)
NUMBER_CONVERTERS(digitmode)
NUMBER_CONVERTERS(engmode)
NUMBER_CONVERTERS(tagmode)
NUMBER_CONVERTERS(puncmode)

apr_size_t get_vendor_specific_parameters_value(vendor_specific_t *vs, unsigned long index)
{
    switch (index) {
    case VENDOR_SPECIFIC_PITCH: return (apr_size_t)(apr_uint32_t)vs->pitch;
    case VENDOR_SPECIFIC_DOMAIN: return vs->voice_domain;
    case VENDOR_SPECIFIC_STYLE: return vs->voice_style;
    case VENDOR_SPECIFIC_CODEPAGE: return vs->codepage;
    case VENDOR_SPECIFIC_BACKAUDIO: return vs->backaudio;
    case VENDOR_SPECIFIC_BACKAUDIOVOLUME: return vs->backaudio_volume;
    case VENDOR_SPECIFIC_BACKAUDIOFLAG: return vs->backaudio_flag;
    case VENDOR_SPECIFIC_DIGITMODE: return vs->digit_mode;
    case VENDOR_SPECIFIC_ENGMODE: return vs->eng_mode;
    case VENDOR_SPECIFIC_TAGMODE: return vs->tag_mode;
    case VENDOR_SPECIFIC_PUNCMODE: return vs->punc_mode;
    default: return 0;
    }
}

apt_bool_t set_vendor_specific_parameters_value(vendor_specific_t *vs, unsigned long index, unsigned long value)
{
    switch (index) {
    case VENDOR_SPECIFIC_PITCH:
        /* The label is an enumeration: a value beyond its labels is kept as "unknown"
         * rather than as a number the enumeration cannot hold. */
        vs->pitch = (apr_uint32_t)value <= PROSODY_PITCH_UNKNOWN ? (synth_pitch_label_e)(apr_uint32_t)value
                                                                 : PROSODY_PITCH_UNKNOWN;
        break;
    case VENDOR_SPECIFIC_DOMAIN: vs->voice_domain = value; break;
    case VENDOR_SPECIFIC_STYLE: vs->voice_style = value; break;
    case VENDOR_SPECIFIC_CODEPAGE: vs->codepage = value; break;
    case VENDOR_SPECIFIC_BACKAUDIO: vs->backaudio = value; break;
    case VENDOR_SPECIFIC_BACKAUDIOVOLUME: vs->backaudio_volume = value; break;
    case VENDOR_SPECIFIC_BACKAUDIOFLAG: vs->backaudio_flag = value; break;
    case VENDOR_SPECIFIC_DIGITMODE: vs->digit_mode = value; break;
    case VENDOR_SPECIFIC_ENGMODE: vs->eng_mode = value; break;
    case VENDOR_SPECIFIC_TAGMODE: vs->tag_mode = value; break;
    case VENDOR_SPECIFIC_PUNCMODE: vs->punc_mode = value; break;
    default: return FALSE;
    }
    return TRUE;
}

apt_bool_t set_vendor_specific_parameters(vendor_specific_t *vs, apr_array_header_t *pairs)
{
    if (!vs || !pairs)
        return TRUE;
    for (unsigned long i = 0; i < VENDOR_SPECIFIC_COUNT; i++) {
        apt_str_t name;
        apt_string_set(&name, vendor_specific_parameters_string_table[i]);
        const apt_pair_t *pair = apt_pair_array_find(pairs, &name);
        if (!pair)
            continue;
        /* The pair's value is a counted string: make it a C string of its own. */
        std::string text = pair->value.buf ? std::string(pair->value.buf, pair->value.length) : std::string();
        apr_size_t value = get_vendor_specific_parameters_value(vs, i);
        if (!vendor_specific_func[i].fn_str2val(&value, text.c_str())) {
            apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "set_vendor_specific_parameters failed, %s=%u",
                    vendor_specific_parameters_string_table[i], (unsigned)value);
            return FALSE;
        }
        set_vendor_specific_parameters_value(vs, i, value);
    }
    return TRUE;
}

apt_bool_t get_vendor_specific_parameters(vendor_specific_t *vs, apr_array_header_t *wanted,
                                          apr_array_header_t **out, apr_pool_t *pool)
{
    apr_array_header_t *pairs = apt_pair_array_create(1, pool);
    *out = pairs;
    for (unsigned long i = 0; i < VENDOR_SPECIFIC_COUNT; i++) {
        apt_str_t name;
        apt_string_set(&name, vendor_specific_parameters_string_table[i]);
        if (wanted && !apt_pair_array_find(wanted, &name))
            continue;
        char buffer[VENDOR_SPECIFIC_VALUE_SIZE] = {0};
        if (!vendor_specific_func[i].fn_val2str(get_vendor_specific_parameters_value(vs, i), buffer))
            continue;
        apt_str_t value;
        apt_string_set(&value, buffer);
        apt_pair_array_append(pairs, &name, &value, pool);
    }
    return TRUE;
}
