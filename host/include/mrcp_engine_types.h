/* Engines and engine channels: the plug-in's method tables and the server's event tables. */
#ifndef MRCP_ENGINE_TYPES_H
#define MRCP_ENGINE_TYPES_H

#include <apr_tables.h>
#include "mrcp_state_machine.h"
#include "mpf_types.h"
#include "apt_string.h"
#include "apt_dir_layout.h"

APT_BEGIN_EXTERN_C

typedef struct mrcp_engine_t mrcp_engine_t;
typedef struct mrcp_engine_config_t mrcp_engine_config_t;
typedef struct mrcp_engine_method_vtable_t mrcp_engine_method_vtable_t;
typedef struct mrcp_engine_event_vtable_t mrcp_engine_event_vtable_t;
typedef struct mrcp_engine_channel_t mrcp_engine_channel_t;
typedef struct mrcp_engine_channel_method_vtable_t mrcp_engine_channel_method_vtable_t;
typedef struct mrcp_engine_channel_event_vtable_t mrcp_engine_channel_event_vtable_t;

/* Called by the server; must return at once and answer later through the event table. */
struct mrcp_engine_channel_method_vtable_t {
	apt_bool_t (*destroy)(mrcp_engine_channel_t *channel);
	apt_bool_t (*open)(mrcp_engine_channel_t *channel);
	apt_bool_t (*close)(mrcp_engine_channel_t *channel);
	apt_bool_t (*process_request)(mrcp_engine_channel_t *channel, mrcp_message_t *request);
};

struct mrcp_engine_channel_event_vtable_t {
	apt_bool_t (*on_open)(mrcp_engine_channel_t *channel, apt_bool_t status);
	apt_bool_t (*on_close)(mrcp_engine_channel_t *channel);
	apt_bool_t (*on_message)(mrcp_engine_channel_t *channel, mrcp_message_t *message);
};

struct mrcp_engine_channel_t {
	const mrcp_engine_channel_method_vtable_t *method_vtable;
	void *method_obj;                                  /* the plug-in's channel record */
	const mrcp_engine_channel_event_vtable_t *event_vtable;
	void *event_obj;
	mpf_termination_t *termination;
	mrcp_engine_t *engine;
	apt_str_t id;                                      /* set at create by this server */
	mrcp_version_e mrcp_version;
	apt_bool_t is_open;                                /* TRUE once the plug-in answered open with TRUE */
	apr_pool_t *pool;
};

struct mrcp_engine_method_vtable_t {
	apt_bool_t (*destroy)(mrcp_engine_t *engine);
	apt_bool_t (*open)(mrcp_engine_t *engine);
	apt_bool_t (*close)(mrcp_engine_t *engine);
	mrcp_engine_channel_t* (*create_channel)(mrcp_engine_t *engine, apr_pool_t *pool);
};

struct mrcp_engine_event_vtable_t {
	apt_bool_t (*on_open)(mrcp_engine_t *engine, apt_bool_t status);
	apt_bool_t (*on_close)(mrcp_engine_t *engine);
};

struct mrcp_engine_config_t {
	apr_size_t max_channel_count;
	apr_table_t *params;
};

struct mrcp_engine_t {
	const char *id;
	mrcp_resource_id resource_id;
	void *obj;                                         /* the plug-in's engine record */
	const mrcp_engine_method_vtable_t *method_vtable;
	const mrcp_engine_event_vtable_t *event_vtable;
	void *event_obj;
	const mpf_codec_manager_t *codec_manager;
	const apt_dir_layout_t *dir_layout;
	mrcp_engine_config_t *config;
	apr_size_t cur_channel_count;
	apt_bool_t is_open;
	apr_pool_t *pool;
	mrcp_state_machine_t* (*create_state_machine)(void *obj, mrcp_version_e version, apr_pool_t *pool);
};

APT_END_EXTERN_C

#endif
