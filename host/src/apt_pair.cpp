/* Name/value pair arrays. */
#include "apt_pair.h"

APT_DECLARE(apt_pair_arr_t*) apt_pair_array_create(apr_size_t initial_size, apr_pool_t *pool)
{
	return apr_array_make(pool, (int)initial_size, sizeof(apt_pair_t));
}

APT_DECLARE(apt_pair_arr_t*) apt_pair_array_copy(const apt_pair_arr_t *src, apr_pool_t *pool)
{
	if(!src)
		return NULL;
	apt_pair_arr_t *arr = apr_array_copy(pool, src);
	for(int i = 0; i < arr->nelts; i++) {
		apt_pair_t *pair = &APR_ARRAY_IDX(arr, i, apt_pair_t);
		const apt_pair_t *src_pair = &APR_ARRAY_IDX(src, i, apt_pair_t);
		apt_pair_copy(pair, src_pair, pool);
	}
	return arr;
}

APT_DECLARE(apt_bool_t) apt_pair_array_append(apt_pair_arr_t *arr, const apt_str_t *name, const apt_str_t *value, apr_pool_t *pool)
{
	if(!arr)
		return FALSE;
	apt_pair_t *pair = (apt_pair_t*)apr_array_push(arr);
	apt_pair_init(pair);
	if(name)
		apt_string_copy(&pair->name, name, pool);
	if(value)
		apt_string_copy(&pair->value, value, pool);
	return TRUE;
}

APT_DECLARE(const apt_pair_t*) apt_pair_array_find(const apt_pair_arr_t *arr, const apt_str_t *name)
{
	if(!arr || !name)
		return NULL;
	for(int i = 0; i < arr->nelts; i++) {
		const apt_pair_t *pair = &APR_ARRAY_IDX(arr, i, apt_pair_t);
		if(apt_string_compare(&pair->name, name) == TRUE)
			return pair;
	}
	return NULL;
}

APT_DECLARE(int) apt_pair_array_size_get(const apt_pair_arr_t *arr)
{
	return arr ? arr->nelts : 0;
}

APT_DECLARE(const apt_pair_t*) apt_pair_array_get(const apt_pair_arr_t *arr, int id)
{
	if(!arr || id < 0 || id >= arr->nelts)
		return NULL;
	return &APR_ARRAY_IDX(arr, id, apt_pair_t);
}
