/*
 * The eleven "com.quenmar." voice settings that clients pass as
 * Vendor-Specific-Params: their names, the record of their values that the
 * configuration and every channel carry, and the converters between header
 * text and numbers.
 */
#ifndef SPEAKWIRE_VENDOR_SPECIFIC_PARAMETERS_H
#define SPEAKWIRE_VENDOR_SPECIFIC_PARAMETERS_H

#include <apr_tables.h>

#include "apt.h"
#include "mrcp_synth_header.h"

/*
 * The labels of com.quenmar.pitch. A server whose synthesizer header carries a prosody pitch
 * (SPEAKWIRE_SERVER_HAS_PITCH, found when the build is configured) supplies them; a server without
 * one does not, and then the plug-in has the same labels of its own.
 */
#ifdef SPEAKWIRE_SERVER_HAS_PITCH
typedef mrcp_prosody_pitch_label_e synth_pitch_label_e;
#else
typedef enum {
    PROSODY_PITCH_XLOW,
    PROSODY_PITCH_LOW,
    PROSODY_PITCH_MEDIUM,
    PROSODY_PITCH_HIGH,
    PROSODY_PITCH_XHIGH,
    PROSODY_PITCH_DEFAULT,
    PROSODY_PITCH_COUNT,
    PROSODY_PITCH_UNKNOWN = PROSODY_PITCH_COUNT
} synth_pitch_label_e;
#endif

/* Index of every table of this module. */
typedef enum {
    VENDOR_SPECIFIC_PITCH,
    VENDOR_SPECIFIC_DOMAIN,
    VENDOR_SPECIFIC_STYLE,
    VENDOR_SPECIFIC_CODEPAGE,
    VENDOR_SPECIFIC_BACKAUDIO,
    VENDOR_SPECIFIC_BACKAUDIOVOLUME,
    VENDOR_SPECIFIC_BACKAUDIOFLAG,
    VENDOR_SPECIFIC_DIGITMODE,
    VENDOR_SPECIFIC_ENGMODE,
    VENDOR_SPECIFIC_TAGMODE,
    VENDOR_SPECIFIC_PUNCMODE,
    VENDOR_SPECIFIC_COUNT,
    VENDOR_SPECIFIC_UNKNOWN = VENDOR_SPECIFIC_COUNT
} vendor_specific_parameters_e;

/* The values of one configuration or one channel. */
typedef struct vendor_specific_t vendor_specific_t;
struct vendor_specific_t {
    synth_pitch_label_e pitch;          /* 0..5, 6 for an unknown label */
    apr_size_t voice_domain;
    apr_size_t voice_style;
    apr_size_t codepage;
    apr_size_t backaudio;
    apr_size_t backaudio_volume;
    apr_size_t backaudio_flag;
    apr_size_t digit_mode;
    apr_size_t eng_mode;
    apr_size_t tag_mode;
    apr_size_t punc_mode;
};

/* Size of the output buffer every VAL2STR writes into. */
#define VENDOR_SPECIFIC_VALUE_SIZE 256

typedef apt_bool_t (*STR2VAL)(apr_size_t *out, const char *text);
typedef apt_bool_t (*VAL2STR)(apr_size_t value, char *out);

typedef struct s_vendor_specific_func s_vendor_specific_func;
struct s_vendor_specific_func {
    STR2VAL fn_str2val;   /* header text to number, FALSE when refused */
    VAL2STR fn_val2str;   /* number to header text, FALSE when out of range */
};

extern const char *const vendor_specific_parameters_string_table[VENDOR_SPECIFIC_COUNT];
extern const s_vendor_specific_func vendor_specific_func[VENDOR_SPECIFIC_COUNT];
extern const char *const prosody_pitch_string_table[PROSODY_PITCH_COUNT];
extern const apr_size_t prosody_pitch_value_table[PROSODY_PITCH_COUNT];

/*
 * Applies the request's pairs to vs in table order; stops at the first value
 * that is refused and returns FALSE (lower indexes stay applied).
 */
apt_bool_t set_vendor_specific_parameters(vendor_specific_t *vs, apr_array_header_t *pairs);

/*
 * Creates *out in pool and fills it with the printed values, in table order;
 * only the names in 'wanted' when it is not NULL. Always TRUE.
 */
apt_bool_t get_vendor_specific_parameters(vendor_specific_t *vs, apr_array_header_t *wanted,
                                          apr_array_header_t **out, apr_pool_t *pool);

/* The field of that index (pitch as its label value); 0 above index 10. */
apr_size_t get_vendor_specific_parameters_value(vendor_specific_t *vs, unsigned long index);
/* Stores value into the field of that index; an index above 10 changes nothing. */
apt_bool_t set_vendor_specific_parameters_value(vendor_specific_t *vs, unsigned long index, unsigned long value);

/* TRUE for "" and for text made only of ASCII digits. */
apt_bool_t is_number(const char *text);

/* The pitch label whose text equals 'text' in any case; PROSODY_PITCH_UNKNOWN for none or NULL. */
synth_pitch_label_e get_pitch_lable(const char *text);
/* The service's pitch level (0..9) of a label; 5 for an unknown one. */
apr_size_t prosody_pitch_id2value(synth_pitch_label_e label);
/* The label of a service pitch level. */
synth_pitch_label_e prosody_pitch_value2id(apr_size_t level);

apt_bool_t str2val_pitch(apr_size_t *out, const char *text);
apt_bool_t val2str_pitch(apr_size_t value, char *out);
apt_bool_t str2val_voicedomain(apr_size_t *out, const char *text);
apt_bool_t val2str_voicedomain(apr_size_t value, char *out);
apt_bool_t str2val_voicestyle(apr_size_t *out, const char *text);
apt_bool_t val2str_voicestyle(apr_size_t value, char *out);
apt_bool_t str2val_codepage(apr_size_t *out, const char *text);
apt_bool_t val2str_codepage(apr_size_t value, char *out);
apt_bool_t str2val_backaudio(apr_size_t *out, const char *text);
apt_bool_t val2str_backaudio(apr_size_t value, char *out);
apt_bool_t str2val_backaudiovolume(apr_size_t *out, const char *text);
apt_bool_t val2str_backaudiovolume(apr_size_t value, char *out);
apt_bool_t str2val_backaudioflag(apr_size_t *out, const char *text);
apt_bool_t val2str_backaudioflag(apr_size_t value, char *out);
apt_bool_t str2val_digitmode(apr_size_t *out, const char *text);
apt_bool_t val2str_digitmode(apr_size_t value, char *out);
apt_bool_t str2val_engmode(apr_size_t *out, const char *text);
apt_bool_t val2str_engmode(apr_size_t value, char *out);
apt_bool_t str2val_tagmode(apr_size_t *out, const char *text);
apt_bool_t val2str_tagmode(apr_size_t value, char *out);
apt_bool_t str2val_puncmode(apr_size_t *out, const char *text);
apt_bool_t val2str_puncmode(apr_size_t value, char *out);

#endif
