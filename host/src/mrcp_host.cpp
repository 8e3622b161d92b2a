// The host: plug-in loading, the engine and channel event tables, requests, collected messages and the log capture.
#include "mrcp_host.h"

#include <dlfcn.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <chrono>

#include "mrcp_recog_header.h"
#include "mrcp_synth_header.h"

namespace mrcphost {

namespace {

std::chrono::steady_clock::time_point deadline_after(int timeout_ms)
{
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
}

std::string trim(const std::string& text)
{
    size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos)
        return "";
    size_t end = text.find_last_not_of(" \t\r\n");
    return text.substr(begin, end - begin + 1);
}

std::string str_of(const apt_str_t& str)
{
    return str.buf ? std::string(str.buf, str.length) : std::string();
}

// The logger's capture hook: formats the record and hands it to the capture.
apt_bool_t capture_handler(const char*, int, const char*, apt_log_priority_e priority, const char* format,
                           va_list arg_ptr)
{
    va_list copy;
    va_copy(copy, arg_ptr);
    char small[1024];
    int length = vsnprintf(small, sizeof(small), format, copy);
    va_end(copy);
    std::string text;
    if (length < 0) {
        text = format;
    } else if ((size_t)length < sizeof(small)) {
        text.assign(small, (size_t)length);
    } else {
        std::vector<char> big((size_t)length + 1);
        vsnprintf(big.data(), big.size(), format, arg_ptr);
        text.assign(big.data(), (size_t)length);
    }
    log_capture::raw_instance().add(priority, text);
    return TRUE;
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------------

void host_initialize()
{
    static std::once_flag once;
    std::call_once(once, [] {
        apr_initialize();
        apt_log_instance_create(APT_LOG_OUTPUT_CONSOLE, APT_PRIO_DEBUG, NULL);
        log_capture::instance();
    });
}

const char* priority_name(apt_log_priority_e priority)
{
    static const char* const names[] = {"EMERGENCY", "ALERT", "CRITICAL", "ERROR",
                                        "WARNING",   "NOTICE", "INFO",    "DEBUG"};
    return (unsigned)priority < APT_PRIO_COUNT ? names[priority] : "UNKNOWN";
}

log_capture& log_capture::raw_instance()
{
    static log_capture* capture = new log_capture();  // never destroyed: plug-in threads may log at exit
    return *capture;
}

log_capture& log_capture::instance()
{
    // Installed again on every use, so that a test helper that took the hook over and dropped it does not
    // leave the host without its capture.
    log_capture& capture = raw_instance();
    apt_log_ext_handler_set(capture_handler);
    return capture;
}

log_capture::log_capture() {}

void log_capture::set_quiet(bool quiet)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_quiet = quiet;
}

void log_capture::set_priority(apt_log_priority_e priority)
{
    // The logger is made on the host's set-up, at debug: set up first, or a priority set by a program
    // before its first plug-in would be lost there.
    host_initialize();
    apt_log_priority_set(priority);
}

void log_capture::add(apt_log_priority_e priority, const std::string& text)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    // A bound, so that a long run with debug records per frame cannot grow without end.
    if (m_records.size() >= 200000)
        m_records.erase(m_records.begin(), m_records.begin() + 100000);
    m_records.push_back(log_record{priority, text});
    if (!m_quiet)
        fprintf(stderr, "[%s] %s\n", priority_name(priority), text.c_str());
    m_cv.notify_all();
}

std::vector<log_record> log_capture::records() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_records;
}

size_t log_capture::count(const std::string& text, apt_log_priority_e max_priority) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t n = 0;
    for (const log_record& record : m_records)
        if (record.priority <= max_priority && record.text.find(text) != std::string::npos)
            n++;
    return n;
}

bool log_capture::contains(const std::string& text, apt_log_priority_e max_priority) const
{
    return count(text, max_priority) > 0;
}

bool log_capture::wait_for(const std::string& text, int timeout_ms, apt_log_priority_e max_priority) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    size_t checked = 0;
    auto found = [&] {
        for (; checked < m_records.size(); checked++) {
            const log_record& record = m_records[checked];
            if (record.priority <= max_priority && record.text.find(text) != std::string::npos)
                return true;
        }
        return false;
    };
    bool result = m_cv.wait_until(lock, deadline_after(timeout_ms), [&] {
        if (checked > m_records.size())
            checked = 0;  // trimmed meanwhile
        return found();
    });
    return result;
}

void log_capture::clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_records.clear();
}

std::string log_capture::dump() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string out;
    for (const log_record& record : m_records)
        out += std::string(priority_name(record.priority)) + " " + record.text + "\n";
    return out;
}

// ---------------------------------------------------------------------------------------------------------------

const char* request_state_name(mrcp_request_state_e state)
{
    switch (state) {
    case MRCP_REQUEST_STATE_COMPLETE: return "COMPLETE";
    case MRCP_REQUEST_STATE_INPROGRESS: return "IN-PROGRESS";
    case MRCP_REQUEST_STATE_PENDING: return "PENDING";
    default: break;
    }
    return "UNKNOWN";
}

const char* open_answer_name(open_answer answer)
{
    switch (answer) {
    case open_answer::success: return "TRUE";
    case open_answer::failure: return "FALSE";
    default: break;
    }
    return "NO-ANSWER";
}

bool message_record::has_field(const std::string& field_name) const
{
    for (const auto& f : fields)
        if (strcasecmp(f.first.c_str(), field_name.c_str()) == 0)
            return true;
    return false;
}

std::string message_record::field(const std::string& field_name) const
{
    for (const auto& f : fields)
        if (strcasecmp(f.first.c_str(), field_name.c_str()) == 0)
            return f.second;
    return "";
}

std::string message_record::line() const
{
    std::string out = is_event() ? "EVENT " : is_response() ? "RESPONSE " : "MESSAGE ";
    out += name.empty() ? std::string("?") : name;
    out += " channel=" + channel_id;
    out += " request-id=" + std::to_string(request_id);
    out += " status=" + std::to_string(status_code);
    out += std::string(" state=") + request_state_name(request_state);
    out += " cause=" + (completion_cause < 0 ? std::string("-") : std::to_string(completion_cause));
    out += " headers={";
    for (size_t i = 0; i < fields.size(); i++) {
        if (i)
            out += "; ";
        out += fields[i].first + ": " + fields[i].second;
    }
    out += "} body=<";
    for (char c : body) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
    out += ">";
    return out;
}

// ---------------------------------------------------------------------------------------------------------------
// Plug-in

plugin::plugin(const plugin_options& options) : m_options(options)
{
    host_initialize();
    if (m_options.name.empty()) {
        std::string base = m_options.path.substr(m_options.path.find_last_of('/') + 1);
        m_options.name = base.substr(0, base.find('.'));
    }
    m_config.max_channel_count = 0;
    m_config.params = nullptr;
}

plugin::~plugin()
{
    unload();
}

apt_bool_t plugin::event_on_open(mrcp_engine_t* engine, apt_bool_t status)
{
    plugin* self = static_cast<plugin*>(engine->event_obj);
    engine->is_open = status;
    {
        std::lock_guard<std::mutex> lock(self->m_mutex);
        self->m_open_answer = status ? open_answer::success : open_answer::failure;
        self->m_cv.notify_all();  // under the lock: the waiter may destroy us at once
    }
    return TRUE;
}

apt_bool_t plugin::event_on_close(mrcp_engine_t* engine)
{
    plugin* self = static_cast<plugin*>(engine->event_obj);
    engine->is_open = FALSE;
    {
        std::lock_guard<std::mutex> lock(self->m_mutex);
        self->m_close_answered = true;
        self->m_cv.notify_all();  // under the lock: the waiter may destroy us at once
    }
    return TRUE;
}

bool plugin::load(std::string* error)
{
    auto fail = [&](const std::string& text) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "host: %s", text.c_str());
        if (error)
            *error = text;
        unload();
        return false;
    };
    if (m_engine)
        return true;
    m_handle = dlopen(m_options.path.c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (!m_handle) {
        const char* text = dlerror();
        return fail(std::string("cannot load ") + m_options.path + ": " + (text ? text : "?"));
    }
    const mrcp_plugin_version_t* version =
        static_cast<const mrcp_plugin_version_t*>(dlsym(m_handle, MRCP_PLUGIN_VERSION_SYM_NAME));
    if (!version)
        return fail(m_options.path + " has no " MRCP_PLUGIN_VERSION_SYM_NAME);
    if (!mrcp_plugin_version_check(version))
        return fail(m_options.path + " was built for a newer server: " + std::to_string(version->major) + "." +
                    std::to_string(version->minor) + "." + std::to_string(version->patch));
    mrcp_plugin_creator_f creator = reinterpret_cast<mrcp_plugin_creator_f>(dlsym(m_handle, MRCP_PLUGIN_ENGINE_SYM_NAME));
    if (!creator)
        return fail(m_options.path + " has no " MRCP_PLUGIN_ENGINE_SYM_NAME);
    mrcp_plugin_log_accessor_f logger_set =
        reinterpret_cast<mrcp_plugin_log_accessor_f>(dlsym(m_handle, MRCP_PLUGIN_LOGGER_SYM_NAME));
    if (logger_set) {
        logger_set(apt_log_instance_get());
        mrcp_plugin_log_source_accessor_f log_source_set =
            reinterpret_cast<mrcp_plugin_log_source_accessor_f>(dlsym(m_handle, MRCP_PLUGIN_LOG_SOURCE_SYM_NAME));
        if (log_source_set)
            log_source_set(&def_log_source);
    }

    apr_pool_create(&m_pool, nullptr);
    m_engine = creator(m_pool);
    if (!m_engine)
        return fail(m_options.path + ": " MRCP_PLUGIN_ENGINE_SYM_NAME " gave no engine");

    static const mrcp_engine_event_vtable_t engine_events = {plugin::event_on_open, plugin::event_on_close};
    m_config.max_channel_count = m_options.max_channel_count;
    m_config.params = apr_table_make(m_pool, 4);
    for (const auto& param : m_options.params)
        apr_table_set(m_config.params, param.first.c_str(), param.second.c_str());
    std::string plugin_dir = m_options.path.find('/') == std::string::npos
                                 ? std::string(".")
                                 : m_options.path.substr(0, m_options.path.find_last_of('/'));
    auto dir = [](const std::string& path) { return path.empty() ? nullptr : path.c_str(); };
    m_engine->id = apr_pstrdup(m_pool, m_options.name.c_str());
    m_engine->config = &m_config;
    m_engine->dir_layout = apt_custom_dir_layout_create(dir(m_options.conf_dir), plugin_dir.c_str(),
                                                        dir(m_options.log_dir), dir(m_options.data_dir),
                                                        dir(m_options.var_dir), m_pool);
    m_engine->event_vtable = &engine_events;
    m_engine->event_obj = this;
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "host: loaded %s as engine %s", m_options.path.c_str(), m_engine->id);
    return true;
}

const mrcp_resource_t* plugin::resource() const
{
    return m_engine ? mrcp_resource_get(m_engine->resource_id) : nullptr;
}

bool plugin::open(int timeout_ms)
{
    if (!m_engine)
        return false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_open_called)
            return m_open_answer == open_answer::success;
        m_open_called = true;
    }
    apt_bool_t called = m_engine->method_vtable->open ? m_engine->method_vtable->open(m_engine) : FALSE;
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!called && m_open_answer == open_answer::none) {
        apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "host: engine %s open failed without an answer", m_engine->id);
        return false;
    }
    if (!m_cv.wait_until(lock, deadline_after(timeout_ms), [this] { return m_open_answer != open_answer::none; }))
        apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "host: engine %s open not answered", m_engine->id);
    return m_open_answer == open_answer::success;
}

open_answer plugin::open_result() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_open_answer;
}

bool plugin::close(int timeout_ms)
{
    if (!m_engine)
        return false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_open_answer != open_answer::success)
            return false;
        if (m_close_answered)
            return true;
    }
    m_channels.clear();
    m_engine->cur_channel_count = 0;
    if (m_engine->method_vtable->close)
        m_engine->method_vtable->close(m_engine);
    std::unique_lock<std::mutex> lock(m_mutex);
    bool answered = m_cv.wait_until(lock, deadline_after(timeout_ms), [this] { return m_close_answered; });
    if (!answered)
        apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "host: engine %s close not answered", m_engine->id);
    return answered;
}

static std::mutex& channels_mutex();

void plugin::unload()
{
    std::vector<std::unique_ptr<channel>> channels;
    {
        std::lock_guard<std::mutex> lock(channels_mutex());
        channels.swap(m_channels);
    }
    for (std::unique_ptr<channel>& ch : channels)
        retire(std::move(ch));
    if (m_engine) {
        bool open;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            open = m_open_answer == open_answer::success && !m_close_answered;
        }
        if (open)
            close();
    }
    // The engine's tasks have ended (or will answer no more): what was kept goes now.
    std::vector<std::unique_ptr<channel>> kept;
    {
        std::lock_guard<std::mutex> lock(channels_mutex());
        kept.swap(m_kept);
    }
    kept.clear();
    if (m_engine) {
        if (m_engine->method_vtable->destroy)
            m_engine->method_vtable->destroy(m_engine);
        apt_log(APT_LOG_MARK, APT_PRIO_INFO, "host: unloaded engine %s", m_engine->id);
        m_engine = nullptr;
    }
    if (m_pool) {
        apr_pool_destroy(m_pool);
        m_pool = nullptr;
    }
    if (m_handle) {
        dlclose(m_handle);
        m_handle = nullptr;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_open_answer = open_answer::none;
    m_open_called = false;
    m_close_answered = false;
}

// Sessions come and go on threads of their own, as in a server: the channel tables are changed under this
// lock, while a channel itself is created and destroyed outside it (both wait for the plug-in).
static std::mutex& channels_mutex()
{
    static std::mutex m;
    return m;
}

channel* plugin::create_channel(const std::string& id, mrcp_version_e version)
{
    if (!m_engine || find_channel(id))
        return nullptr;
    {
        std::lock_guard<std::mutex> lock(channels_mutex());
        if (m_config.max_channel_count && m_engine->cur_channel_count >= m_config.max_channel_count) {
            apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "host: engine %s has no channel left for %s", m_engine->id,
                    id.c_str());
            return nullptr;
        }
        m_engine->cur_channel_count++;
    }
    std::unique_ptr<channel> ch(new channel(this, id, version));
    bool created = ch->create();
    std::lock_guard<std::mutex> lock(channels_mutex());
    if (!created) {
        m_engine->cur_channel_count--;
        return nullptr;
    }
    m_channels.push_back(std::move(ch));
    return m_channels.back().get();
}

channel* plugin::find_channel(const std::string& id) const
{
    std::lock_guard<std::mutex> lock(channels_mutex());
    for (const auto& ch : m_channels)
        if (ch->id() == id)
            return ch.get();
    return nullptr;
}

void plugin::destroy_channel(const std::string& id)
{
    std::unique_ptr<channel> gone;
    {
        std::lock_guard<std::mutex> lock(channels_mutex());
        for (auto it = m_channels.begin(); it != m_channels.end(); ++it) {
            if ((*it)->id() == id) {
                gone = std::move(*it);
                m_channels.erase(it);
                m_engine->cur_channel_count--;
                break;
            }
        }
    }
    if (gone)
        retire(std::move(gone));
}

// The server never destroys a channel whose close it has not seen answered: the plug-in may still be
// working on it. Such a channel is kept until the plug-in is unloaded.
void plugin::retire(std::unique_ptr<channel> ch)
{
    if (ch->settle())
        return;
    apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "host: channel %s close not answered, kept", ch->id().c_str());
    std::lock_guard<std::mutex> lock(channels_mutex());
    m_kept.push_back(std::move(ch));
}

// ---------------------------------------------------------------------------------------------------------------
// Channel

channel::channel(plugin* owner, const std::string& id, mrcp_version_e version)
    : m_plugin(owner), m_id(id), m_version(version)
{
    memset(&m_descriptor, 0, sizeof(m_descriptor));
}

channel::~channel()
{
    bool open;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        open = m_open_answer == open_answer::success && !m_closed;
    }
    if (open)
        close();
    stop_media();
    if (m_channel) {
        if (m_channel->method_vtable->destroy)
            m_channel->method_vtable->destroy(m_channel);
        mpf_audio_stream_t* s = stream();
        if (s && s->vtable->destroy)
            s->vtable->destroy(s);
        m_channel = nullptr;
    }
    if (m_pool)
        apr_pool_destroy(m_pool);
}

bool channel::create()
{
    mrcp_engine_t* engine = m_plugin->engine();
    if (!engine->method_vtable->create_channel)
        return false;
    apr_pool_create(&m_pool, m_plugin->m_pool);
    mrcp_engine_channel_identity_set(m_pool, m_id.c_str(), m_version);
    m_channel = engine->method_vtable->create_channel(engine, m_pool);
    if (!m_channel) {
        apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "host: engine %s gave no channel for %s", engine->id, m_id.c_str());
        return false;
    }
    static const mrcp_engine_channel_event_vtable_t channel_events = {channel::event_on_open, channel::event_on_close,
                                                                      channel::event_on_message};
    m_channel->event_vtable = &channel_events;
    m_channel->event_obj = this;
    if (apt_string_is_empty(&m_channel->id))
        apt_string_assign(&m_channel->id, m_id.c_str(), m_pool);
    m_channel->mrcp_version = m_version;
    set_codec(8000);
    return true;
}

mpf_audio_stream_t* channel::stream() const
{
    return m_channel && m_channel->termination ? mpf_termination_audio_stream_get(m_channel->termination) : nullptr;
}

bool channel::is_open() const
{
    return m_channel && __atomic_load_n(&m_channel->is_open, __ATOMIC_ACQUIRE);
}

bool channel::set_codec(apr_uint16_t sampling_rate)
{
    mpf_audio_stream_t* s = stream();
    if (!s || media_running())
        return false;
    if (sampling_rate != 0 && sampling_rate != 8000 && sampling_rate != 16000)
        return false;
    m_sampling_rate = sampling_rate;
    mpf_codec_descriptor_t* descriptor = nullptr;
    if (sampling_rate) {
        m_descriptor.payload_type = 96;
        apt_string_set(&m_descriptor.name, "LPCM");
        m_descriptor.sampling_rate = sampling_rate;
        m_descriptor.channel_count = 1;
        apt_string_reset(&m_descriptor.format);
        m_descriptor.enabled = TRUE;
        descriptor = &m_descriptor;
    }
    if (s->direction & STREAM_DIRECTION_SEND)
        s->tx_descriptor = descriptor;
    if (s->direction & STREAM_DIRECTION_RECEIVE)
        s->rx_descriptor = descriptor;
    return true;
}

apt_bool_t channel::event_on_open(mrcp_engine_channel_t* engine_channel, apt_bool_t status)
{
    static_cast<channel*>(engine_channel->event_obj)->on_open(status);
    return TRUE;
}

apt_bool_t channel::event_on_close(mrcp_engine_channel_t* engine_channel)
{
    static_cast<channel*>(engine_channel->event_obj)->on_close();
    return TRUE;
}

apt_bool_t channel::event_on_message(mrcp_engine_channel_t* engine_channel, mrcp_message_t* message)
{
    if (!message)
        return FALSE;
    static_cast<channel*>(engine_channel->event_obj)->on_message(message);
    return TRUE;
}

void channel::on_open(apt_bool_t status)
{
    // The open flag follows the plug-in's answer.
    // Atomic: the plug-in's tasks read the flag while the server's threads set and clear it.
    __atomic_store_n(&m_channel->is_open, status ? TRUE : FALSE, __ATOMIC_RELEASE);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open_answer = status ? open_answer::success : open_answer::failure;
        m_cv.notify_all();  // under the lock: the waiter may destroy us at once
    }
}

void channel::on_close()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_close_answered = true;
        m_cv.notify_all();  // under the lock: the waiter may destroy us at once
    }
}

void channel::on_message(mrcp_message_t* message)
{
    message_record record;
    record.channel_id = m_id;
    record.type = message->start_line.message_type;
    record.name = str_of(message->start_line.method_name);
    record.method_id = message->start_line.method_id;
    record.request_id = message->start_line.request_id;
    record.status_code = message->start_line.status_code;
    record.request_state = message->start_line.request_state;
    for (apt_header_field_t* f = mrcp_message_next_header_field_get(message, nullptr); f;
         f = mrcp_message_next_header_field_get(message, f))
        record.fields.emplace_back(str_of(f->name), str_of(f->value));
    record.body = str_of(message->body);
    const void* resource_header = mrcp_resource_header_get(message);
    if (resource_header && message->resource) {
        if (message->resource->id == MRCP_RECOGNIZER_RESOURCE &&
            mrcp_resource_header_property_check(message, RECOGNIZER_HEADER_COMPLETION_CAUSE))
            record.completion_cause = static_cast<const mrcp_recog_header_t*>(resource_header)->completion_cause;
        else if (message->resource->id == MRCP_SYNTHESIZER_RESOURCE &&
                 mrcp_resource_header_property_check(message, SYNTHESIZER_HEADER_COMPLETION_CAUSE))
            record.completion_cause = static_cast<const mrcp_synth_header_t*>(resource_header)->completion_cause;
    }
    std::function<void(const message_record&)> listener;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_messages.push_back(record);
        m_taken.push_back(false);
        listener = m_listener;
        m_cv.notify_all();  // under the lock: the waiter may destroy us at once
    }
    if (listener)
        listener(record);
}

bool channel::open(int timeout_ms, bool auto_media)
{
    if (!m_channel)
        return false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_open_answer != open_answer::none)
            return m_open_answer == open_answer::success;
    }
    apt_bool_t called = m_channel->method_vtable->open ? m_channel->method_vtable->open(m_channel) : FALSE;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!called && m_open_answer == open_answer::none) {
            apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "host: channel %s open failed without an answer", m_id.c_str());
            return false;
        }
        if (!m_cv.wait_until(lock, deadline_after(timeout_ms), [this] { return m_open_answer != open_answer::none; })) {
            apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "host: channel %s open not answered", m_id.c_str());
            return false;
        }
        if (m_open_answer != open_answer::success)
            return false;
    }
    if (auto_media)
        start_media();
    return true;
}

open_answer channel::open_result() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_open_answer;
}

bool channel::close(int timeout_ms)
{
    if (!m_channel)
        return false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closed)
            return m_close_answered;
        m_closed = true;
    }
    stop_media();
    __atomic_store_n(&m_channel->is_open, FALSE, __ATOMIC_RELEASE);
    if (m_channel->method_vtable->close)
        m_channel->method_vtable->close(m_channel);
    std::unique_lock<std::mutex> lock(m_mutex);
    bool answered = m_cv.wait_until(lock, deadline_after(timeout_ms), [this] { return m_close_answered; });
    if (!answered)
        apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "host: channel %s close not answered", m_id.c_str());
    return answered;
}

bool channel::close_answered() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_close_answered;
}

bool channel::settle()
{
    bool open;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        open = m_open_answer == open_answer::success && !m_closed;
    }
    if (open)
        close();
    std::lock_guard<std::mutex> lock(m_mutex);
    return !m_closed || m_close_answered;
}

mrcp_message_t* channel::create_request(const std::string& method, const std::vector<std::string>& header_lines,
                                        const std::string& body, std::string* error)
{
    auto fail = [&](const std::string& text) -> mrcp_message_t* {
        if (error)
            *error = text;
        return nullptr;
    };
    const mrcp_resource_t* resource = m_plugin->resource();
    if (!m_channel || !resource)
        return fail("no channel");
    mrcp_method_id method_id = resource->method_count;
    for (mrcp_method_id i = 0; i < resource->method_count; i++)
        if (strcasecmp(resource->method_names[i].buf, method.c_str()) == 0)
            method_id = i;
    if (method_id == resource->method_count)
        return fail("unknown method " + method + " for " + str_of(resource->name));

    // Each request has a pool of its own, freed with the channel: the plug-in keeps requests and makes
    // responses and events from their pools long after they were sent.
    apr_pool_t* pool = nullptr;
    apr_pool_create(&pool, m_pool);
    mrcp_message_t* request = mrcp_request_create(resource, m_version, method_id, pool);
    apt_string_assign(&request->channel_id.session_id, m_id.c_str(), pool);
    bool has_length = false;
    for (const std::string& line : header_lines) {
        size_t colon = line.find(':');
        if (colon == std::string::npos)
            return fail("header line without ':': " + line);
        std::string name = trim(line.substr(0, colon));
        std::string value = trim(line.substr(colon + 1));
        if (name.empty())
            return fail("header line without a name: " + line);
        if (strcasecmp(name.c_str(), "Content-Length") == 0)
            has_length = true;
        apt_header_field_t* field = apt_header_field_create_c(name.c_str(), value.c_str(), pool);
        if (!mrcp_message_header_field_add(request, field))
            return fail("cannot add header field " + line);
    }
    if (!body.empty()) {
        apt_string_assign_n(&request->body, body.data(), body.size(), pool);
        if (!has_length) {
            std::string length = std::to_string(body.size());
            mrcp_message_header_field_add(request, apt_header_field_create_c("Content-Length", length.c_str(), pool));
        }
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        request->start_line.request_id = m_next_request_id++;
    }
    return request;
}

mrcp_request_id channel::send(mrcp_message_t* request)
{
    if (!m_channel || !request)
        return 0;
    mrcp_request_id id;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!request->start_line.request_id)
            request->start_line.request_id = m_next_request_id++;
        id = request->start_line.request_id;
        m_last_request_id = id;
    }
    if (!m_channel->method_vtable->process_request ||
        !m_channel->method_vtable->process_request(m_channel, request))
        apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "host: channel %s did not take request %u", m_id.c_str(), (unsigned)id);
    return id;
}

mrcp_request_id channel::send(const std::string& method, const std::vector<std::string>& header_lines,
                              const std::string& body, std::string* error)
{
    mrcp_message_t* request = create_request(method, header_lines, body, error);
    return request ? send(request) : 0;
}

std::vector<message_record> channel::messages() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_messages;
}

mrcp_request_id channel::last_request_id() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_last_request_id;
}

bool channel::wait_response(mrcp_request_id request_id, int timeout_ms, message_record* out)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!request_id)
        request_id = m_last_request_id;
    auto find = [&] {
        for (size_t i = 0; i < m_messages.size(); i++) {
            if (!m_taken[i] && m_messages[i].is_response() && m_messages[i].request_id == request_id) {
                m_taken[i] = true;
                if (out)
                    *out = m_messages[i];
                return true;
            }
        }
        return false;
    };
    return m_cv.wait_until(lock, deadline_after(timeout_ms), find);
}

bool channel::wait_event(const std::string& event_name, int timeout_ms, message_record* out)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    auto find = [&] {
        for (size_t i = 0; i < m_messages.size(); i++) {
            if (!m_taken[i] && m_messages[i].is_event() &&
                strcasecmp(m_messages[i].name.c_str(), event_name.c_str()) == 0) {
                m_taken[i] = true;
                if (out)
                    *out = m_messages[i];
                return true;
            }
        }
        return false;
    };
    return m_cv.wait_until(lock, deadline_after(timeout_ms), find);
}

bool channel::wait_message_count(size_t count, int timeout_ms)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_until(lock, deadline_after(timeout_ms), [&] { return m_messages.size() >= count; });
}

void channel::set_listener(std::function<void(const message_record&)> listener)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_listener = std::move(listener);
}

}  // namespace mrcphost
