/*
 * The recognizer's configuration: the "unimrcprecog.xml" file of the server's
 * configuration directory, read once at engine open into g_properties.
 */
#ifndef HARKWIRE_RECOG_PROPERTIES_H
#define HARKWIRE_RECOG_PROPERTIES_H

#include <apr_pools.h>
#include <apr_xml.h>

#include "apt.h"
#include "mrcp_recog_header.h"

/* Waveform saving of one "save-waveform" or "save-navi-waveform" element. */
typedef struct save_wave_t save_wave_t;
struct save_wave_t {
    int save_waveform;   /* 0 off; 1 record and finish at channel close; other values record only */
    const char* dir;     /* directory of the files; NULL means the server's data directory */
};

/*
 * The whole recognizer configuration. The token client reads it as its
 * system_t (token_interval_sec and the five token texts).
 * Written only while the engine opens, read by every thread afterwards.
 */
typedef struct system_t system_t;
struct system_t {
    const char* init_path;                  /* URL of the recognition service */
    apr_size_t capability_count;            /* child elements of "system" */
    void* cap_info;                         /* 16 bytes per counted capability; unused */
    apt_bool_t use_freetalk;                /* unused */
    apt_bool_t use_keywordspot;             /* unused */
    long result_byte;                       /* handed to continuous rule documents */
    apt_bool_t stop_response_asynchronous;  /* which STOP delivery the media thread takes */
    int k_frame_count;                      /* unused */
    long task_timeout_multiplier;           /* unused */
    long param_priority;                    /* 1: configured timeouts override the grammar's */
    int token_interval_sec;                 /* token fetch interval in seconds */
    const char* token_server;               /* identity endpoint URL */
    const char* auth_user_name;
    const char* auth_user_password;
    const char* auth_user_domain_name;
    const char* auth_scope_project_name;
    mrcp_recog_header_t params;             /* header values every new channel starts from */
    const char* vocabulary;                 /* "vocabulary_id" of START, NULL when not configured */
    save_wave_t save_wave;                  /* "save-waveform" */
    save_wave_t save_navi_wave;             /* "save-navi-waveform" */
    const char* result_format;              /* meaning template of the NLSML results */
    apt_bool_t if_channel_id;               /* NLSML results carry the channel id */
};

/* The process-wide configuration of this plug-in. */
extern system_t g_properties;

/* File name of the configuration in the server's configuration directory. */
#define RECOG_PROPERTIES_FILE_NAME "unimrcprecog.xml"

/*
 * Sets the defaults, then overwrites what the file at 'path' gives. A missing,
 * unreadable or foreign file is logged and leaves the defaults: always TRUE.
 * Texts are copied into 'pool'.
 */
apt_bool_t recog_properties_load(system_t* properties, const char* path, apr_pool_t* pool);

/* The built-in defaults of the recognizer header values. */
void recog_params_default(mrcp_recog_header_t* params);

/* Reads the attributes of a "params" element; always TRUE. */
apt_bool_t params_properties_load(mrcp_recog_header_t* params, const apr_xml_elem* elem, apr_pool_t* pool);

/* Reads "enable" and "dir" of a waveform-saving element; always TRUE. */
apt_bool_t save_waveform_properties_load(save_wave_t* wave, const apr_xml_elem* elem, apr_pool_t* pool);

/* TRUE exactly when the value is "true" in any case. */
apt_bool_t attr_bool_get(const apr_xml_attr* attr);

/* Reads the token settings of an "auth_info" element or of one of its children; always TRUE.
 * Part of the cloud access code that both plug-ins share. */
apt_bool_t authinfo_properties_load(system_t* system, const apr_xml_elem* elem, apr_pool_t* pool);

#endif /* HARKWIRE_RECOG_PROPERTIES_H */
