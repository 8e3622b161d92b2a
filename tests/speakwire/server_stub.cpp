// A minimal logger and pair array for the unit tests while the server-layer
// runtime is not built: every record goes to the capture handler.
#include "apt_log.h"
#include "apt_pair.h"

struct apt_log_source_t {
    const char* name;
    apt_log_priority_e priority;
};

apt_log_source_t def_log_source = {"stub", APT_PRIO_DEBUG};

static apt_log_ext_handler_f g_handler = NULL;

apt_bool_t apt_log_instance_create(apt_log_output_e, apt_log_priority_e, apr_pool_t*) { return TRUE; }
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

apt_pair_arr_t* apt_pair_array_create(apr_size_t initial_size, apr_pool_t* pool)
{
    return apr_array_make(pool, (int)initial_size, sizeof(apt_pair_t));
}

apt_bool_t apt_pair_array_append(apt_pair_arr_t* arr, const apt_str_t* name, const apt_str_t* value,
                                 apr_pool_t* pool)
{
    apt_pair_t* pair = (apt_pair_t*)apr_array_push(arr);
    apt_pair_init(pair);
    if (name)
        apt_string_copy(&pair->name, name, pool);
    if (value)
        apt_string_copy(&pair->value, value, pool);
    return TRUE;
}

const apt_pair_t* apt_pair_array_find(const apt_pair_arr_t* arr, const apt_str_t* name)
{
    for (int i = 0; arr && name && i < arr->nelts; i++) {
        const apt_pair_t* pair = &APR_ARRAY_IDX(arr, i, apt_pair_t);
        if (apt_string_compare(&pair->name, name))
            return pair;
    }
    return NULL;
}

int apt_pair_array_size_get(const apt_pair_arr_t* arr) { return arr ? arr->nelts : 0; }

const apt_pair_t* apt_pair_array_get(const apt_pair_arr_t* arr, int id)
{
    if (!arr || id < 0 || id >= arr->nelts)
        return NULL;
    return &APR_ARRAY_IDX(arr, id, apt_pair_t);
}
