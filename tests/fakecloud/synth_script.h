// The fake cloud's synthesis service: a scripted answer to the synthesizer's START command, and
// helpers to read what the plug-in sent.
//
// A connection runs one script: it waits for the START command, checks it (a START it cannot read is
// answered with an ERROR reply, so the plug-in ends the SPEAK with an error and the test sees it),
// replies "START", sends the script's audio in chunks (all at once or paced) and then ends as the
// script says: END with "NORMAL" or another reason, ERROR, FATAL_ERROR, nothing at all, a close from
// the service or a dropped connection. When the client sends END, the script can answer with late
// audio and an END reply, as a service that has not noticed the stop yet would.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "fake_cloud.h"

namespace fakecloud {

// The START command as the plug-in sent it.
struct synth_start {
    bool valid = false;     // a JSON object with every member below, each of its JSON type
    std::string error;      // what made it invalid
    std::string audio_format;
    long long pitch = 0;
    std::string property;
    std::string sample_rate;
    long long speed = 0;
    std::string tagmode;
    long long volume = 0;
    std::string text;
};

// Parses one text message; valid only for a START command of the expected shape.
synth_start parse_synth_start(const std::string& message);

// True for the END command {"command":"END"}.
bool is_synth_end(const std::string& message);

// Audio bytes without a zero byte, so that a test can tell them from the silence around them;
// different seeds (below 251) give patterns that share no stretch of two bytes or more.
std::string synth_audio_pattern(std::size_t bytes, unsigned seed);

struct synth_script {
    enum end_e {
        end_normal,         // END, reason "NORMAL"
        end_reason,         // END with `reason`
        end_without_reason, // END without a reason member
        error,              // ERROR with `error_code`
        fatal_error,        // FATAL_ERROR with `error_code`
        silent,             // nothing after the audio
        close_no_end,       // the service closes (1000) without an END
        drop                // the connection goes without a close frame
    };
    bool reply_start = true;     // answer the START command at all (false: nothing is ever sent)
    std::string audio;           // sent after the START reply
    // When set, the audio of this connection instead, chosen from the START it received.
    std::function<std::string(const synth_start&)> audio_for;
    std::size_t chunk_bytes = 1600;
    int chunk_interval_ms = 0;   // 0: every chunk at once; else one chunk per interval
    // > 0: the audio is paced at this many times real time (1: real time) at the START's sample rate
    // (8000 Hz when it names none), on an absolute schedule; chunk_interval_ms is then unused.
    double speed = 0;
    end_e end = end_normal;
    std::string reason = "NORMAL";
    std::string error_code = "40001";
    std::string trace_id = "trace-1";
    std::string text_after_start;  // non-empty: sent as one text message right after the START reply
    // Reads nothing after the START and the client's pong to one ping (ws_record::pongs): the client's
    // END and close go unanswered.
    bool deaf = false;
    std::string late_audio;      // non-empty: sent, with an END "NORMAL" reply, in answer to the client's END
    // > 0: instead of `audio`, a flood: pieces of chunk_bytes (synth_audio_pattern(chunk_bytes, 5)) as
    // fast as the connection takes them, for this long, then the end. Only a short send queue is kept,
    // so the fake's own memory stays small while the client holds it back.
    int flood_ms = 0;
    // When set, counts every audio byte handed to the connection (any thread may read it).
    std::shared_ptr<std::atomic<std::size_t>> audio_sent;
};

// One connection's behaviour; each call has its own state.
behaviour synth_behaviour(const synth_script& script);

// The same script for every connection.
behaviour_factory synth_factory(const synth_script& script);

}  // namespace fakecloud
