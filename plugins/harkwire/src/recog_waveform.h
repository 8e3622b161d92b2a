/*
 * Waveform saving of a recognizer channel: the raw PCM recording of every
 * frame handed to the cloud recognizer, and the per-user append at close.
 */
#ifndef HARKWIRE_RECOG_WAVEFORM_H
#define HARKWIRE_RECOG_WAVEFORM_H

#include <string>

#include "apt.h"
#include "apt_dir_layout.h"
#include "recog_properties.h"

struct recog_channel_t;

/* Full path of file_name in the directory of 'wave' (the data directory when it has none), or NULL. */
char* build_save_wave_path(apr_pool_t* pool, const apt_dir_layout_t* layout, save_wave_t wave,
                           char* channel_id, char* file_name);

/* Appends src to dst, adds a byte-count line to dst's side .txt file and deletes src.
 * 0 on success, -1 otherwise (src is then kept). Serialised process-wide. */
int Rename(const char* src, const char* dst);

/* A user id that may name a file: letters, digits, '.', '_', '@', '-', 1 to 128 of them, not "." or "..". */
bool is_plain_user_id(const std::string& user_id);

/*
 * The calls below take the channel lock themselves unless stated otherwise.
 */

/* Opens "<channel id>.pcm" once per channel when saving is on; keeps its path in the channel.
 * Called by RECOGNIZE on the engine task. */
void recog_waveform_open(recog_channel_t* recog_channel);

/* Appends one frame's bytes to the open recording. The caller holds the channel lock. */
void recog_waveform_write_locked(recog_channel_t* recog_channel, const void* data, apr_size_t size);

/* Channel close on the server thread: with save-waveform 1 closes the recording and,
 * when the rule document asked for question answering and save-navi-waveform is on,
 * appends it to the user's file. Holds the channel lock only to take the recording
 * away from the channel; closes and appends without it. */
void recog_waveform_finish(recog_channel_t* recog_channel);

/* Engine task's close handling: closes a recording that is still open. The caller holds the channel lock. */
void recog_waveform_close_locked(recog_channel_t* recog_channel);

#endif /* HARKWIRE_RECOG_WAVEFORM_H */
