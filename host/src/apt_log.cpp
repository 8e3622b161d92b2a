/* The logger: a priority filter, console output and a capture hook, shared by the host and every plug-in. */
#include <stdio.h>
#include <string.h>
#include <atomic>
#include <mutex>
#include "apt_log.h"

struct apt_log_source_t {
	const char *name;
	apt_log_priority_e priority;
	apt_log_masking_e masking;
};

struct apt_logger_t {
	apt_log_output_e mode;
	apt_log_priority_e priority;
	apt_log_ext_handler_f ext_handler;
};

apt_log_source_t def_log_source = {"MRCP", APT_PRIO_DEBUG, APT_LOG_MASKING_NONE};

/* One logger per process; records from any thread are written and handed over one at a time.
   Recursive, so that a capture hook that logs does not deadlock. */
static std::recursive_mutex s_log_mutex;
static apt_logger_t s_logger = {APT_LOG_OUTPUT_CONSOLE, APT_PRIO_DEBUG, NULL};
static apt_logger_t *s_instance = NULL;
/* s_logger.priority, readable without the lock: a record the logger drops takes no lock, as in the
   server, where threads that log at a priority nobody keeps do not queue behind one another.
   Written under s_log_mutex with s_logger.priority. */
static std::atomic<int> s_kept_priority(APT_PRIO_DEBUG);

/* Named sources handed out by apt_log_source_assign; a handful at most. */
#define MAX_LOG_SOURCES 16
static apt_log_source_t s_sources[MAX_LOG_SOURCES];
static char s_source_names[MAX_LOG_SOURCES][64];
static apr_size_t s_source_count = 0;

static const char *const s_priority_names[APT_PRIO_COUNT] = {
	"EMERG", "ALERT", "CRITICAL", "ERROR", "WARNING", "NOTICE", "INFO", "DEBUG"
};

APT_DECLARE(apt_bool_t) apt_log_instance_create(apt_log_output_e mode, apt_log_priority_e priority, apr_pool_t *pool)
{
	(void)pool;
	std::lock_guard<std::recursive_mutex> lock(s_log_mutex);
	if(s_instance)
		return FALSE;
	s_logger.mode = mode;
	s_logger.priority = priority;
	s_kept_priority = priority;
	s_instance = &s_logger;
	return TRUE;
}

APT_DECLARE(apt_bool_t) apt_log_instance_destroy(void)
{
	std::lock_guard<std::recursive_mutex> lock(s_log_mutex);
	if(!s_instance)
		return FALSE;
	s_instance = NULL;
	s_logger.mode = APT_LOG_OUTPUT_CONSOLE;
	s_logger.priority = APT_PRIO_DEBUG;
	s_kept_priority = APT_PRIO_DEBUG;
	return TRUE;
}

APT_DECLARE(apt_logger_t*) apt_log_instance_get(void)
{
	std::lock_guard<std::recursive_mutex> lock(s_log_mutex);
	return s_instance;
}

APT_DECLARE(apt_bool_t) apt_log_instance_set(apt_logger_t *logger)
{
	std::lock_guard<std::recursive_mutex> lock(s_log_mutex);
	if(s_instance || !logger)
		return FALSE;
	s_instance = logger;
	return TRUE;
}

APT_DECLARE(apt_bool_t) apt_log_priority_set(apt_log_priority_e priority)
{
	if(priority >= APT_PRIO_COUNT)
		return FALSE;
	std::lock_guard<std::recursive_mutex> lock(s_log_mutex);
	s_logger.priority = priority;
	s_kept_priority = priority;
	return TRUE;
}

APT_DECLARE(apt_bool_t) apt_log_output_mode_set(apt_log_output_e mode)
{
	std::lock_guard<std::recursive_mutex> lock(s_log_mutex);
	s_logger.mode = mode;
	return TRUE;
}

APT_DECLARE(apt_bool_t) apt_log_ext_handler_set(apt_log_ext_handler_f handler)
{
	std::lock_guard<std::recursive_mutex> lock(s_log_mutex);
	s_logger.ext_handler = handler;
	return TRUE;
}

static apt_bool_t def_log_source_copy(apt_log_source_t *log_source)
{
	if(!log_source)
		return FALSE;
	std::lock_guard<std::recursive_mutex> lock(s_log_mutex);
	if(log_source != &def_log_source)
		def_log_source = *log_source;
	return TRUE;
}

#if MRCP_SERVER_API_STOCK
APT_DECLARE(void) apt_def_log_source_set(apt_log_source_t *log_source)
{
	def_log_source_copy(log_source);
}
#else
APT_DECLARE(apt_bool_t) apt_def_log_source_set(apt_log_source_t *log_source)
{
	return def_log_source_copy(log_source);
}
#endif

APT_DECLARE(apt_bool_t) apt_log_source_assign(const char *name, apt_log_source_t **log_source)
{
	if(!name || !log_source)
		return FALSE;
	std::lock_guard<std::recursive_mutex> lock(s_log_mutex);
	for(apr_size_t i = 0; i < s_source_count; i++) {
		if(strcmp(s_sources[i].name, name) == 0) {
			*log_source = &s_sources[i];
			return TRUE;
		}
	}
	if(s_source_count == MAX_LOG_SOURCES)
		return FALSE;
	apt_log_source_t *source = &s_sources[s_source_count];
	apr_cpystrn(s_source_names[s_source_count], name, sizeof(s_source_names[0]));
	source->name = s_source_names[s_source_count];
	source->priority = def_log_source.priority;
	source->masking = def_log_source.masking;
	s_source_count++;
	*log_source = source;
	return TRUE;
}

static apt_bool_t log_record(apt_log_source_t *log_source, const char *file, int line, const char *obj,
                             apt_log_priority_e priority, const char *format, va_list arg_ptr)
{
	if(!log_source || !format || priority >= APT_PRIO_COUNT)
		return FALSE;
	if((int)priority > s_kept_priority.load(std::memory_order_relaxed))
		return TRUE;
	std::lock_guard<std::recursive_mutex> lock(s_log_mutex);
	if(priority > s_logger.priority || priority > log_source->priority)
		return TRUE;
	if(s_logger.ext_handler)
		return s_logger.ext_handler(file, line, obj, priority, format, arg_ptr);
	if(s_logger.mode & APT_LOG_OUTPUT_CONSOLE) {
		char text[4096];
		vsnprintf(text, sizeof(text), format, arg_ptr);
		fprintf(stderr, "[%s] %s\n", s_priority_names[priority], text);
	}
	return TRUE;
}

APT_DECLARE(apt_bool_t) apt_va_log(apt_log_source_t *log_source, const char *file, int line,
                                   apt_log_priority_e priority, const char *format, va_list arg_ptr)
{
	return log_record(log_source, file, line, NULL, priority, format, arg_ptr);
}

APT_DECLARE(apt_bool_t) apt_log(apt_log_source_t *log_source, const char *file, int line,
                                apt_log_priority_e priority, const char *format, ...)
{
	va_list arg_ptr;
	va_start(arg_ptr, format);
	apt_bool_t status = log_record(log_source, file, line, NULL, priority, format, arg_ptr);
	va_end(arg_ptr);
	return status;
}

APT_DECLARE(apt_bool_t) apt_obj_log(apt_log_source_t *log_source, const char *file, int line,
                                    apt_log_priority_e priority, void *obj, const char *format, ...)
{
	char obj_text[32];
	snprintf(obj_text, sizeof(obj_text), "%p", obj);
	va_list arg_ptr;
	va_start(arg_ptr, format);
	apt_bool_t status = log_record(log_source, file, line, obj_text, priority, format, arg_ptr);
	va_end(arg_ptr);
	return status;
}
