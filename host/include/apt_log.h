/* Logging through the server's logger. */
#ifndef APT_LOG_H
#define APT_LOG_H

#include <stdarg.h>
#include "apt.h"

APT_BEGIN_EXTERN_C

#define APT_PTR_FMT       "0x%pp"
#define APT_SID_FMT       "<%s>"
#define APT_SIDRES_FMT    "<%s@%s>"
#define APT_PTRSID_FMT    APT_PTR_FMT " " APT_SID_FMT
#define APT_NAMESID_FMT   "%s " APT_SID_FMT
#define APT_NAMESIDRES_FMT "%s " APT_SIDRES_FMT

typedef enum {
	APT_PRIO_EMERGENCY,
	APT_PRIO_ALERT,
	APT_PRIO_CRITICAL,
	APT_PRIO_ERROR,
	APT_PRIO_WARNING,
	APT_PRIO_NOTICE,
	APT_PRIO_INFO,
	APT_PRIO_DEBUG,
	APT_PRIO_COUNT
} apt_log_priority_e;

typedef enum {
	APT_LOG_OUTPUT_NONE    = 0x00,
	APT_LOG_OUTPUT_CONSOLE = 0x01,
	APT_LOG_OUTPUT_FILE    = 0x02
} apt_log_output_e;

typedef enum {
	APT_LOG_MASKING_NONE,
	APT_LOG_MASKING_COMPLETE,
	APT_LOG_MASKING_ENCRYPTED
} apt_log_masking_e;

typedef struct apt_logger_t apt_logger_t;
typedef struct apt_log_source_t apt_log_source_t;

/* The default source every record goes through unless a plug-in names its own. */
extern apt_log_source_t def_log_source;

#define APT_LOG_MARK_DECLARE(LOG_SOURCE) LOG_SOURCE, __FILE__, __LINE__
#define APT_LOG_MARK APT_LOG_MARK_DECLARE(&def_log_source)

/* Receives every record that passes the priority filter (the host's capture). */
typedef apt_bool_t (*apt_log_ext_handler_f)(const char *file, int line, const char *obj,
                                             apt_log_priority_e priority, const char *format, va_list arg_ptr);

APT_DECLARE(apt_bool_t) apt_log_instance_create(apt_log_output_e mode, apt_log_priority_e priority, apr_pool_t *pool);
APT_DECLARE(apt_bool_t) apt_log_instance_destroy(void);
APT_DECLARE(apt_logger_t*) apt_log_instance_get(void);
/* FALSE, and no change, when a logger is already set. */
APT_DECLARE(apt_bool_t) apt_log_instance_set(apt_logger_t *logger);
APT_DECLARE(apt_bool_t) apt_log_priority_set(apt_log_priority_e priority);
APT_DECLARE(apt_bool_t) apt_log_output_mode_set(apt_log_output_e mode);
APT_DECLARE(apt_bool_t) apt_log_ext_handler_set(apt_log_ext_handler_f handler);

/* Copies *log_source into def_log_source. A stock server returns nothing. */
#if MRCP_SERVER_API_STOCK
APT_DECLARE(void) apt_def_log_source_set(apt_log_source_t *log_source);
#else
APT_DECLARE(apt_bool_t) apt_def_log_source_set(apt_log_source_t *log_source);
#endif
APT_DECLARE(apt_bool_t) apt_log_source_assign(const char *name, apt_log_source_t **log_source);

APT_DECLARE(apt_bool_t) apt_log(apt_log_source_t *log_source, const char *file, int line,
                                apt_log_priority_e priority, const char *format, ...)
#ifdef __GNUC__
	__attribute__((format(printf, 5, 6)))
#endif
	;
APT_DECLARE(apt_bool_t) apt_obj_log(apt_log_source_t *log_source, const char *file, int line,
                                    apt_log_priority_e priority, void *obj, const char *format, ...)
#ifdef __GNUC__
	__attribute__((format(printf, 6, 7)))
#endif
	;
APT_DECLARE(apt_bool_t) apt_va_log(apt_log_source_t *log_source, const char *file, int line,
                                   apt_log_priority_e priority, const char *format, va_list arg_ptr);

APT_END_EXTERN_C

#endif
