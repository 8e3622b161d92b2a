/* Consumer task: a task that handles queued messages one at a time, in posting order. */
#ifndef APT_CONSUMER_TASK_H
#define APT_CONSUMER_TASK_H

#include "apt_task.h"

APT_BEGIN_EXTERN_C

typedef struct apt_consumer_task_t apt_consumer_task_t;

/* NULL on failure. */
APT_DECLARE(apt_consumer_task_t*) apt_consumer_task_create(void *obj, apt_task_msg_pool_t *msg_pool, apr_pool_t *pool);
APT_DECLARE(apt_task_t*) apt_consumer_task_base_get(const apt_consumer_task_t *task);
APT_DECLARE(apt_task_vtable_t*) apt_consumer_task_vtable_get(const apt_consumer_task_t *task);
APT_DECLARE(void*) apt_consumer_task_object_get(const apt_consumer_task_t *task);

APT_END_EXTERN_C

#endif
