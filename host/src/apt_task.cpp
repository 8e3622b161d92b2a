/* Tasks on threads of their own, with a message queue handled one message at a time in posting order,
   and the consumer task built on them. */
#include <stddef.h>
#include <stdlib.h>
#include <pthread.h>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <string>
#include "apt_consumer_task.h"
#include "apt_log.h"

/* ---- message pools ---- */

struct apt_task_msg_pool_t {
	apr_size_t msg_size;   /* data bytes each message carries */
};

static apt_task_msg_pool_t* msg_pool_create(apr_size_t msg_size, apr_pool_t *pool)
{
	apt_task_msg_pool_t *msg_pool = (apt_task_msg_pool_t*)apr_palloc(pool, sizeof(apt_task_msg_pool_t));
	msg_pool->msg_size = msg_size;
	return msg_pool;
}

APT_DECLARE(apt_task_msg_pool_t*) apt_task_msg_pool_create_dynamic(apr_size_t msg_size, apr_pool_t *pool)
{
	return msg_pool_create(msg_size, pool);
}

/* Messages are allocated one by one either way; the static pool's size is only a hint. */
APT_DECLARE(apt_task_msg_pool_t*) apt_task_msg_pool_create_static(apr_size_t msg_size, apr_size_t pool_size, apr_pool_t *pool)
{
	(void)pool_size;
	return msg_pool_create(msg_size, pool);
}

APT_DECLARE(void) apt_task_msg_pool_destroy(apt_task_msg_pool_t *msg_pool)
{
	(void)msg_pool;
}

APT_DECLARE(apt_task_msg_t*) apt_task_msg_acquire(apt_task_msg_pool_t *task_msg_pool)
{
	if(!task_msg_pool)
		return NULL;
	apr_size_t size = offsetof(apt_task_msg_t, data) + task_msg_pool->msg_size;
	if(size < sizeof(apt_task_msg_t))
		size = sizeof(apt_task_msg_t);
	apt_task_msg_t *msg = (apt_task_msg_t*)calloc(1, size);
	if(!msg)
		return NULL;
	msg->msg_pool = task_msg_pool;
	msg->type = TASK_MSG_USER;
	msg->sub_type = 0;
	return msg;
}

APT_DECLARE(void) apt_task_msg_release(apt_task_msg_t *task_msg)
{
	free(task_msg);
}

/* ---- tasks ---- */

typedef enum {
	TASK_STATE_IDLE,          /* never started, or ended and joined (stock profile: or ended) */
	TASK_STATE_RUNNING,
	TASK_STATE_TERMINATING    /* the end is queued */
} task_state_e;

#define CORE_TASK_MSG_TERMINATE 1

struct apt_task_t {
	void *obj;
	apt_task_msg_pool_t *msg_pool;
	apr_pool_t *pool;
	apt_task_vtable_t vtable;
	const char *name;

	std::mutex mutex;                       /* guards state, queue and thread */
	std::condition_variable cv;             /* a message was queued */
	std::deque<apt_task_msg_t*> queue;
	task_state_e state;
	pthread_t thread;                       /* valid while has_thread */
	bool has_thread;                        /* a thread was started and not yet joined or let go */
	apt_bool_t destroyed;
};

static apt_task_msg_pool_t s_core_msg_pool = {0};

/* The tests' fault: starts of tasks of this name fail while the count lasts. */
static std::mutex s_fault_mutex;
static std::string s_fault_task_name;
static int s_fault_count = 0;

namespace mrcphost {
void fail_task_starts(const char *task_name, int count)
{
	std::lock_guard<std::mutex> lock(s_fault_mutex);
	s_fault_task_name = task_name ? task_name : "";
	s_fault_count = count;
}
}

static bool task_start_fault(const apt_task_t *task)
{
	std::lock_guard<std::mutex> lock(s_fault_mutex);
	if(s_fault_count <= 0 || !task->name || s_fault_task_name != task->name)
		return false;
	s_fault_count--;
	return true;
}

static void task_release_queue(apt_task_t *task)
{
	std::deque<apt_task_msg_t*> queue;
	{
		std::lock_guard<std::mutex> lock(task->mutex);
		queue.swap(task->queue);
	}
	for(apt_task_msg_t *msg : queue)
		apt_task_msg_release(msg);
}

/* The message loop: one message at a time, in posting order, until the queued end is reached. */
static void task_message_loop(apt_task_t *task)
{
	for(;;) {
		apt_task_msg_t *msg;
		{
			std::unique_lock<std::mutex> lock(task->mutex);
			task->cv.wait(lock, [task] { return !task->queue.empty(); });
			msg = task->queue.front();
			task->queue.pop_front();
		}
		if(msg->type == TASK_MSG_CORE && msg->sub_type == CORE_TASK_MSG_TERMINATE) {
			apt_task_msg_release(msg);
			return;
		}
		if(task->vtable.process_msg)
			task->vtable.process_msg(task, msg);
		apt_task_msg_release(msg);
	}
}

static void task_thread_main(apt_task_t *task)
{
	if(task->name) {
		char thread_name[16];
		apr_cpystrn(thread_name, task->name, sizeof(thread_name));
		pthread_setname_np(pthread_self(), thread_name);
	}
	if(task->vtable.on_pre_run)
		task->vtable.on_pre_run(task);
	if(task->vtable.on_start_complete)
		task->vtable.on_start_complete(task);
	if(task->vtable.run)
		task->vtable.run(task);
	else
		task_message_loop(task);
#if MRCP_SERVER_API_STOCK
	/* A stock server's task counts as idle as soon as its loop is over, before the hooks below: its
	   destroy then no longer joins the thread, whose owner must do so itself. */
	{
		std::lock_guard<std::mutex> lock(task->mutex);
		task->state = TASK_STATE_IDLE;
	}
#endif
	if(task->vtable.on_terminate_complete)
		task->vtable.on_terminate_complete(task);
	if(task->vtable.on_post_run)
		task->vtable.on_post_run(task);
}

static void* task_thread_entry(void *data)
{
	task_thread_main((apt_task_t*)data);
	return NULL;
}

/* Joins the thread unless called from it; afterwards the task is idle again. */
static apt_bool_t task_join(apt_task_t *task)
{
	pthread_t thread;
	{
		std::lock_guard<std::mutex> lock(task->mutex);
		if(!task->has_thread)
			return task->state == TASK_STATE_IDLE ? TRUE : FALSE;
		if(pthread_equal(task->thread, pthread_self()))
			return FALSE;
		thread = task->thread;
		task->has_thread = false;
	}
	pthread_join(thread, NULL);
	std::lock_guard<std::mutex> lock(task->mutex);
	task->state = TASK_STATE_IDLE;
	return TRUE;
}

static void task_teardown(apt_task_t *task)
{
	if(task->destroyed)
		return;
	task->destroyed = TRUE;
	bool join = true;
#if MRCP_SERVER_API_STOCK
	{
		/* Only a task still running is joined; the thread of an ended one is left as it is, never
		   joined (its stack stays mapped), unless its owner waited for it. */
		std::lock_guard<std::mutex> lock(task->mutex);
		if(task->state == TASK_STATE_IDLE) {
			join = false;
			task->has_thread = false;
		}
	}
#endif
	if(join) {
		apt_task_terminate(task, TRUE);
		task_join(task);
	}
	{
		/* Destroyed from its own thread (a hook): the thread cannot be joined, so it is let go. */
		std::lock_guard<std::mutex> lock(task->mutex);
		if(task->has_thread) {
			pthread_detach(task->thread);
			task->has_thread = false;
		}
	}
	task_release_queue(task);
	if(task->vtable.destroy)
		task->vtable.destroy(task);
	task->~apt_task_t();
}

static apr_status_t task_pool_cleanup(void *data)
{
	task_teardown((apt_task_t*)data);
	return APR_SUCCESS;
}

APT_DECLARE(apt_task_t*) apt_task_create(void *obj, apt_task_msg_pool_t *msg_pool, apr_pool_t *pool)
{
	if(!pool)
		return NULL;
	void *mem = apr_palloc(pool, sizeof(apt_task_t));
	if(!mem)
		return NULL;
	apt_task_t *task = new(mem) apt_task_t();
	task->obj = obj;
	task->msg_pool = msg_pool;
	task->pool = pool;
	memset(&task->vtable, 0, sizeof(task->vtable));
	task->name = "Task";
	task->state = TASK_STATE_IDLE;
	task->has_thread = false;
	task->destroyed = FALSE;
	/* A task whose owner never destroys it is still ended and freed with its pool. */
	apr_pool_cleanup_register(pool, task, task_pool_cleanup, apr_pool_cleanup_null);
	return task;
}

APT_DECLARE(apt_bool_t) apt_task_destroy(apt_task_t *task)
{
	if(!task || task->destroyed)
		return FALSE;
	apr_pool_cleanup_kill(task->pool, task, task_pool_cleanup);
	task_teardown(task);
	return TRUE;
}

APT_DECLARE(apt_bool_t) apt_task_start(apt_task_t *task)
{
	if(!task)
		return FALSE;
	std::lock_guard<std::mutex> lock(task->mutex);
	if(task->state != TASK_STATE_IDLE || task->has_thread || task_start_fault(task))
		return FALSE;
	/* Running before the thread exists: the thread may end the state at once (stock profile). */
	task->state = TASK_STATE_RUNNING;
	if(pthread_create(&task->thread, NULL, task_thread_entry, task) != 0) {
		task->state = TASK_STATE_IDLE;
		apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "Failed to Start Task [%s]", task->name);
		return FALSE;
	}
	task->has_thread = true;
	return TRUE;
}

APT_DECLARE(apt_bool_t) apt_task_terminate(apt_task_t *task, apt_bool_t wait_till_complete)
{
	if(!task)
		return FALSE;
	{
		std::lock_guard<std::mutex> lock(task->mutex);
		if(task->state != TASK_STATE_RUNNING)
			return FALSE;
		apt_task_msg_t *msg = apt_task_msg_acquire(&s_core_msg_pool);
		if(!msg)
			return FALSE;
		msg->type = TASK_MSG_CORE;
		msg->sub_type = CORE_TASK_MSG_TERMINATE;
		task->queue.push_back(msg);
		task->state = TASK_STATE_TERMINATING;
		/* Under the lock: once the thread sees the end, its owner may destroy the task at once
		   (a terminate hook answers a close), and the condition variable with it. */
		task->cv.notify_one();
	}
	if(wait_till_complete)
		task_join(task);
	return TRUE;
}

APT_DECLARE(apt_bool_t) apt_task_wait_till_complete(apt_task_t *task)
{
	if(!task)
		return FALSE;
	return task_join(task);
}

APT_DECLARE(apt_task_msg_t*) apt_task_msg_get(apt_task_t *task)
{
	if(!task || !task->msg_pool)
		return NULL;
	return apt_task_msg_acquire(task->msg_pool);
}

APT_DECLARE(apt_bool_t) apt_task_msg_signal(apt_task_t *task, apt_task_msg_t *msg)
{
	if(!msg)
		return FALSE;
	if(!task) {
		apt_task_msg_release(msg);
		return FALSE;
	}
	{
		std::lock_guard<std::mutex> lock(task->mutex);
		/* Behind a queued end the message would never be handled. */
		if(task->state != TASK_STATE_TERMINATING && !task->destroyed) {
			task->queue.push_back(msg);
			msg = NULL;
			/* Under the lock, for the same reason as in apt_task_terminate. */
			task->cv.notify_one();
		}
	}
	if(msg) {
		apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Signal Task Message [%s]", task->name);
		apt_task_msg_release(msg);
		return FALSE;
	}
	return TRUE;
}

APT_DECLARE(void) apt_task_name_set(apt_task_t *task, const char *name)
{
	if(task)
		task->name = name;
}

APT_DECLARE(const char*) apt_task_name_get(const apt_task_t *task)
{
	return task ? task->name : NULL;
}

APT_DECLARE(void*) apt_task_object_get(const apt_task_t *task)
{
	return task ? task->obj : NULL;
}

APT_DECLARE(apt_task_vtable_t*) apt_task_vtable_get(apt_task_t *task)
{
	return task ? &task->vtable : NULL;
}

APT_DECLARE(apr_pool_t*) apt_task_pool_get(const apt_task_t *task)
{
	return task ? task->pool : NULL;
}

APT_DECLARE(void) apt_task_delay(apr_size_t msec)
{
	apr_sleep((apr_interval_time_t)msec * 1000);
}

/* ---- consumer tasks ---- */

struct apt_consumer_task_t {
	void *obj;            /* the owner's object given at create */
	apt_task_t *base;
};

APT_DECLARE(apt_consumer_task_t*) apt_consumer_task_create(void *obj, apt_task_msg_pool_t *msg_pool, apr_pool_t *pool)
{
	if(!pool)
		return NULL;
	apt_consumer_task_t *consumer = (apt_consumer_task_t*)apr_palloc(pool, sizeof(apt_consumer_task_t));
	consumer->obj = obj;
	consumer->base = apt_task_create(consumer, msg_pool, pool);
	if(!consumer->base)
		return NULL;
	return consumer;
}

APT_DECLARE(apt_task_t*) apt_consumer_task_base_get(const apt_consumer_task_t *task)
{
	return task ? task->base : NULL;
}

APT_DECLARE(apt_task_vtable_t*) apt_consumer_task_vtable_get(const apt_consumer_task_t *task)
{
	return task ? apt_task_vtable_get(task->base) : NULL;
}

APT_DECLARE(void*) apt_consumer_task_object_get(const apt_consumer_task_t *task)
{
	return task ? task->obj : NULL;
}
