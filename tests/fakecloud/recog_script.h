// The fake cloud's recognition service: replies of the service as text, scripts that answer a
// recognition connection, and checks of what a connection received.
//
// A script is a list of steps. Each step waits for its trigger (the START command, an amount of
// audio received since START, or the END command), then for its delay, then sends a reply,
// closes or drops the connection. Steps run in order; a step whose trigger has not come yet holds
// the ones after it. recog_behaviour_by_domain() picks the script from the domain in START's
// "property" ("<language>_8k_<domain>"), which the test sets through its grammar.
#pragma once

#include "fake_cloud.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace fakecloud {

// Replies of the recognition service (one JSON object each).
std::string recog_reply_start();
std::string recog_reply_event(const std::string& event);   // "VOICE_START", "EXCEEDED_SILENCE", ...
struct recog_segment {
    int start_time = 0;
    int end_time = 0;
    double score = 0.9;
    std::string text;
};
std::string recog_reply_result(const std::vector<recog_segment>& segments);
std::string recog_reply_error(const std::string& error_code, bool fatal = false);
std::string recog_reply_end(const std::string& reason = "normal");

struct recog_step {
    enum trigger_e { at_start, after_audio, at_end };
    enum action_e { send, close, drop };
    trigger_e trigger = at_start;
    std::size_t audio_bytes = 0;   // for after_audio: bytes of audio received since START
    int delay_ms = 0;
    action_e action = send;
    std::string text;              // for send
    std::uint16_t close_code = 1000;
};

struct recog_script {
    std::vector<recog_step> steps;

    recog_script& send_at_start(const std::string& text, int delay_ms = 0);
    recog_script& send_after_audio(std::size_t bytes, const std::string& text, int delay_ms = 0);
    recog_script& send_at_end(const std::string& text, int delay_ms = 0);
    recog_script& close_after_audio(std::size_t bytes, std::uint16_t code);
    recog_script& drop_after_audio(std::size_t bytes);
    recog_script& drop_at_start(int delay_ms = 0);
};

// Ready-made scripts.
recog_script recog_script_voice(const std::string& text, std::size_t audio_bytes);   // VOICE_START, RESULT
recog_script recog_script_silent();                                                   // START reply only

// The behaviour of one recognition connection running 'script'.
behaviour recog_behaviour(const recog_script& script);
// Picks the script by the domain of START's "property"; 'fallback' for unknown domains.
behaviour_factory recog_behaviour_by_domain(const std::map<std::string, recog_script>& scripts,
                                            const recog_script& fallback = recog_script_silent());

// For the fake-cloud program: connections to ".../sentence-stream" or ".../continue-stream" run
// recog_script_voice(text, audio_bytes); the others get 'others' (record_only when empty).
behaviour_factory recog_service_factory(const std::string& text, std::size_t audio_bytes,
                                        behaviour_factory others = behaviour_factory());

// What a connection received.
std::string recog_start_text(const ws_record& record);           // the first text message, "" when none
std::string recog_property(const std::string& start_text);       // START's config.property, "" when none
std::string recog_domain(const std::string& property);           // the text after "_8k_"
std::string recog_audio(const ws_record& record);                // every binary message, joined
std::size_t recog_end_count(const ws_record& record);            // END commands received
// Protocol faults of the client: START missing or not first, a second START, anything after END.
std::vector<std::string> recog_protocol_errors(const ws_record& record);

}  // namespace fakecloud
