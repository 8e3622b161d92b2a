// mrcp-host: plays the MRCP server for one or more plug-ins and runs a small script against them.
//
// Usage: mrcp-host [options] [SCRIPT]      (SCRIPT is a file; without it, or with "-", the script is read from stdin)
//   --plugin PATH        load a plug-in; the plug-in options that follow apply to it (before any --plugin: to all)
//   --name NAME          engine name used by the script (default: the file name without directory and extension)
//   --conf DIR           configuration directory      --data DIR      data directory
//   --log-dir DIR        log directory                --var-dir DIR   var directory
//   --param NAME=VALUE   engine parameter (repeatable)
//   --open-timeout MS    bound of the engine open wait (default 5000)
//   --log-priority N     keep log records of priority N (0..7) and more severe (default 7, all)
//   -q, --quiet          do not copy the log records to stderr
//
// Each plug-in is loaded and its engine opened before the script runs. The script has one command per line;
// blank lines and lines starting with '#' are skipped. Timeouts are in milliseconds (default 5000).
//   open CHANNEL PLUGIN [rate=8000|16000|none] [version=1|2] [media=on|off] [timeout=MS]
//        create channel CHANNEL (also its session id) on the engine PLUGIN, set the negotiated codec
//        (LPCM, default 8000 Hz; none leaves it unset), open it and put its stream on the media thread
//   request CHANNEL METHOD
//        the lines that follow, up to a line "end", are header lines "Name: value"; a line "body" makes the
//        lines after it the body (joined with LF, no LF after the last); "body-file PATH" takes the body from a file
//   wait-response CHANNEL [REQUEST-ID|last] [timeout=MS]   the response to that request (default: the last sent)
//   wait-event CHANNEL EVENT-NAME [timeout=MS]             the next event of that name not yet waited for
//   wait-log [timeout=MS] TEXT...                          a log record containing TEXT
//   stream CHANNEL FILE       queue a raw 16-bit LPCM file for the sink; the media thread plays it in real time
//   silence CHANNEL MS        queue MS of silence
//   wait-audio CHANNEL [timeout=MS]                        until the queued audio has been written
//   save-audio CHANNEL FILE   write the audio read from the source channel so far
//   media CHANNEL start|stop
//   sleep MS
//   close CHANNEL [timeout=MS]
//
// Output on stdout, one record per line:
//   ENGINE NAME loaded resource=RESOURCE | ENGINE NAME open=TRUE|FALSE|NO-ANSWER
//   CHANNEL ID open=TRUE|FALSE|NO-ANSWER is_open=0|1 | CHANNEL ID close=ANSWERED|NO-ANSWER
//   SENT METHOD channel=ID request-id=N
//   RESPONSE ... / EVENT ...  every message as it arrives (format of mrcphost::message_record::line)
//   AUDIO ID bytes=N event-frames=N file=PATH
//   ENGINE NAME close=ANSWERED|NO-ANSWER|SKIPPED | ENGINE NAME unloaded
//   ERROR line N: TEXT        a failed command or a wait that timed out; the script stops there
// Exit status: 0 when every command succeeded, 1 when one failed, 2 for a usage or load error.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "mrcp_host.h"

using namespace mrcphost;

namespace {

std::mutex g_print_mutex;

void print_line(const std::string& line)
{
    std::lock_guard<std::mutex> lock(g_print_mutex);
    fprintf(stdout, "%s\n", line.c_str());
    fflush(stdout);
}

std::vector<std::string> split_words(const std::string& line)
{
    std::istringstream in(line);
    std::vector<std::string> words;
    std::string word;
    while (in >> word)
        words.push_back(word);
    return words;
}

// Takes "key=value" options out of the words (from the third word on).
std::string take_option(std::vector<std::string>& words, const std::string& key, const std::string& fallback)
{
    for (size_t i = 1; i < words.size(); i++) {
        if (words[i].compare(0, key.size() + 1, key + "=") == 0) {
            std::string value = words[i].substr(key.size() + 1);
            words.erase(words.begin() + (long)i);
            return value;
        }
    }
    return fallback;
}

bool to_int(const std::string& text, int* out)
{
    char* end = nullptr;
    long value = strtol(text.c_str(), &end, 10);
    if (text.empty() || *end)
        return false;
    *out = (int)value;
    return true;
}

void usage()
{
    fprintf(stderr,
            "usage: mrcp-host [--plugin PATH [--name NAME] [--conf DIR] [--data DIR] [--log-dir DIR] [--var-dir DIR]\n"
            "                 [--param NAME=VALUE]...]... [--open-timeout MS] [--log-priority N] [-q] [SCRIPT|-]\n");
}

class script_runner {
public:
    explicit script_runner(std::vector<std::unique_ptr<plugin>>& plugins) : m_plugins(plugins) {}

    // Runs the script; false at the first failure.
    bool run(std::istream& in)
    {
        std::string line;
        while (std::getline(in, line)) {
            m_line_number++;
            std::vector<std::string> words = split_words(line);
            if (words.empty() || words[0][0] == '#')
                continue;
            if (!command(words, line, in))
                return false;
        }
        return true;
    }

    void close_all()
    {
        for (const auto& p : m_plugins) {
            for (const std::string& id : m_opened) {
                channel* ch = p->find_channel(id);
                if (ch && ch->open_result() == open_answer::success && !ch->close_answered())
                    close_channel(ch, DEFAULT_TIMEOUT_MS);
            }
        }
    }

private:
    bool error(const std::string& text)
    {
        print_line("ERROR line " + std::to_string(m_line_number) + ": " + text);
        return false;
    }

    channel* find(const std::string& id)
    {
        for (const auto& p : m_plugins)
            if (channel* ch = p->find_channel(id))
                return ch;
        return nullptr;
    }

    plugin* find_plugin(const std::string& name)
    {
        for (const auto& p : m_plugins)
            if (p->name() == name)
                return p.get();
        return nullptr;
    }

    void close_channel(channel* ch, int timeout)
    {
        bool answered = ch->close(timeout);
        print_line("CHANNEL " + ch->id() + " close=" + (answered ? "ANSWERED" : "NO-ANSWER"));
    }

    bool command(std::vector<std::string>& words, const std::string& line, std::istream& in)
    {
        const std::string& name = words[0];
        int timeout = DEFAULT_TIMEOUT_MS;
        if (!to_int(take_option(words, "timeout", std::to_string(DEFAULT_TIMEOUT_MS)), &timeout))
            return error("bad timeout");
        channel* ch = words.size() > 1 ? find(words[1]) : nullptr;
        bool needs_channel = name != "open" && name != "sleep" && name != "wait-log";
        if (needs_channel && !ch)
            return error(words.size() > 1 ? "no channel " + words[1] : "missing channel");

        if (name == "open") {
            std::string rate = take_option(words, "rate", "8000");
            std::string version = take_option(words, "version", "2");
            std::string media = take_option(words, "media", "on");
            if (words.size() != 3)
                return error("usage: open CHANNEL PLUGIN [rate=..] [version=..] [media=on|off] [timeout=MS]");
            if (ch)
                return error("channel " + words[1] + " exists");
            plugin* p = find_plugin(words[2]);
            if (!p)
                return error("no plug-in " + words[2]);
            channel* created = p->create_channel(words[1], version == "1" ? MRCP_VERSION_1 : MRCP_VERSION_2);
            if (!created)
                return error("engine " + words[2] + " gave no channel");
            int sampling_rate = 0;
            if (rate != "none" && (!to_int(rate, &sampling_rate) || !created->set_codec((apr_uint16_t)sampling_rate)))
                return error("bad rate " + rate);
            if (rate == "none")
                created->set_codec(0);
            m_opened.push_back(words[1]);
            created->set_listener([](const message_record& record) { print_line(record.line()); });
            bool opened = created->open(timeout, media == "on");
            print_line("CHANNEL " + words[1] + " open=" + open_answer_name(created->open_result()) +
                       " is_open=" + (created->is_open() ? "1" : "0"));
            return opened ? true : error("channel " + words[1] + " did not open");
        }
        if (name == "request") {
            if (words.size() != 3)
                return error("usage: request CHANNEL METHOD, then header lines, [body], end");
            std::vector<std::string> headers;
            std::string body;
            bool in_body = false, first_body_line = true, ended = false;
            std::string block_line;
            while (std::getline(in, block_line)) {
                m_line_number++;
                if (!block_line.empty() && block_line.back() == '\r')
                    block_line.pop_back();
                if (block_line == "end") {
                    ended = true;
                    break;
                }
                if (in_body) {
                    body += (first_body_line ? "" : "\n") + block_line;
                    first_body_line = false;
                } else if (block_line == "body") {
                    in_body = true;
                } else if (block_line.compare(0, 10, "body-file ") == 0) {
                    std::ifstream file(block_line.substr(10), std::ios::binary);
                    if (!file)
                        return error("cannot read " + block_line.substr(10));
                    std::ostringstream content;
                    content << file.rdbuf();
                    body = content.str();
                } else if (!split_words(block_line).empty() && block_line[0] != '#') {
                    headers.push_back(block_line);
                }
            }
            if (!ended)
                return error("request without end");
            std::string text;
            mrcp_request_id id = ch->send(words[2], headers, body, &text);
            if (!id)
                return error(text);
            print_line("SENT " + words[2] + " channel=" + words[1] + " request-id=" + std::to_string(id));
            return true;
        }
        if (name == "wait-response") {
            int id = 0;
            if (words.size() > 2 && words[2] != "last" && !to_int(words[2], &id))
                return error("bad request id " + words[2]);
            return ch->wait_response((mrcp_request_id)id, timeout)
                       ? true
                       : error("no response to request " + std::to_string(id ? id : (int)ch->last_request_id()) +
                               " on " + words[1]);
        }
        if (name == "wait-event") {
            if (words.size() != 3)
                return error("usage: wait-event CHANNEL EVENT-NAME [timeout=MS]");
            return ch->wait_event(words[2], timeout) ? true : error("no " + words[2] + " event on " + words[1]);
        }
        if (name == "wait-log") {
            size_t start = line.find("wait-log") + 8;
            std::string rest = line.substr(start);
            size_t t = rest.find("timeout=");
            if (t != std::string::npos) {
                size_t end = rest.find(' ', t);
                rest.erase(t, end == std::string::npos ? std::string::npos : end - t);
            }
            size_t begin = rest.find_first_not_of(' ');
            size_t finish = rest.find_last_not_of(" \r");
            if (begin == std::string::npos)
                return error("usage: wait-log [timeout=MS] TEXT");
            std::string text = rest.substr(begin, finish - begin + 1);
            return log_capture::instance().wait_for(text, timeout) ? true : error("no log record with " + text);
        }
        if (name == "stream") {
            if (words.size() != 3)
                return error("usage: stream CHANNEL FILE");
            std::string text;
            return ch->queue_audio_file(words[2], &text) ? true : error(text);
        }
        if (name == "silence") {
            int ms = 0;
            if (words.size() != 3 || !to_int(words[2], &ms))
                return error("usage: silence CHANNEL MS");
            ch->queue_silence(ms);
            return true;
        }
        if (name == "wait-audio") {
            return ch->wait_audio_sent(timeout) ? true : error("audio of " + words[1] + " not sent in time");
        }
        if (name == "save-audio") {
            if (words.size() != 3)
                return error("usage: save-audio CHANNEL FILE");
            std::string text;
            if (!ch->save_received_audio(words[2], &text))
                return error(text);
            print_line("AUDIO " + words[1] + " bytes=" + std::to_string(ch->received_audio().size()) +
                       " event-frames=" + std::to_string(ch->received_event_frames()) + " file=" + words[2]);
            return true;
        }
        if (name == "media") {
            if (words.size() != 3 || (words[2] != "start" && words[2] != "stop"))
                return error("usage: media CHANNEL start|stop");
            if (words[2] == "start")
                return ch->start_media() ? true : error("channel " + words[1] + " has no stream");
            ch->stop_media();
            return true;
        }
        if (name == "sleep") {
            int ms = 0;
            if (words.size() != 2 || !to_int(words[1], &ms))
                return error("usage: sleep MS");
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            return true;
        }
        if (name == "close") {
            close_channel(ch, timeout);
            return ch->close_answered() ? true : error("channel " + words[1] + " close not answered");
        }
        return error("unknown command " + name);
    }

    std::vector<std::unique_ptr<plugin>>& m_plugins;
    std::vector<std::string> m_opened;
    int m_line_number = 0;
};

}  // namespace

int main(int argc, char** argv)
{
    host_initialize();
    plugin_options defaults;
    std::vector<plugin_options> loads;
    std::string script_path = "-";
    int open_timeout = DEFAULT_TIMEOUT_MS;
    bool quiet = false;
    int log_priority = APT_PRIO_DEBUG;

    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= argc)
                return false;
            *out = argv[++i];
            return true;
        };
        plugin_options& target = loads.empty() ? defaults : loads.back();
        std::string text;
        if (arg == "--plugin" && value(&text)) {
            plugin_options options = defaults;
            options.path = text;
            loads.push_back(options);
        } else if (arg == "--name" && value(&text) && !loads.empty()) {
            loads.back().name = text;
        } else if (arg == "--conf" && value(&text)) {
            target.conf_dir = text;
        } else if (arg == "--data" && value(&text)) {
            target.data_dir = text;
        } else if (arg == "--log-dir" && value(&text)) {
            target.log_dir = text;
        } else if (arg == "--var-dir" && value(&text)) {
            target.var_dir = text;
        } else if (arg == "--param" && value(&text) && text.find('=') != std::string::npos) {
            target.params[text.substr(0, text.find('='))] = text.substr(text.find('=') + 1);
        } else if (arg == "--open-timeout" && value(&text) && to_int(text, &open_timeout)) {
        } else if (arg == "--log-priority" && value(&text) && to_int(text, &log_priority) && log_priority >= 0 &&
                   log_priority < APT_PRIO_COUNT) {
        } else if (arg == "-q" || arg == "--quiet") {
            quiet = true;
        } else if (arg == "-h" || arg == "--help") {
            usage();
            return 0;
        } else if (!arg.empty() && arg[0] != '-' ) {
            script_path = arg;
        } else if (arg == "-") {
            script_path = arg;
        } else {
            usage();
            return 2;
        }
    }
    if (loads.empty()) {
        usage();
        return 2;
    }
    log_capture::instance().set_quiet(quiet);
    log_capture::instance().set_priority((apt_log_priority_e)log_priority);

    std::ifstream script_file;
    std::istream* script = &std::cin;
    if (script_path != "-") {
        script_file.open(script_path);
        if (!script_file) {
            fprintf(stderr, "mrcp-host: cannot read %s\n", script_path.c_str());
            return 2;
        }
        script = &script_file;
    }

    int status = 0;
    std::vector<std::unique_ptr<plugin>> plugins;
    for (const plugin_options& options : loads) {
        std::unique_ptr<plugin> p(new plugin(options));
        std::string text;
        if (!p->load(&text)) {
            print_line("ENGINE " + p->name() + " load-failed error=" + text);
            status = 2;
            break;
        }
        const mrcp_resource_t* resource = p->resource();
        print_line("ENGINE " + p->name() + " loaded resource=" +
                   (resource ? std::string(resource->name.buf) : std::string("unknown")));
        plugins.push_back(std::move(p));
    }
    if (status == 0) {
        for (const auto& p : plugins) {
            p->open(open_timeout);
            print_line("ENGINE " + p->name() + " open=" + open_answer_name(p->open_result()));
        }
        script_runner runner(plugins);
        if (!runner.run(*script))
            status = 1;
        runner.close_all();
    }
    for (const auto& p : plugins) {
        if (p->open_result() == open_answer::success) {
            bool answered = p->close();
            print_line("ENGINE " + p->name() + " close=" + (answered ? "ANSWERED" : "NO-ANSWER"));
        } else {
            print_line("ENGINE " + p->name() + " close=SKIPPED");
        }
        p->unload();
        print_line("ENGINE " + p->name() + " unloaded");
    }
    plugins.clear();
    return status;
}
