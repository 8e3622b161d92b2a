/* Name/value pairs, as carried by Vendor-Specific-Params. */
#ifndef APT_PAIR_H
#define APT_PAIR_H

#include <apr_tables.h>
#include "apt_string.h"

APT_BEGIN_EXTERN_C

typedef struct apt_pair_t apt_pair_t;
struct apt_pair_t {
	apt_str_t name;
	apt_str_t value;
};

/* An APR array whose elements are apt_pair_t. */
typedef apr_array_header_t apt_pair_arr_t;

static APR_INLINE void apt_pair_init(apt_pair_t *pair)
{
	apt_string_reset(&pair->name);
	apt_string_reset(&pair->value);
}

static APR_INLINE void apt_pair_copy(apt_pair_t *pair, const apt_pair_t *src_pair, apr_pool_t *pool)
{
	apt_string_copy(&pair->name, &src_pair->name, pool);
	apt_string_copy(&pair->value, &src_pair->value, pool);
}

APT_DECLARE(apt_pair_arr_t*) apt_pair_array_create(apr_size_t initial_size, apr_pool_t *pool);
APT_DECLARE(apt_pair_arr_t*) apt_pair_array_copy(const apt_pair_arr_t *src, apr_pool_t *pool);
/* Copies name and value (either may be NULL). */
APT_DECLARE(apt_bool_t) apt_pair_array_append(apt_pair_arr_t *arr, const apt_str_t *name, const apt_str_t *value, apr_pool_t *pool);
/* First pair whose name matches without regard to case; an empty name never matches. */
APT_DECLARE(const apt_pair_t*) apt_pair_array_find(const apt_pair_arr_t *arr, const apt_str_t *name);
APT_DECLARE(int) apt_pair_array_size_get(const apt_pair_arr_t *arr);
APT_DECLARE(const apt_pair_t*) apt_pair_array_get(const apt_pair_arr_t *arr, int id);

APT_END_EXTERN_C

#endif
