#include "synth_script.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <chrono>
#include <memory>

#include <json/json.h>

namespace fakecloud {

namespace {

bool read_json_object(const std::string& text, Json::Value& root)
{
    try {
        Json::Reader reader;
        return reader.parse(text, root, false) && root.isObject();
    } catch (const std::exception&) {
        return false;
    }
}

std::string reply(const std::string& type, const std::string& trace_id, const char* key = nullptr,
                  const std::string& value = std::string())
{
    Json::Value root(Json::objectValue);
    root["resp_type"] = type;
    root["trace_id"] = trace_id;
    if (key)
        root[key] = value;
    return Json::FastWriter().write(root);
}

// Per connection: where the audio stands and whether the START came.
struct synth_state {
    synth_script script;
    bool started = false;
    std::size_t sent = 0;
    double bytes_per_second = 16000;                   // 16-bit samples at the START's rate
    std::chrono::steady_clock::time_point audio_start;  // for paced scripts
};

// Milliseconds until the audio sent so far is due to have played, at the script's speed.
int paced_delay_ms(const synth_state& state)
{
    auto due = state.audio_start + std::chrono::microseconds(static_cast<long long>(
                                       1e6 * static_cast<double>(state.sent) / (state.bytes_per_second * state.script.speed)));
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<long long>(0, left.count()));
}

void send_end(session& s, const synth_script& script)
{
    switch (script.end) {
    case synth_script::end_normal:
        s.send_text(reply("END", script.trace_id, "reason", "NORMAL"));
        break;
    case synth_script::end_reason:
        s.send_text(reply("END", script.trace_id, "reason", script.reason));
        break;
    case synth_script::end_without_reason:
        s.send_text(reply("END", script.trace_id));
        break;
    case synth_script::error:
        s.send_text(reply("ERROR", script.trace_id, "error_code", script.error_code));
        break;
    case synth_script::fatal_error:
        s.send_text(reply("FATAL_ERROR", script.trace_id, "error_code", script.error_code));
        break;
    case synth_script::silent:
        break;
    case synth_script::close_no_end:
        s.close(1000, "service closed");
        break;
    case synth_script::drop:
        s.drop();
        break;
    }
}

// Sends the next chunk (or every chunk), then the end; paced scripts come back through after().
void send_audio(session& s, const std::shared_ptr<synth_state>& state)
{
    const synth_script& script = state->script;
    const std::size_t chunk = script.chunk_bytes ? script.chunk_bytes : script.audio.size();
    while (state->sent < script.audio.size()) {
        std::string piece = script.audio.substr(state->sent, chunk);
        state->sent += piece.size();
        if (!s.send_binary(piece))
            return;  // the client has gone
        if (script.audio_sent)
            *script.audio_sent += piece.size();
        if (script.speed > 0 && state->sent < script.audio.size()) {
            s.after(paced_delay_ms(*state), [state](session& later) { send_audio(later, state); });
            return;
        }
        if (script.chunk_interval_ms > 0 && state->sent < script.audio.size()) {
            s.after(script.chunk_interval_ms, [state](session& later) { send_audio(later, state); });
            return;
        }
    }
    send_end(s, script);
}

// What the flood keeps queued at most: the rest waits for the client to read.
const std::size_t FLOOD_QUEUE_BYTES = 64 * 1024;

void flood(session& s, const std::shared_ptr<synth_state>& state, std::chrono::steady_clock::time_point until)
{
    const synth_script& script = state->script;
    const std::string piece = synth_audio_pattern(script.chunk_bytes ? script.chunk_bytes : 1600, 5);
    while (s.buffered_amount() < FLOOD_QUEUE_BYTES) {
        if (std::chrono::steady_clock::now() >= until) {
            send_end(s, script);
            return;
        }
        if (!s.send_binary(piece))
            return;
        if (script.audio_sent)
            *script.audio_sent += piece.size();
    }
    s.after(1, [state, until](session& later) { flood(later, state, until); });
}

}  // namespace

synth_start parse_synth_start(const std::string& message)
{
    synth_start start;
    Json::Value root;
    if (!read_json_object(message, root)) {
        start.error = "not a JSON object";
        return start;
    }
    if (!root["command"].isString() || root["command"].asString() != "START") {
        start.error = "command is not \"START\"";
        return start;
    }
    const Json::Value& config = root["config"];
    if (!config.isObject()) {
        start.error = "config is not an object";
        return start;
    }
    struct member {
        const char* name;
        bool integer;
    };
    static const member members[] = {{"audio_format", false}, {"pitch", true}, {"property", false},
                                     {"sample_rate", false},  {"speed", true}, {"tagmode", false},
                                     {"volume", true}};
    for (const member& m : members) {
        const Json::Value& v = config[m.name];
        if (m.integer ? !v.isInt64() : !v.isString()) {
            start.error = std::string("config.") + m.name + " missing or of the wrong type";
            return start;
        }
    }
    if (!root["text"].isString()) {
        start.error = "text missing or not a string";
        return start;
    }
    start.audio_format = config["audio_format"].asString();
    start.pitch = config["pitch"].asInt64();
    start.property = config["property"].asString();
    start.sample_rate = config["sample_rate"].asString();
    start.speed = config["speed"].asInt64();
    start.tagmode = config["tagmode"].asString();
    start.volume = config["volume"].asInt64();
    start.text = root["text"].asString();
    start.valid = true;
    return start;
}

bool is_synth_end(const std::string& message)
{
    Json::Value root;
    return read_json_object(message, root) && root.size() == 1 && root["command"].isString() &&
           root["command"].asString() == "END";
}

std::string synth_audio_pattern(std::size_t bytes, unsigned seed)
{
    // A step of its own per seed: no stretch of one pattern appears in another.
    std::size_t step = (7 + seed * 13) % 251;
    if (step == 0)
        step = 1;
    std::string audio(bytes, '\0');
    for (std::size_t i = 0; i < bytes; i++)
        audio[i] = static_cast<char>(1 + (i * step + seed) % 251);
    return audio;
}

behaviour synth_behaviour(const synth_script& script)
{
    auto state = std::make_shared<synth_state>();
    state->script = script;
    behaviour b;
    b.on_message = [state](session& s, const ws_message& m) {
        if (m.binary)
            return;
        const synth_script& sc = state->script;
        if (!state->started) {
            synth_start start = parse_synth_start(m.data);
            if (!start.valid) {
                s.send_text(reply("ERROR", sc.trace_id, "error_code", "bad START: " + start.error));
                return;
            }
            state->started = true;
            if (sc.deaf) {
                /* The read already pending takes the client's answer to the ping, and is the last. */
                s.pause_reading();
                s.ping("");
            }
            if (sc.audio_for)
                state->script.audio = sc.audio_for(start);
            long rate = std::atol(start.sample_rate.c_str());
            if (rate > 0)
                state->bytes_per_second = 2.0 * static_cast<double>(rate);
            state->audio_start = std::chrono::steady_clock::now();
            if (!sc.reply_start)
                return;
            s.send_text(reply("START", sc.trace_id));
            if (!sc.text_after_start.empty())
                s.send_text(sc.text_after_start);
            if (sc.flood_ms > 0)
                flood(s, state, std::chrono::steady_clock::now() + std::chrono::milliseconds(sc.flood_ms));
            else
                send_audio(s, state);
            return;
        }
        if (is_synth_end(m.data) && !sc.late_audio.empty()) {
            s.send_binary(sc.late_audio);
            s.send_text(reply("END", sc.trace_id, "reason", "NORMAL"));
        }
    };
    return b;
}

behaviour_factory synth_factory(const synth_script& script)
{
    return [script](const ws_record&) { return synth_behaviour(script); };
}

}  // namespace fakecloud
