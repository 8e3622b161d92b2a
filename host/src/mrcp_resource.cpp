/* The two resources this server offers: their names, methods, events and headers. */
#include "mrcp_resource.h"
#include "mrcp_recog_resource.h"
#include "mrcp_recog_header.h"
#include "mrcp_synth_resource.h"
#include "mrcp_synth_header.h"
#include "mrcp_header_values.h"

static const apt_str_t recog_method_names[RECOGNIZER_METHOD_COUNT] = {
	HEADER_NAME("SET-PARAMS"),
	HEADER_NAME("GET-PARAMS"),
	HEADER_NAME("DEFINE-GRAMMAR"),
	HEADER_NAME("RECOGNIZE"),
	HEADER_NAME("INTERPRET"),
	HEADER_NAME("GET-RESULT"),
	HEADER_NAME("START-INPUT-TIMERS"),
	HEADER_NAME("STOP"),
	HEADER_NAME("START-PHRASE-ENROLLMENT"),
	HEADER_NAME("ENROLLMENT-ROLLBACK"),
	HEADER_NAME("END-PHRASE-ENROLLMENT"),
	HEADER_NAME("MODIFY-PHRASE"),
	HEADER_NAME("DELETE-PHRASE")
};

static const apt_str_t recog_event_names[RECOGNIZER_EVENT_COUNT] = {
	HEADER_NAME("START-OF-INPUT"),
	HEADER_NAME("RECOGNITION-COMPLETE"),
	HEADER_NAME("INTERPRETATION-COMPLETE")
};

static const apt_str_t synth_method_names[SYNTHESIZER_METHOD_COUNT] = {
	HEADER_NAME("SET-PARAMS"),
	HEADER_NAME("GET-PARAMS"),
	HEADER_NAME("SPEAK"),
	HEADER_NAME("STOP"),
	HEADER_NAME("PAUSE"),
	HEADER_NAME("RESUME"),
	HEADER_NAME("BARGE-IN-OCCURRED"),
	HEADER_NAME("CONTROL"),
	HEADER_NAME("DEFINE-LEXICON")
};

static const apt_str_t synth_event_names[SYNTHESIZER_EVENT_COUNT] = {
	HEADER_NAME("SPEECH-MARKER"),
	HEADER_NAME("SPEAK-COMPLETE")
};

static const mrcp_resource_t recog_resource = {
	MRCP_RECOGNIZER_RESOURCE,
	HEADER_NAME("speechrecog"),
	recog_method_names,
	RECOGNIZER_METHOD_COUNT,
	recog_event_names,
	RECOGNIZER_EVENT_COUNT,
	mrcp_recog_header_vtable_get
};

static const mrcp_resource_t synth_resource = {
	MRCP_SYNTHESIZER_RESOURCE,
	HEADER_NAME("speechsynth"),
	synth_method_names,
	SYNTHESIZER_METHOD_COUNT,
	synth_event_names,
	SYNTHESIZER_EVENT_COUNT,
	mrcp_synth_header_vtable_get
};

MRCP_DECLARE(const mrcp_resource_t*) mrcp_resource_get(mrcp_resource_id resource_id)
{
	switch(resource_id) {
		case MRCP_RECOGNIZER_RESOURCE:
			return &recog_resource;
		case MRCP_SYNTHESIZER_RESOURCE:
			return &synth_resource;
		default:
			break;
	}
	return NULL;
}

static mrcp_resource_t* resource_copy(const mrcp_resource_t *resource, apr_pool_t *pool)
{
	mrcp_resource_t *copy = (mrcp_resource_t*)apr_palloc(pool, sizeof(mrcp_resource_t));
	*copy = *resource;
	return copy;
}

MRCP_DECLARE(mrcp_resource_t*) mrcp_recog_resource_create(apr_pool_t *pool)
{
	return resource_copy(&recog_resource, pool);
}

MRCP_DECLARE(mrcp_resource_t*) mrcp_synth_resource_create(apr_pool_t *pool)
{
	return resource_copy(&synth_resource, pool);
}
