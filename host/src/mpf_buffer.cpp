/* The media buffer: audio chunks and event marks in writing order, read frame by frame under its own lock. */
#include <string.h>
#include <deque>
#include <mutex>
#include <new>
#include <vector>
#include "mpf_buffer.h"

struct buffer_chunk_t {
	int type;                  /* MEDIA_FRAME_TYPE_AUDIO, or the mark's type */
	std::vector<char> data;    /* audio bytes; empty for a mark */
	apr_size_t pos;            /* bytes of data already read */
};

/* Storage of chunks already read, kept for the writer to fill again: the reader (the media thread) then
   never frees memory that another thread allocated, which would wait on that thread's heap lock. */
#define MAX_SPARE_CHUNKS 16

struct mpf_buffer_t {
	mutable std::mutex mutex;
	std::deque<buffer_chunk_t> chunks;
	std::vector<std::vector<char> > spare;
	apr_size_t size;           /* audio bytes not yet read */
	apr_pool_t *pool;
};

static apr_status_t buffer_pool_cleanup(void *data)
{
	mpf_buffer_t *buffer = (mpf_buffer_t*)data;
	buffer->~mpf_buffer_t();
	return APR_SUCCESS;
}

mpf_buffer_t* mpf_buffer_create(apr_pool_t *pool)
{
	if(!pool)
		return NULL;
	void *mem = apr_palloc(pool, sizeof(mpf_buffer_t));
	mpf_buffer_t *buffer = new(mem) mpf_buffer_t();
	buffer->size = 0;
	try {
		buffer->spare.reserve(MAX_SPARE_CHUNKS);  /* so that the reader does not allocate either */
	}
	catch(...) {
	}
	buffer->pool = pool;
	/* The chunks are heap memory: freed with the pool even when nobody destroys the buffer. */
	apr_pool_cleanup_register(pool, buffer, buffer_pool_cleanup, apr_pool_cleanup_null);
	return buffer;
}

void mpf_buffer_destroy(mpf_buffer_t *buffer)
{
	if(!buffer)
		return;
	std::lock_guard<std::mutex> lock(buffer->mutex);
	std::deque<buffer_chunk_t>().swap(buffer->chunks);
	std::vector<std::vector<char> >().swap(buffer->spare);
	buffer->size = 0;
}

apt_bool_t mpf_buffer_restart(mpf_buffer_t *buffer)
{
	if(!buffer)
		return FALSE;
	std::lock_guard<std::mutex> lock(buffer->mutex);
	buffer->chunks.clear();
	buffer->size = 0;
	return TRUE;
}

apt_bool_t mpf_buffer_audio_write(mpf_buffer_t *buffer, void *data, apr_size_t size)
{
	if(!buffer || (!data && size))
		return FALSE;
	if(!size)
		return TRUE;
	std::lock_guard<std::mutex> lock(buffer->mutex);
	try {
		buffer->chunks.push_back(buffer_chunk_t());
		buffer_chunk_t &chunk = buffer->chunks.back();
		chunk.type = MEDIA_FRAME_TYPE_AUDIO;
		if(!buffer->spare.empty()) {
			chunk.data.swap(buffer->spare.back());
			buffer->spare.pop_back();
		}
		chunk.data.assign((const char*)data, (const char*)data + size);
		chunk.pos = 0;
	}
	catch(...) {
		return FALSE;
	}
	buffer->size += size;
	return TRUE;
}

apt_bool_t mpf_buffer_event_write(mpf_buffer_t *buffer, mpf_frame_type_e event_type)
{
	if(!buffer)
		return FALSE;
	std::lock_guard<std::mutex> lock(buffer->mutex);
	try {
		buffer->chunks.push_back(buffer_chunk_t());
	}
	catch(...) {
		return FALSE;
	}
	buffer_chunk_t &chunk = buffer->chunks.back();
	chunk.type = event_type;
	chunk.pos = 0;
	return TRUE;
}

apt_bool_t mpf_buffer_frame_read(mpf_buffer_t *buffer, mpf_frame_t *media_frame)
{
	if(!buffer || !media_frame)
		return FALSE;
	char *dst = (char*)media_frame->codec_frame.buffer;
	apr_size_t size = media_frame->codec_frame.size;
	apr_size_t filled = 0;
	std::lock_guard<std::mutex> lock(buffer->mutex);
	while(!buffer->chunks.empty()) {
		buffer_chunk_t &chunk = buffer->chunks.front();
		if(chunk.data.empty()) {
			/* A mark ends the frame: the rest is silence, the next frame starts after the mark. */
			media_frame->type |= chunk.type;
			buffer->chunks.pop_front();
			break;
		}
		if(filled == size)
			break;
		apr_size_t count = chunk.data.size() - chunk.pos;
		if(count > size - filled)
			count = size - filled;
		if(dst)
			memcpy(dst + filled, chunk.data.data() + chunk.pos, count);
		media_frame->type |= chunk.type;
		chunk.pos += count;
		filled += count;
		buffer->size -= count;
		if(chunk.pos == chunk.data.size()) {
			if(buffer->spare.size() < MAX_SPARE_CHUNKS) {
				try {
					buffer->spare.push_back(std::vector<char>());
					buffer->spare.back().swap(chunk.data);
				}
				catch(...) {
				}
			}
			buffer->chunks.pop_front();
		}
	}
	if(dst && filled < size)
		memset(dst + filled, 0, size - filled);
	return TRUE;
}

apr_size_t mpf_buffer_get_size(const mpf_buffer_t *buffer)
{
	if(!buffer)
		return 0;
	std::lock_guard<std::mutex> lock(buffer->mutex);
	return buffer->size;
}
