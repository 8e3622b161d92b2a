/* Counted strings. An empty string has buf NULL and length 0; copies are NUL-terminated. */
#ifndef APT_STRING_H
#define APT_STRING_H

#include <string.h>
#include "apt.h"

APT_BEGIN_EXTERN_C

#define APT_EMPTY_STRING ""

typedef struct apt_str_t apt_str_t;
struct apt_str_t {
	char *buf;          /* text, NUL-terminated when made by the helpers below */
	apr_size_t length;  /* bytes, without the terminator */
};

static APR_INLINE void apt_string_reset(apt_str_t *str)
{
	str->buf = NULL;
	str->length = 0;
}

static APR_INLINE const char* apt_string_buffer_get(const apt_str_t *str)
{
	return str->buf ? str->buf : APT_EMPTY_STRING;
}

static APR_INLINE apr_size_t apt_string_length_get(const apt_str_t *str)
{
	return str->length;
}

static APR_INLINE apt_bool_t apt_string_is_empty(const apt_str_t *str)
{
	return (!str->buf || !str->length) ? TRUE : FALSE;
}

/* Points at src without copying. */
static APR_INLINE void apt_string_set(apt_str_t *str, const char *src)
{
	str->buf = (char*)src;
	str->length = src ? strlen(src) : 0;
}

static APR_INLINE void apt_string_assign(apt_str_t *str, const char *src, apr_pool_t *pool)
{
	str->buf = NULL;
	str->length = src ? strlen(src) : 0;
	if(str->length)
		str->buf = apr_pstrmemdup(pool, src, str->length);
}

static APR_INLINE void apt_string_assign_n(apt_str_t *str, const char *src, apr_size_t length, apr_pool_t *pool)
{
	str->buf = NULL;
	str->length = length;
	if(str->length)
		str->buf = apr_pstrmemdup(pool, src, str->length);
}

static APR_INLINE void apt_string_copy(apt_str_t *str, const apt_str_t *src_str, apr_pool_t *pool)
{
	str->buf = NULL;
	str->length = src_str->length;
	if(str->length)
		str->buf = apr_pstrmemdup(pool, src_str->buf, src_str->length);
}

/* Same length and equal without regard to case; two empty strings do not match. */
static APR_INLINE apt_bool_t apt_string_compare(const apt_str_t *str1, const apt_str_t *str2)
{
	if(str1->length != str2->length || !str1->length)
		return FALSE;
	return (strncasecmp(str1->buf, str2->buf, str1->length) == 0) ? TRUE : FALSE;
}

/* As apt_string_compare, but two empty strings match. */
static APR_INLINE apt_bool_t apt_strings_compare(const apt_str_t *str1, const apt_str_t *str2)
{
	if(str1->length != str2->length)
		return FALSE;
	if(!str1->length)
		return TRUE;
	return (strncasecmp(str1->buf, str2->buf, str1->length) == 0) ? TRUE : FALSE;
}

APT_END_EXTERN_C

#endif
