/* Parsing and printing of the typed header values. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <errno.h>
#include "mrcp_header_values.h"

/* The value as a NUL-terminated text without surrounding blanks. */
static const char* trimmed_text(const apt_str_t *value, char *buf, apr_size_t buf_size)
{
	const char *begin = value->buf ? value->buf : "";
	const char *end = begin + value->length;
	while(begin < end && (*begin == ' ' || *begin == '\t'))
		begin++;
	while(end > begin && (end[-1] == ' ' || end[-1] == '\t' || end[-1] == '\r' || end[-1] == '\n'))
		end--;
	apr_size_t length = (apr_size_t)(end - begin);
	if(length >= buf_size)
		return NULL;
	memcpy(buf, begin, length);
	buf[length] = '\0';
	return buf;
}

apt_bool_t header_size_parse(const apt_str_t *value, apr_size_t *out)
{
	char buf[32];
	const char *text = trimmed_text(value, buf, sizeof(buf));
	if(!text || *text < '0' || *text > '9')
		return FALSE;
	char *end = NULL;
	errno = 0;
	unsigned long long number = strtoull(text, &end, 10);
	if(errno || *end)
		return FALSE;
	*out = (apr_size_t)number;
	return TRUE;
}

apt_bool_t header_float_parse(const apt_str_t *value, float *out)
{
	char buf[64];
	const char *text = trimmed_text(value, buf, sizeof(buf));
	if(!text || !*text)
		return FALSE;
	char *end = NULL;
	float number = strtof(text, &end);
	if(*end)
		return FALSE;
	*out = number;
	return TRUE;
}

void header_size_generate(apr_size_t value, apt_str_t *out, apr_pool_t *pool)
{
	out->buf = apr_psprintf(pool, "%" APR_SIZE_T_FMT, value);
	out->length = strlen(out->buf);
}

/* Shortest plain form with at least one decimal: 0.5, 1.0, 0.25. */
void header_float_generate(float value, apt_str_t *out, apr_pool_t *pool)
{
	char *text = apr_psprintf(pool, "%f", (double)value);
	apr_size_t length = strlen(text);
	char *dot = strchr(text, '.');
	if(dot) {
		while(length > (apr_size_t)(dot - text) + 2 && text[length - 1] == '0')
			text[--length] = '\0';
	}
	out->buf = text;
	out->length = length;
}

apr_size_t header_name_find(const apt_str_t *names, apr_size_t count, const char *text, apr_size_t length)
{
	if(!text || !length)
		return count;
	for(apr_size_t i = 0; i < count; i++) {
		if(names[i].length == length && strncasecmp(names[i].buf, text, length) == 0)
			return i;
	}
	return count;
}

apt_bool_t header_cause_parse(const apt_str_t *value, apr_size_t count, apr_size_t *out)
{
	char buf[128];
	const char *text = trimmed_text(value, buf, sizeof(buf));
	if(!text || *text < '0' || *text > '9')
		return FALSE;
	char *end = NULL;
	unsigned long number = strtoul(text, &end, 10);
	if(*end && *end != ' ')
		return FALSE;
	if(number >= count)
		return FALSE;
	*out = number;
	return TRUE;
}

void header_cause_generate(apr_size_t cause, const apt_str_t *names, apr_size_t count, apt_str_t *out, apr_pool_t *pool)
{
	if(cause < count)
		out->buf = apr_psprintf(pool, "%03d %s", (int)cause, names[cause].buf);
	else
		out->buf = apr_psprintf(pool, "%03d", (int)cause);
	out->length = strlen(out->buf);
}

apt_bool_t header_value_parse(const header_value_def_t *def, void *header, const apt_str_t *value, apr_pool_t *pool)
{
	char *member = (char*)header + def->offset;
	switch(def->type) {
		case HEADER_VALUE_STRING: {
			apt_str_t *str = (apt_str_t*)member;
			/* Texts keep their bytes; only the surrounding blanks go. */
			const char *begin = value->buf ? value->buf : "";
			const char *end = begin + value->length;
			while(begin < end && (*begin == ' ' || *begin == '\t'))
				begin++;
			while(end > begin && (end[-1] == ' ' || end[-1] == '\t' || end[-1] == '\r' || end[-1] == '\n'))
				end--;
			apt_string_assign_n(str, begin, (apr_size_t)(end - begin), pool);
			return TRUE;
		}
		case HEADER_VALUE_SIZE:
			return header_size_parse(value, (apr_size_t*)member);
		case HEADER_VALUE_FLOAT:
			return header_float_parse(value, (float*)member);
		case HEADER_VALUE_BOOL: {
			char buf[16];
			const char *text = trimmed_text(value, buf, sizeof(buf));
			if(!text)
				return FALSE;
			if(strcasecmp(text, "true") == 0)
				*(apt_bool_t*)member = TRUE;
			else if(strcasecmp(text, "false") == 0)
				*(apt_bool_t*)member = FALSE;
			else
				return FALSE;
			return TRUE;
		}
		case HEADER_VALUE_CHAR: {
			char buf[8];
			const char *text = trimmed_text(value, buf, sizeof(buf));
			if(!text || strlen(text) != 1)
				return FALSE;
			*member = text[0];
			return TRUE;
		}
		case HEADER_VALUE_SPECIAL:
			break;
	}
	return FALSE;
}

apt_bool_t header_value_generate(const header_value_def_t *def, const void *header, apt_str_t *value, apr_pool_t *pool)
{
	const char *member = (const char*)header + def->offset;
	switch(def->type) {
		case HEADER_VALUE_STRING:
			apt_string_copy(value, (const apt_str_t*)member, pool);
			return TRUE;
		case HEADER_VALUE_SIZE:
			header_size_generate(*(const apr_size_t*)member, value, pool);
			return TRUE;
		case HEADER_VALUE_FLOAT:
			header_float_generate(*(const float*)member, value, pool);
			return TRUE;
		case HEADER_VALUE_BOOL:
			apt_string_assign(value, *(const apt_bool_t*)member ? "true" : "false", pool);
			return TRUE;
		case HEADER_VALUE_CHAR:
			apt_string_assign_n(value, member, *member ? 1 : 0, pool);
			return TRUE;
		case HEADER_VALUE_SPECIAL:
			break;
	}
	return FALSE;
}

void header_value_duplicate(const header_value_def_t *def, void *header, const void *src_header, apr_pool_t *pool)
{
	char *member = (char*)header + def->offset;
	const char *src = (const char*)src_header + def->offset;
	switch(def->type) {
		case HEADER_VALUE_STRING:
			apt_string_copy((apt_str_t*)member, (const apt_str_t*)src, pool);
			break;
		case HEADER_VALUE_SIZE:
			*(apr_size_t*)member = *(const apr_size_t*)src;
			break;
		case HEADER_VALUE_FLOAT:
			*(float*)member = *(const float*)src;
			break;
		case HEADER_VALUE_BOOL:
			*(apt_bool_t*)member = *(const apt_bool_t*)src;
			break;
		case HEADER_VALUE_CHAR:
			*member = *src;
			break;
		case HEADER_VALUE_SPECIAL:
			break;
	}
}
