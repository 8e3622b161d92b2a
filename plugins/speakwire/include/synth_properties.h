/*
 * The synthesizer's configuration ("synthplugin.xml", read once at engine
 * open) and the value tables that turn MRCP prosody labels, volumes, rates,
 * languages, genders and ages into the numbers the synthesis service takes.
 */
#ifndef SPEAKWIRE_SYNTH_PROPERTIES_H
#define SPEAKWIRE_SYNTH_PROPERTIES_H

#include "apt.h"
#include "mrcp_synth_header.h"
#include "vendor_specific_parameters.h"

/* The general settings; the token client reads its six token fields. */
typedef struct system_t system_t;
struct system_t {
    const char *init_path;              /* URI of the synthesis service */
    apt_bool_t use_kivtag;              /* declare SSML to the service as "kivtag" */
    apr_size_t max_audio_buffer_size;   /* bytes: a channel's connection is not read while its audio buffer holds more */
    apr_size_t num_init_threads;        /* kept, not used */
    apr_size_t num_max_threads;         /* kept, not used */
    apr_size_t speed_revise;            /* 0 or 1, subtracted from rate levels */
    int token_interval_sec;             /* from "auth_info" only */
    const char *token_server;
    const char *auth_user_name;
    const char *auth_user_password;
    const char *auth_user_domain_name;
    const char *auth_scope_project_name;
};

/* Waveform saving: one raw PCM file per channel. */
typedef struct save_wave_t save_wave_t;
struct save_wave_t {
    apt_bool_t save_waveform;
    const char *save_waveform_dir;      /* NULL until engine open puts the configuration directory */
    int silence_interval;               /* only logged */
    int silence_threshold;              /* only logged */
};

typedef struct synth_properties_t synth_properties_t;
struct synth_properties_t {
    system_t system;
    mrcp_synth_header_t params;         /* the header values every new channel starts from */
    vendor_specific_t vendor_specific;  /* the vendor-specific values every new channel starts from */
    save_wave_t save_wave;
};

/* The plug-in's configuration, filled at engine open and read by everything after it. */
extern synth_properties_t g_properties;

/*
 * Writes the defaults into properties, then reads the file over them. FALSE
 * when the file cannot be opened or parsed or its root is not "pelka".
 * Strings live in pool.
 */
apt_bool_t synth_properties_load(synth_properties_t *properties, const char *file_path, apr_pool_t *pool);

/* Only the defaults, as the load writes them before reading the file. */
void synth_properties_defaults(synth_properties_t *properties, apr_pool_t *pool);

extern const char *const prosody_volume_string_table[PROSODY_VOLUME_COUNT];
extern const apr_size_t prosody_volume_value_table[PROSODY_VOLUME_COUNT];
extern const double prosody_volume_val_table[10];
extern const char *const prosody_rate_string_table[PROSODY_RATE_COUNT];
extern const apr_size_t prosody_rate_value_table[PROSODY_RATE_COUNT];
extern const double prosody_rate_relative_table[10];
#define SPEECH_LANG_COUNT 29
extern const char *const speech_lang_string_table[SPEECH_LANG_COUNT];
extern const apr_size_t lang_value_table[SPEECH_LANG_COUNT];
extern const double precision;

/* Size a buffer given to lang_id2value must have (the longest tag and its end). */
#define SPEECH_LANG_TAG_SIZE 8

apr_size_t prosody_volume_id2value(mrcp_prosody_volume_label_e label);
apr_size_t prosody_volume_vol2value(double volume);
double prosody_volume_value2vol(apr_size_t level);
mrcp_prosody_volume_label_e prosody_volume_value2id(apr_size_t level);
apr_size_t prosody_rate_id2value(mrcp_prosody_rate_label_e label);
apr_size_t prosody_rate_relative2value(double relative);
mrcp_prosody_rate_label_e prosody_rate_value2id(apr_size_t level);
apr_size_t lang_value2id(const char *value);
/* Writes the tag of a language value into tag (SPEECH_LANG_TAG_SIZE bytes); "" when unknown. */
void lang_id2value(apr_size_t lang, char *tag);
apr_size_t gender_id2value(mrcp_voice_gender_e gender);
mrcp_voice_gender_e gender_value2id(apr_size_t value);
apr_size_t age2value(apr_size_t age);
apr_size_t value2age(apr_size_t value);

/* Copies from src into dst: type and value unchanged. TRUE. */
apt_bool_t mrcp_prosody_volume_copy(const mrcp_prosody_volume_t *src, mrcp_prosody_volume_t *dst);
apt_bool_t mrcp_prosody_rate_copy(const mrcp_prosody_rate_t *src, mrcp_prosody_rate_t *dst);
/* Copies from src into dst; a text length's tag is duplicated into pool. TRUE. */
apt_bool_t mrcp_speech_length_value_copy(const mrcp_speech_length_value_t *src, mrcp_speech_length_value_t *dst,
                                         apr_pool_t *pool);

#endif
