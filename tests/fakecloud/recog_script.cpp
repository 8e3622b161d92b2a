#include "recog_script.h"

#include <json/json.h>

#include <memory>
#include <mutex>

namespace fakecloud {

namespace {

std::string compact(const Json::Value& value)
{
    Json::FastWriter writer;
    return writer.write(value);
}

Json::Value reply(const std::string& type)
{
    Json::Value v(Json::objectValue);
    v["resp_type"] = type;
    v["trace_id"] = "fake-trace";
    return v;
}

bool parse_object(const std::string& text, Json::Value& out)
{
    try {
        Json::Reader reader;
        return reader.parse(text, out, false) && out.isObject();
    } catch (const std::exception&) {
        return false;
    }
}

bool is_command(const ws_message& m, const char* name)
{
    if (m.binary)
        return false;
    Json::Value v;
    return parse_object(m.data, v) && v["command"].isString() && v["command"].asString() == name;
}

// Per-connection progress through the script.
struct script_state {
    std::mutex mutex;
    recog_script script;
    std::size_t next = 0;
    bool started = false;
    bool ended = false;
    bool busy = false;          // a delayed step is pending; later steps wait for it
    std::size_t audio = 0;      // bytes since START
};

bool triggered(const script_state& st, const recog_step& step)
{
    switch (step.trigger) {
    case recog_step::at_start:
        return st.started;
    case recog_step::after_audio:
        return st.started && st.audio >= step.audio_bytes;
    case recog_step::at_end:
        return st.ended;
    }
    return false;
}

void perform(session& s, const recog_step& step)
{
    switch (step.action) {
    case recog_step::send:
        s.send_text(step.text);
        break;
    case recog_step::close:
        s.close(step.close_code, "");
        break;
    case recog_step::drop:
        s.drop();
        break;
    }
}

void advance(const std::shared_ptr<script_state>& st, session& s)
{
    std::lock_guard<std::mutex> lock(st->mutex);
    while (!st->busy && st->next < st->script.steps.size() && triggered(*st, st->script.steps[st->next])) {
        recog_step step = st->script.steps[st->next++];
        if (step.delay_ms > 0) {
            st->busy = true;
            s.after(step.delay_ms, [st, step](session& later) {
                perform(later, step);
                {
                    std::lock_guard<std::mutex> relock(st->mutex);
                    st->busy = false;
                }
                advance(st, later);
            });
            return;
        }
        perform(s, step);
    }
}

behaviour run_script(const std::shared_ptr<script_state>& st)
{
    behaviour b;
    b.on_message = [st](session& s, const ws_message& m) {
        {
            std::lock_guard<std::mutex> lock(st->mutex);
            if (m.binary) {
                if (st->started)
                    st->audio += m.data.size();
            } else if (is_command(m, "START")) {
                st->started = true;
            } else if (is_command(m, "END")) {
                st->ended = true;
            }
        }
        advance(st, s);
    };
    return b;
}

}  // namespace

std::string recog_reply_start()
{
    return compact(reply("START"));
}

std::string recog_reply_event(const std::string& event)
{
    Json::Value v = reply("EVENT");
    v["event"] = event;
    return compact(v);
}

std::string recog_reply_result(const std::vector<recog_segment>& segments)
{
    Json::Value v = reply("RESULT");
    Json::Value list(Json::arrayValue);
    for (const recog_segment& seg : segments) {
        Json::Value item(Json::objectValue);
        item["start_time"] = seg.start_time;
        item["end_time"] = seg.end_time;
        item["result"]["score"] = seg.score;
        item["result"]["text"] = seg.text;
        list.append(item);
    }
    v["segments"] = list;
    return compact(v);
}

std::string recog_reply_error(const std::string& error_code, bool fatal)
{
    Json::Value v = reply(fatal ? "FATAL_ERROR" : "ERROR");
    v["error_code"] = error_code;
    return compact(v);
}

std::string recog_reply_end(const std::string& reason)
{
    Json::Value v = reply("END");
    v["reason"] = reason;
    return compact(v);
}

recog_script& recog_script::send_at_start(const std::string& text, int delay_ms)
{
    recog_step step;
    step.trigger = recog_step::at_start;
    step.delay_ms = delay_ms;
    step.text = text;
    steps.push_back(step);
    return *this;
}

recog_script& recog_script::send_after_audio(std::size_t bytes, const std::string& text, int delay_ms)
{
    recog_step step;
    step.trigger = recog_step::after_audio;
    step.audio_bytes = bytes;
    step.delay_ms = delay_ms;
    step.text = text;
    steps.push_back(step);
    return *this;
}

recog_script& recog_script::send_at_end(const std::string& text, int delay_ms)
{
    recog_step step;
    step.trigger = recog_step::at_end;
    step.delay_ms = delay_ms;
    step.text = text;
    steps.push_back(step);
    return *this;
}

recog_script& recog_script::close_after_audio(std::size_t bytes, std::uint16_t code)
{
    recog_step step;
    step.trigger = recog_step::after_audio;
    step.audio_bytes = bytes;
    step.action = recog_step::close;
    step.close_code = code;
    steps.push_back(step);
    return *this;
}

recog_script& recog_script::drop_after_audio(std::size_t bytes)
{
    recog_step step;
    step.trigger = recog_step::after_audio;
    step.audio_bytes = bytes;
    step.action = recog_step::drop;
    steps.push_back(step);
    return *this;
}

recog_script& recog_script::drop_at_start(int delay_ms)
{
    recog_step step;
    step.trigger = recog_step::at_start;
    step.delay_ms = delay_ms;
    step.action = recog_step::drop;
    steps.push_back(step);
    return *this;
}

recog_script recog_script_voice(const std::string& text, std::size_t audio_bytes)
{
    recog_segment seg;
    seg.start_time = 0;
    seg.end_time = 1200;
    seg.score = 0.5;
    seg.text = text;
    recog_script script;
    script.send_at_start(recog_reply_start())
        .send_after_audio(1, recog_reply_event("VOICE_START"))
        .send_after_audio(audio_bytes, recog_reply_event("VOICE_END"))
        .send_after_audio(audio_bytes, recog_reply_result({seg}));
    return script;
}

recog_script recog_script_silent()
{
    recog_script script;
    script.send_at_start(recog_reply_start());
    return script;
}

behaviour recog_behaviour(const recog_script& script)
{
    auto st = std::make_shared<script_state>();
    st->script = script;
    return run_script(st);
}

behaviour_factory recog_behaviour_by_domain(const std::map<std::string, recog_script>& scripts,
                                            const recog_script& fallback)
{
    return [scripts, fallback](const ws_record&) {
        // The script is known only once START names the domain.
        auto st = std::make_shared<script_state>();
        auto chosen = std::make_shared<bool>(false);
        behaviour inner = run_script(st);
        behaviour b;
        b.on_message = [st, chosen, inner, scripts, fallback](session& s, const ws_message& m) {
            {
                std::lock_guard<std::mutex> lock(st->mutex);
                if (!*chosen && !m.binary) {
                    Json::Value v;
                    if (parse_object(m.data, v) && v["command"].isString() && v["command"].asString() == "START") {
                        std::string domain = recog_domain(recog_property(m.data));
                        auto it = scripts.find(domain);
                        st->script = it == scripts.end() ? fallback : it->second;
                        *chosen = true;
                    }
                }
            }
            inner.on_message(s, m);
        };
        return b;
    };
}

behaviour_factory recog_service_factory(const std::string& text, std::size_t audio_bytes, behaviour_factory others)
{
    return [text, audio_bytes, others](const ws_record& record) {
        const std::string& path = record.resource;
        bool recognition = path.find("sentence-stream") != std::string::npos ||
                           path.find("continue-stream") != std::string::npos;
        if (recognition)
            return recog_behaviour(recog_script_voice(text, audio_bytes));
        return others ? others(record) : record_only();
    };
}

std::string recog_start_text(const ws_record& record)
{
    for (const ws_message& m : record.messages)
        if (!m.binary)
            return m.data;
    return std::string();
}

std::string recog_property(const std::string& start_text)
{
    Json::Value v;
    if (!parse_object(start_text, v) || !v["config"].isObject() || !v["config"]["property"].isString())
        return std::string();
    return v["config"]["property"].asString();
}

std::string recog_domain(const std::string& property)
{
    std::size_t pos = property.find("_8k_");
    return pos == std::string::npos ? std::string() : property.substr(pos + 4);
}

std::string recog_audio(const ws_record& record)
{
    std::string audio;
    for (const ws_message& m : record.messages)
        if (m.binary)
            audio += m.data;
    return audio;
}

std::size_t recog_end_count(const ws_record& record)
{
    std::size_t n = 0;
    for (const ws_message& m : record.messages)
        if (is_command(m, "END"))
            ++n;
    return n;
}

std::vector<std::string> recog_protocol_errors(const ws_record& record)
{
    std::vector<std::string> errors;
    bool started = false;
    bool ended = false;
    for (std::size_t i = 0; i < record.messages.size(); ++i) {
        const ws_message& m = record.messages[i];
        std::string where = "message " + std::to_string(i + 1) + ": ";
        if (ended) {
            errors.push_back(where + "received after END");
            continue;
        }
        bool start = is_command(m, "START");
        if (i == 0 && !start)
            errors.push_back(where + "the first message is not START");
        else if (i > 0 && start)
            errors.push_back(where + "a second START");
        if (start)
            started = true;
        if (is_command(m, "END"))
            ended = true;
    }
    if (!started && record.opened && !record.messages.empty())
        errors.push_back("no START received");
    return errors;
}

}  // namespace fakecloud
