/* Text forms of the typed header values, shared by the generic, recognizer and synthesizer headers. */
#ifndef MRCP_HEADER_VALUES_H
#define MRCP_HEADER_VALUES_H

#include <stddef.h>
#include "mrcp_header_accessor.h"

/* A field name table entry from a literal. */
#define HEADER_NAME(text) {(char*)text, sizeof(text) - 1}

/* How a plain field is stored in its header struct. */
typedef enum {
	HEADER_VALUE_STRING,   /* apt_str_t */
	HEADER_VALUE_SIZE,     /* apr_size_t, decimal */
	HEADER_VALUE_FLOAT,    /* float */
	HEADER_VALUE_BOOL,     /* apt_bool_t, "true" / "false" */
	HEADER_VALUE_CHAR,     /* char */
	HEADER_VALUE_SPECIAL   /* handled by the header's own code */
} header_value_type_e;

typedef struct header_value_def_t header_value_def_t;
struct header_value_def_t {
	header_value_type_e type;
	apr_size_t offset;     /* of the member in the header struct */
};

apt_bool_t header_value_parse(const header_value_def_t *def, void *header, const apt_str_t *value, apr_pool_t *pool);
apt_bool_t header_value_generate(const header_value_def_t *def, const void *header, apt_str_t *value, apr_pool_t *pool);
void header_value_duplicate(const header_value_def_t *def, void *header, const void *src_header, apr_pool_t *pool);

apt_bool_t header_size_parse(const apt_str_t *value, apr_size_t *out);
apt_bool_t header_float_parse(const apt_str_t *value, float *out);
void header_size_generate(apr_size_t value, apt_str_t *out, apr_pool_t *pool);
void header_float_generate(float value, apt_str_t *out, apr_pool_t *pool);
/* Index of the name in the table without regard to case, or count when absent. */
apr_size_t header_name_find(const apt_str_t *names, apr_size_t count, const char *text, apr_size_t length);
/* A completion cause: "NNN name" or just the number; NNN must be below count. */
apt_bool_t header_cause_parse(const apt_str_t *value, apr_size_t count, apr_size_t *out);
void header_cause_generate(apr_size_t cause, const apt_str_t *names, apr_size_t count, apt_str_t *out, apr_pool_t *pool);

#endif
