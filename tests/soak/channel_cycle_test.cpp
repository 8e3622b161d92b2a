// Channel cycles: one host process opens a channel, runs one request to its end and closes the channel,
// over and over, for each plug-in. The process's threads, file descriptors, memory mappings and address
// space (VmSize) must not grow with the cycles: a channel thread that is never joined keeps its stack
// mapped after it ended, so it shows here although the thread itself is gone; threads and descriptors are
// counted before the unload, once the connections had their close time-outs.
//
//   channel_cycle_test [--cycles N] [--warmup W] [--plugin harkwire|speakwire|both]
// Prints the figures of each plug-in; the exit status is 1 when one grew or a cycle failed.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "e2e_support.h"
#include "fake_cloud.h"
#include "mrcp_host.h"
#include "recog_script.h"
#include "synth_script.h"

namespace {

const int k_wait_ms = 8000;

struct figures {
    size_t threads = 0;
    size_t fds = 0;
    size_t mappings = 0;
    long vm_kb = 0;
};

figures measure()
{
    figures f;
    f.threads = proc_self::entries("/proc/self/task");
    f.fds = proc_self::entries("/proc/self/fd");
    f.mappings = proc_self::mappings();
    f.vm_kb = proc_self::status_kib("VmSize");
    return f;
}

// The shipped recognizer configuration and a plain synthesizer one, both against the fake cloud.
void write_configs(const e2e::scratch_dir& dir, const fakecloud::fake_cloud& cloud)
{
    e2e::harkwire_conf h;
    h.init_path = cloud.ws_url("/asr/sentence-stream");
    h.token_url = cloud.token_url();
    std::ofstream(dir.path("recog-conf/unimrcprecog.xml")) << e2e::harkwire_sample_conf(HARKWIRE_PLUGIN_PATH, h);
    e2e::speakwire_conf s;
    s.init_path = cloud.ws_url("/tts");
    s.token_url = cloud.token_url();
    std::ofstream(dir.path("synth-conf/synthplugin.xml")) << e2e::speakwire_conf_xml(s);
}

// One cycle: open, one RECOGNIZE or SPEAK to its completion, close; "" or what went wrong.
std::string cycle(mrcphost::plugin& p, bool recog, int n)
{
    const std::string id = std::string(recog ? "hw-" : "sw-") + std::to_string(n);
    mrcphost::channel* ch = p.create_channel(id);
    if (!ch)
        return id + ": no channel";
    std::string problem;
    if (!ch->set_codec(8000) || !ch->open(k_wait_ms)) {
        problem = id + ": not opened";
    } else {
        mrcp_request_id rid;
        if (recog) {
            const std::string grammar =
                "<grammar mode=\"voice\"><rule id=\"service\"><one-of><item><ruleref uri=\"#speech-to-text\"/>"
                "</item></one-of></rule></grammar>";
            rid = ch->send("RECOGNIZE", {"Content-Type: application/srgs+xml", "Content-Id: <g1>"}, grammar);
        } else {
            rid = ch->send("SPEAK", {"Content-Type: text/plain"}, "cycle " + std::to_string(n));
        }
        mrcphost::message_record r;
        if (!rid || !ch->wait_response(rid, k_wait_ms, &r) || r.request_state != MRCP_REQUEST_STATE_INPROGRESS) {
            problem = id + ": no IN-PROGRESS";
        } else {
            if (recog) {
                const std::string pcm = e2e::speech_pcm(10);
                ch->queue_audio(std::vector<char>(pcm.begin(), pcm.end()));
            }
            const char* event = recog ? "RECOGNITION-COMPLETE" : "SPEAK-COMPLETE";
            if (!ch->wait_event(event, k_wait_ms, &r) || r.completion_cause != 0)
                problem = id + ": no " + event + " with cause 0";
        }
        if (!ch->close(k_wait_ms) && problem.empty())
            problem = id + ": close not answered";
    }
    p.destroy_channel(id);
    return problem;
}

// Runs the cycles of one plug-in after 'warmup' uncounted ones; FALSE when something grew or failed.
bool run(const char* name, const char* path, bool recog, const std::string& conf_dir, const std::string& data_dir,
         int warmup, int cycles)
{
    mrcphost::plugin_options o;
    o.path = path;
    o.conf_dir = conf_dir;
    o.data_dir = data_dir;
    mrcphost::plugin p(o);
    std::string error;
    if (!p.load(&error) || !p.open()) {
        printf("FAIL %s: not loaded or not opened %s\n", name, error.c_str());
        return false;
    }
    bool ok = true;
    figures before;
    for (int i = 0; i < warmup + cycles && ok; ++i) {
        if (i == warmup)
            before = measure();
        const std::string problem = cycle(p, recog, i);
        if (!problem.empty()) {
            printf("FAIL %s\n", problem.c_str());
            ok = false;
        }
    }
    // Before the unload, once the last connection had the library's close and shutdown time-outs
    // (5 s each) to let go of its socket, whatever the service did.
    figures after = measure();
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
         ok && (after.fds > before.fds || after.threads > before.threads) && std::chrono::steady_clock::now() < end;
         after = measure())
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    p.unload();
    if (!ok)
        return false;
    printf("%s: %d open/%s/close cycles after %d: threads %zu -> %zu, fds %zu -> %zu, mappings %zu -> %zu, "
           "VmSize %ld -> %ld kB\n",
           name, cycles, recog ? "RECOGNIZE" : "SPEAK", warmup, before.threads, after.threads, before.fds, after.fds,
           before.mappings, after.mappings, before.vm_kb, after.vm_kb);
    // A thread left unjoined in every cycle would add a stack and its guard page (two mappings, some
    // megabytes) per cycle; allocator arenas may add a few mappings of 64 MB each once, no more.
    const long vm_growth_kb = after.vm_kb - before.vm_kb;
    if (after.threads != before.threads || after.fds > before.fds || after.mappings > before.mappings + (size_t)cycles / 4 + 8 ||
        vm_growth_kb > (long)cycles * 1024 + 256 * 1024) {
        printf("FAIL %s: the process grew with the cycles\n", name);
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    int cycles = 60;
    int warmup = 20;
    std::string which = "both";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--cycles" && i + 1 < argc)
            cycles = atoi(argv[++i]);
        else if (a == "--warmup" && i + 1 < argc)
            warmup = atoi(argv[++i]);
        else if (a == "--plugin" && i + 1 < argc)
            which = argv[++i];
        else
            cycles = 0;
    }
    if (cycles <= 0 || warmup < 0 || (which != "both" && which != "harkwire" && which != "speakwire")) {
        fprintf(stderr, "usage: %s [--cycles N] [--warmup W] [--plugin harkwire|speakwire|both]\n", argv[0]);
        return 2;
    }
    mrcphost::log_capture::instance().set_quiet(true);
    mrcphost::log_capture::instance().set_priority(APT_PRIO_WARNING);
    e2e::scratch_dir dir;
    if (!dir.create("cycles", {"recog-conf", "synth-conf", "data"})) {
        fprintf(stderr, "no scratch directory\n");
        return 1;
    }
    bool ok = true;
    {
        fakecloud::fake_cloud cloud;
        fakecloud::synth_script speech;
        speech.audio = fakecloud::synth_audio_pattern(320, 1);
        cloud.set_behaviour_factory(
            fakecloud::recog_service_factory("cycle", e2e::speech_pcm(10).size(), fakecloud::synth_factory(speech)));
        write_configs(dir, cloud);
        if (which != "speakwire")
            ok = run("harkwire", HARKWIRE_PLUGIN_PATH, true, dir.path("recog-conf"), dir.path("data"), warmup,
                     cycles) && ok;
        if (which != "harkwire")
            ok = run("speakwire", SPEAKWIRE_PLUGIN_PATH, false, dir.path("synth-conf"), dir.path("data"), warmup,
                     cycles) && ok;
    }
    return ok ? 0 : 1;
}
