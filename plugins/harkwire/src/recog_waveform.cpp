#include "recog_waveform.h"

#include <stdio.h>

#include <mutex>
#include <string>

#include <apr_file_info.h>
#include <apr_strings.h>

#include "apt_log.h"
#include "recog_engine.h"
#include "recog_session.h"
#include "rule.h"

namespace {

/* Two channels of the same user append to the same files; one append at a time keeps
 * each recording whole. */
std::mutex g_append_mutex;

}  // namespace

char* build_save_wave_path(apr_pool_t* pool, const apt_dir_layout_t* layout, save_wave_t wave,
                           char* channel_id, char* file_name)
{
    (void)channel_id;
    char* file_path = NULL;
    if (wave.dir && *wave.dir) {
        apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "build_wave_path=%s", wave.dir);
        if (apr_filepath_merge(&file_path, wave.dir, file_name, 0, pool) != APR_SUCCESS) {
            apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "apr_filepath_merge failed![%s,%s]", wave.dir, file_name);
            file_path = NULL;
        }
    } else {
        file_path = apt_datadir_filepath_get(layout, file_name, pool);
    }
    apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "build_save_wave_path, file_name[%s],file_path[%s]",
            file_name ? file_name : "(null)", file_path ? file_path : "(null)");
    return file_path;
}

int Rename(const char* src, const char* dst)
{
    if (!src)
        return -1;
    std::lock_guard<std::mutex> guard(g_append_mutex);
    if (!dst || !*dst)
        return remove(src) == 0 ? 0 : -1;

    std::string side(dst);
    if (side.size() < 3)
        return -1;
    side.replace(side.size() - 3, 3, "txt");

    FILE* in = fopen(src, "rb");
    if (!in)
        return -1;
    FILE* out = fopen(dst, "ab");
    if (!out) {
        fclose(in);
        return -1;
    }
    FILE* note = fopen(side.c_str(), "ab");
    if (!note) {
        fclose(out);
        fclose(in);
        return -1;
    }

    bool copied = true;
    long total = 0;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof(chunk), in)) > 0) {
        total += (long)n;
        if (fwrite(chunk, 1, n, out) != n) {
            copied = false;
            break;
        }
    }
    if (ferror(in))
        copied = false;
    fprintf(note, "this time write %ld byte audio\n", total);

    bool closed = fclose(in) == 0;
    closed = fclose(out) == 0 && closed;
    closed = fclose(note) == 0 && closed;
    if (closed && copied)
        return remove(src) == 0 ? 0 : -1;
    return -1;
}

bool is_plain_user_id(const std::string& user_id)
{
    if (user_id.empty() || user_id.size() > 128 || user_id == "." || user_id == "..")
        return false;
    for (char c : user_id) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '.' || c == '_' || c == '@' || c == '-';
        if (!ok)
            return false;
    }
    return true;
}

void recog_waveform_open(recog_channel_t* recog_channel)
{
    std::lock_guard<std::mutex> lock(recog_channel->guard);
    if (recog_channel->save_wave.save_waveform == 0 || recog_channel->audio_file ||
        recog_channel_session(recog_channel)->closed)
        return;
    mrcp_engine_channel_t* channel = recog_channel->channel;
    /* One name, in one place, for the life of the channel: the close-time append finds
     * exactly the file written here. */
    char* name = apr_psprintf(recog_channel->pool, "%s.pcm", mrcp_engine_channel_id_get(channel));
    char* path = NULL;
    const char* dir = recog_channel->save_wave.dir;
    if (dir && *dir) {
        if (apr_filepath_merge(&path, dir, name, 0, recog_channel->pool) != APR_SUCCESS) {
            apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "apr_filepath_merge failed[%s %s]", dir, name);
            path = NULL;
        }
    }
    if (!path)
        path = apt_datadir_filepath_get(channel->engine ? channel->engine->dir_layout : NULL, name,
                                        recog_channel->pool);
    if (!path)
        return;
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "open audio file [%s]", path);
    FILE* file = fopen(path, "wb");
    if (!file) {
        apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "cannot open audio file [%s]", path);
        return;
    }
    recog_channel->audio_file = file;
    recog_channel_session(recog_channel)->audio_path = path;
}

void recog_waveform_write_locked(recog_channel_t* recog_channel, const void* data, apr_size_t size)
{
    if (recog_channel->audio_file && size > 0)
        fwrite(data, 1, size, recog_channel->audio_file);
}

void recog_waveform_close_locked(recog_channel_t* recog_channel)
{
    if (recog_channel->audio_file) {
        fclose(recog_channel->audio_file);
        recog_channel->audio_file = NULL;
    }
}

void recog_waveform_finish(recog_channel_t* recog_channel)
{
    /* Only the hand-over under the lock: the media thread takes it for every frame, and
     * closing and appending a long recording takes as long as copying the file. Once
     * audio_file is NULL no thread writes to or closes the recording but this one. */
    FILE* file = NULL;
    bool need_qa = false;
    std::string user_id, audio_path;
    {
        std::lock_guard<std::mutex> lock(recog_channel->guard);
        if (recog_channel->save_wave.save_waveform != 1 || !recog_channel->audio_file)
            return;
        file = recog_channel->audio_file;
        recog_channel->audio_file = NULL;
        const recog_session_t* session = recog_channel_session(recog_channel);
        need_qa = session->snapshot.need_qa;
        user_id = session->snapshot.user_id;
        audio_path = session->audio_path;
    }
    fclose(file);

    apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "recog_channel_close, %d", need_qa ? 1 : 0);
    if (!need_qa)
        return;
    apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "recog_channel->save_navi_wave.save_waveform=%d",
            recog_channel->save_navi_wave.save_waveform);
    if (recog_channel->save_navi_wave.save_waveform == 0 || audio_path.empty())
        return;

    apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "file_path[%s]", audio_path.c_str());
    if (!is_plain_user_id(user_id)) {
        /* The user id comes from the client's grammar: it must never steer a path. */
        apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "user id <%s> is not a plain file name, recording kept at [%s]",
                log_excerpt(user_id).c_str(), audio_path.c_str());
        return;
    }
    /* A pool of its own: this runs on the server thread while the engine task may be
     * allocating from the channel's pool. */
    apr_pool_t* pool = NULL;
    if (apr_pool_create(&pool, NULL) != APR_SUCCESS)
        return;
    mrcp_engine_channel_t* channel = recog_channel->channel;
    char* navi_name = apr_psprintf(pool, "%s.pcm", user_id.c_str());
    char* navi_path = build_save_wave_path(pool, channel->engine ? channel->engine->dir_layout : NULL,
                                           recog_channel->save_navi_wave, NULL, navi_name);
    apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "file_path[%s], file_navi_path[%s]", audio_path.c_str(),
            navi_path ? navi_path : "(null)");
    if (navi_path)
        Rename(audio_path.c_str(), navi_path);
    apr_pool_destroy(pool);
}
