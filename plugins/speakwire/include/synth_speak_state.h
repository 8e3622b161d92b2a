/*
 * The state of a channel's SPEAK requests that four threads share: the engine
 * task (SPEAK hand-off, STOP, barge-in, PAUSE, RESUME), the speak task (the
 * synthesis), the endpoint's I/O threads (audio and replies; a late message of
 * an older connection may be handled beside the current one's) and the media thread
 * (playback, the STOP response, SPEAK-COMPLETE).
 *
 * Every SPEAK handed over gets its own record (speak_job_t), so that whatever
 * an older SPEAK's task, connection or completion still does can only touch
 * that SPEAK, never the one a client sent in reaction. All of it is guarded
 * by one mutex that is held only for flag updates and buffer copies, never
 * across a network call, a wait on the endpoint or the sending of a message.
 */
#ifndef SPEAKWIRE_SYNTH_SPEAK_STATE_H
#define SPEAKWIRE_SYNTH_SPEAK_STATE_H

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "apt.h"
#include "mrcp_message.h"
#include "mrcp_synth_header.h"
#include "vendor_specific_parameters.h"

/* One SPEAK, from its hand-off to the speak task until its one terminal message. */
struct speak_job_t {
    apr_uint64_t gen = 0;               /* 1, 2, ... per channel */
    mrcp_message_t *request = NULL;     /* the SPEAK itself; its pool holds the texts of its events */
    mrcp_message_t *response = NULL;    /* IN-PROGRESS, until the speak task has sent it */
    bool held = false;                  /* still owed its terminal message; whoever clears it sends it */
    int ws_id = -1;                     /* its connection, -1 when none (or once closed) */
    bool ended = false;                 /* the service said END, ERROR or FATAL_ERROR */
    bool lost = false;                  /* its connection went away before any end */
    bool stopped = false;               /* STOP, barge-in or channel close: it plays and completes no more */
    bool task_done = false;             /* the speak task is finished with it */
    bool odd_byte_held = false;         /* the last audio message ended in half a sample: odd_byte */
    char odd_byte = 0;
    bool reading_paused = false;        /* its connection is not read while the buffer is past the bound */

    /* What the START command needs, copied at the hand-off so that a later SET-PARAMS cannot change
       a synthesis under way. */
    mrcp_version_e version = MRCP_VERSION_UNKNOWN;
    bool has_voice_name = false;
    std::string voice_name;
    std::string speech_language;
    mrcp_voice_gender_e gender = VOICE_GENDER_FEMALE;
    apr_size_t age = 0;
    mrcp_prosody_volume_t volume;
    mrcp_prosody_rate_t rate;
    vendor_specific_t vendor_specific;
};
typedef std::shared_ptr<speak_job_t> speak_job_ptr;

/* A STOP (or barge-in) response waiting for the speak task to finish the SPEAK it stopped. */
struct parked_stop_t {
    speak_job_ptr job;                  /* NULL when nothing was being synthesized */
    mrcp_message_t *response;
};

struct synth_speak_state_t {
    std::mutex mt;
    std::condition_variable cv;         /* wakes the speak task's wait; notified with every end or stop */
    apr_uint64_t last_gen = 0;
    speak_job_ptr current;              /* the last SPEAK handed over */
    std::deque<speak_job_ptr> handed;   /* handed over, not yet taken by the speak task (posting order) */
    std::deque<parked_stop_t> stops;    /* every parked STOP response, answered in order */
    bool closing = false;               /* the channel is closing: waits end, nothing new starts */
    apr_int16_t upsample_prev = 0;      /* last 8 kHz sample played, for raising the rate smoothly */
};

#endif
