/* Task messages and their pools. */
#ifndef APT_TASK_MSG_H
#define APT_TASK_MSG_H

#include "apt.h"

APT_BEGIN_EXTERN_C

typedef enum {
	TASK_MSG_CORE,
	TASK_MSG_USER
} apt_task_msg_type_e;

typedef struct apt_task_msg_pool_t apt_task_msg_pool_t;
typedef struct apt_task_msg_t apt_task_msg_t;

struct apt_task_msg_t {
	apt_task_msg_pool_t *msg_pool;
	int type;
	int sub_type;
	/* The sender's record lives here; the pool gives each message room for the size it was made with. */
	char data[1];
};

/* Each message is allocated with room for msg_size data bytes and freed when released. */
APT_DECLARE(apt_task_msg_pool_t*) apt_task_msg_pool_create_dynamic(apr_size_t msg_size, apr_pool_t *pool);
APT_DECLARE(apt_task_msg_pool_t*) apt_task_msg_pool_create_static(apr_size_t msg_size, apr_size_t pool_size, apr_pool_t *pool);
APT_DECLARE(void) apt_task_msg_pool_destroy(apt_task_msg_pool_t *msg_pool);
/* A zeroed message with type TASK_MSG_USER; NULL when no memory can be had. */
APT_DECLARE(apt_task_msg_t*) apt_task_msg_acquire(apt_task_msg_pool_t *task_msg_pool);
APT_DECLARE(void) apt_task_msg_release(apt_task_msg_t *task_msg);

APT_END_EXTERN_C

#endif
