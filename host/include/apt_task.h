/* Tasks: a thread of their own with hooks and a message handler. */
#ifndef APT_TASK_H
#define APT_TASK_H

#include "apt_task_msg.h"

APT_BEGIN_EXTERN_C

typedef struct apt_task_t apt_task_t;
typedef struct apt_task_vtable_t apt_task_vtable_t;

typedef apt_bool_t (*apt_task_method_f)(apt_task_t *task);
typedef apt_bool_t (*apt_task_msg_handler_f)(apt_task_t *task, apt_task_msg_t *msg);
typedef void (*apt_task_event_f)(apt_task_t *task);

struct apt_task_vtable_t {
	apt_task_method_f destroy;
	apt_task_method_f start;
	apt_task_method_f terminate;
	apt_task_method_f run;
	apt_task_msg_handler_f signal_msg;
	apt_task_msg_handler_f process_msg;
	apt_task_method_f process_start;
	apt_task_method_f process_terminate;
	apt_task_event_f on_pre_run;        /* on the task's thread, before the first message */
	apt_task_event_f on_post_run;       /* on the task's thread, after the last message */
	apt_task_event_f on_start_complete;
	apt_task_event_f on_terminate_complete;
	apt_task_event_f on_offline_complete;
	apt_task_event_f on_online_complete;
};

APT_DECLARE(apt_task_t*) apt_task_create(void *obj, apt_task_msg_pool_t *msg_pool, apr_pool_t *pool);
APT_DECLARE(apt_bool_t) apt_task_destroy(apt_task_t *task);
APT_DECLARE(apt_bool_t) apt_task_start(apt_task_t *task);
/* Queues the end behind the messages already queued; with wait, returns once the thread has ended. */
APT_DECLARE(apt_bool_t) apt_task_terminate(apt_task_t *task, apt_bool_t wait_till_complete);
APT_DECLARE(apt_bool_t) apt_task_wait_till_complete(apt_task_t *task);
APT_DECLARE(apt_task_msg_t*) apt_task_msg_get(apt_task_t *task);
/* Queues the message; on failure the message is released here. */
APT_DECLARE(apt_bool_t) apt_task_msg_signal(apt_task_t *task, apt_task_msg_t *msg);
APT_DECLARE(void) apt_task_name_set(apt_task_t *task, const char *name);
APT_DECLARE(const char*) apt_task_name_get(const apt_task_t *task);
APT_DECLARE(void*) apt_task_object_get(const apt_task_t *task);
APT_DECLARE(apt_task_vtable_t*) apt_task_vtable_get(apt_task_t *task);
APT_DECLARE(apr_pool_t*) apt_task_pool_get(const apt_task_t *task);
APT_DECLARE(void) apt_task_delay(apr_size_t msec);

APT_END_EXTERN_C

#endif
