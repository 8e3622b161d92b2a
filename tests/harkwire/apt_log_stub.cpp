// A minimal logger for the unit tests while the server-layer runtime is not built:
// every record goes to the capture handler, nothing is printed.
#include "apt_log.h"

struct apt_log_source_t {
    const char* name;
    apt_log_priority_e priority;
};

apt_log_source_t def_log_source = {"stub", APT_PRIO_DEBUG};

static apt_log_ext_handler_f g_handler = NULL;

apt_bool_t apt_log_instance_create(apt_log_output_e, apt_log_priority_e, apr_pool_t*) { return TRUE; }
apt_bool_t apt_log_instance_destroy(void) { return TRUE; }
apt_bool_t apt_log_ext_handler_set(apt_log_ext_handler_f handler)
{
    g_handler = handler;
    return TRUE;
}

apt_bool_t apt_va_log(apt_log_source_t* source, const char* file, int line, apt_log_priority_e priority,
                      const char* format, va_list arg_ptr)
{
    if (!source || !g_handler)
        return FALSE;
    return g_handler(file, line, NULL, priority, format, arg_ptr);
}

apt_bool_t apt_log(apt_log_source_t* source, const char* file, int line, apt_log_priority_e priority,
                   const char* format, ...)
{
    va_list args;
    va_start(args, format);
    apt_bool_t ok = apt_va_log(source, file, line, priority, format, args);
    va_end(args);
    return ok;
}
