// Both plug-ins in one host process, loaded with RTLD_GLOBAL as the server loads them, each with its own
// configuration directory, against one fake cloud: recognitions and syntheses run on several channels at
// once; every reply must reach its own plug-in's channel, every connection must carry the token its own
// plug-in's token client fetched, and both plug-ins must unload promptly, also in mid-session.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "e2e_support.h"
#include "fake_cloud.h"
#include "mrcp_host.h"
#include "mrcp_synth_header.h"
#include "recog_script.h"
#include "synth_script.h"

namespace {

using e2e::audible;
using e2e::closed_port;
using e2e::read_file;

using fakecloud::recog_script;
using fakecloud::synth_script;
using fakecloud::ws_record;
using mrcphost::message_record;

const int k_wait_ms = 8000;       // bound for anything that must happen (a connect waits at most 5 s)
const int k_unload_ms = 10000;    // bound for an unload: it must not hang
const size_t k_channels = 3;      // channels per plug-in
const size_t k_rounds = 2;        // requests per channel, one after the other
const size_t k_speech_frames = 30;

std::string recog_text(size_t channel, size_t round)
{
    return "words of r" + std::to_string(channel) + " round " + std::to_string(round);
}

// The synthesized audio is chosen from the text spoken, so that each SPEAK gets its own pattern.
std::string synth_text(size_t channel, size_t round)
{
    return "speak " + std::to_string(channel * k_rounds + round + 1);
}

std::string synth_audio(const std::string& text)
{
    unsigned seed = (unsigned)std::stoul(text.substr(text.find(' ') + 1));
    return fakecloud::synth_audio_pattern(3200, seed);
}


// Recognition grammar whose domain rule picks the fake's script.
std::string grammar(const std::string& domain)
{
    return "<grammar mode=\"voice\">"
           "<rule id=\"service\"><one-of><item><ruleref uri=\"#speech-to-text\"/></item></one-of></rule>"
           "<rule id=\"domain\"><one-of><item><ruleref uri=\"#" + domain + "\"/></item></one-of></rule>"
           "</grammar>";
}

bool is_recognition(const ws_record& rec)
{
    return rec.resource.compare(0, 5, "/asr/") == 0;
}

class BothPluginsE2E : public ::testing::Test {
protected:
    void SetUp() override
    {
        mrcphost::log_capture::instance().set_quiet(true);
        mrcphost::log_capture::instance().clear();
        ASSERT_TRUE(dir_.create("both_plugins_e2e", {"recog-conf", "synth-conf", "data"}));
        cloud_.reset(new fakecloud::fake_cloud());
    }

    void TearDown() override
    {
        // The cloud goes first: it ends every connection, so that unloading finds nothing still closing.
        cloud_.reset();
        harkwire_.reset();
        speakwire_.reset();
        if (HasFailure())
            fprintf(stderr, "%s\n", mrcphost::log_capture::instance().dump().c_str());
    }

    void write_configs()
    {
        e2e::harkwire_conf h;
        h.init_path = cloud_->ws_url("/asr/sentence-stream");
        h.token_url = cloud_->token_url();
        h.user = "recog-user";
        h.password = "p1";
        h.wave_dir = h.navi_dir = dir_.path("data");
        std::string recog = e2e::harkwire_sample_conf(HARKWIRE_PLUGIN_PATH, h);
        ASSERT_FALSE(recog.empty());
        std::ofstream(dir_.path("recog-conf/unimrcprecog.xml")) << recog;
        e2e::speakwire_conf s;
        s.init_path = cloud_->ws_url("/tts");
        s.token_url = cloud_->token_url();
        s.user = "synth-user";
        s.password = "p2";
        s.domain = "d2";
        s.project = "s2";
        s.wave_dir = dir_.path("data");
        std::ofstream(dir_.path("synth-conf/synthplugin.xml")) << e2e::speakwire_conf_xml(s);
    }

    // Recognition connections run the voice script of their domain, synthesis connections a paced
    // synthesis of the audio chosen from their text; 'endless' makes both go on until closed.
    void set_behaviours(bool endless)
    {
        std::map<std::string, recog_script> scripts;
        for (size_t c = 0; c < k_channels; ++c)
            for (size_t r = 0; r < k_rounds; ++r)
                scripts["r" + std::to_string(c) + "n" + std::to_string(r)] = fakecloud::recog_script_voice(
                    recog_text(c, r), e2e::speech_pcm(k_speech_frames).size());
        fakecloud::behaviour_factory recog = fakecloud::recog_behaviour_by_domain(
            endless ? std::map<std::string, recog_script>() : scripts, fakecloud::recog_script_silent());
        synth_script s;
        s.chunk_bytes = 320;
        s.chunk_interval_ms = 20;
        if (endless) {
            s.audio = fakecloud::synth_audio_pattern(320 * 1000, 7);
            s.end = synth_script::silent;
        } else {
            s.audio_for = [](const fakecloud::synth_start& start) { return synth_audio(start.text); };
        }
        fakecloud::behaviour_factory synth = fakecloud::synth_factory(s);
        cloud_->set_behaviour_factory([recog, synth](const ws_record& rec) {
            return is_recognition(rec) ? recog(rec) : synth(rec);
        });
    }

    std::unique_ptr<mrcphost::plugin> load(const char* path, const std::string& conf)
    {
        mrcphost::plugin_options o;
        o.path = path;
        o.conf_dir = dir_.path(conf);
        o.data_dir = dir_.path("data");
        std::unique_ptr<mrcphost::plugin> p(new mrcphost::plugin(o));
        std::string error;
        EXPECT_TRUE(p->load(&error)) << error;
        EXPECT_TRUE(p->open());
        return p;
    }

    // Loads and opens both, and waits for the first token of each.
    void start(bool endless = false)
    {
        write_configs();
        set_behaviours(endless);
        harkwire_ = load(HARKWIRE_PLUGIN_PATH, "recog-conf");
        speakwire_ = load(SPEAKWIRE_PLUGIN_PATH, "synth-conf");
        ASSERT_TRUE(harkwire_->loaded() && speakwire_->loaded());
        // Both token clients hold their token (an answer that left the fake may not be stored yet).
        bool stored = false;
        for (int i = 0; i < k_wait_ms / 10 && !stored; ++i) {
            stored = mrcphost::log_capture::instance().count("RunLoop: get_token, succ") >= 2;
            if (!stored)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_TRUE(stored);
        ASSERT_TRUE(e2e::wait_file(dir_.token_file(), k_wait_ms));
    }

    std::vector<mrcphost::channel*> open_channels(mrcphost::plugin& p, const std::string& prefix)
    {
        std::vector<mrcphost::channel*> out;
        for (size_t i = 0; i < k_channels; ++i) {
            mrcphost::channel* ch = p.create_channel(prefix + std::to_string(i));
            EXPECT_TRUE(ch);
            if (!ch)
                continue;
            EXPECT_TRUE(ch->set_codec(8000));
            EXPECT_TRUE(ch->open(k_wait_ms));
            out.push_back(ch);
        }
        return out;
    }

    // One recognition channel's calls, one after the other.
    static void recognitions(mrcphost::channel* ch, size_t index)
    {
        for (size_t r = 0; r < k_rounds; ++r) {
            std::string domain = "r" + std::to_string(index) + "n" + std::to_string(r);
            mrcp_request_id id = ch->send("RECOGNIZE",
                                          {"Content-Type: application/srgs+xml", "Content-Id: <g-" + domain + ">"},
                                          grammar(domain));
            message_record m;
            EXPECT_TRUE(ch->wait_response(id, k_wait_ms, &m)) << ch->id();
            EXPECT_EQ(MRCP_REQUEST_STATE_INPROGRESS, m.request_state) << m.line();
            std::string pcm = e2e::speech_pcm(k_speech_frames);
            ch->queue_audio(std::vector<char>(pcm.begin(), pcm.end()));
            EXPECT_TRUE(ch->wait_event("RECOGNITION-COMPLETE", k_wait_ms, &m)) << ch->id();
            EXPECT_EQ(id, m.request_id);
            EXPECT_EQ(0, m.completion_cause) << m.line();
            EXPECT_NE(std::string::npos, m.body.find("<r0>" + ch->id() + "</r0>")) << m.line();
            EXPECT_NE(std::string::npos, m.body.find(">" + recog_text(index, r) + "</input>")) << m.line();
        }
    }

    // One synthesis channel's calls, one after the other.
    static void syntheses(mrcphost::channel* ch, size_t index)
    {
        std::string expected;
        for (size_t r = 0; r < k_rounds; ++r) {
            std::string text = synth_text(index, r);
            mrcp_request_id id = ch->send("SPEAK", {"Content-Type: text/plain"}, text);
            message_record m;
            EXPECT_TRUE(ch->wait_response(id, k_wait_ms, &m)) << ch->id();
            EXPECT_EQ(MRCP_REQUEST_STATE_INPROGRESS, m.request_state) << m.line();
            EXPECT_TRUE(ch->wait_event("SPEAK-COMPLETE", k_wait_ms, &m)) << ch->id();
            EXPECT_EQ(id, m.request_id);
            EXPECT_EQ(SYNTHESIZER_COMPLETION_CAUSE_NORMAL, m.completion_cause) << m.line();
            expected += synth_audio(text);
        }
        // The frame holding the end mark may be collected just after SPEAK-COMPLETE went out.
        std::string played;
        for (int i = 0; i < 100 && played.size() < expected.size(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            played = audible(ch->received_audio());
        }
        EXPECT_TRUE(played == expected) << ch->id() << ": played " << played.size() << " of "
                                        << expected.size() << " bytes, or other audio";
    }

    // Unloads on another thread and fails when that does not end within the bound.
    void unload_promptly(std::unique_ptr<mrcphost::plugin>& p)
    {
        std::mutex m;
        std::condition_variable cv;
        bool done = false;
        std::string name = p->name();
        std::thread t([&] {
            p->unload();
            std::lock_guard<std::mutex> lock(m);
            done = true;
            cv.notify_all();
        });
        {
            std::unique_lock<std::mutex> lock(m);
            EXPECT_TRUE(cv.wait_for(lock, std::chrono::milliseconds(k_unload_ms), [&] { return done; }))
                << name << " did not unload within " << k_unload_ms << " ms";
        }
        t.join();
        p.reset();
    }

    e2e::scratch_dir dir_;
    std::unique_ptr<fakecloud::fake_cloud> cloud_;
    std::unique_ptr<mrcphost::plugin> harkwire_;
    std::unique_ptr<mrcphost::plugin> speakwire_;
};

TEST_F(BothPluginsE2E, ConcurrentCallsReachTheirOwnPluginAndToken)
{
    start();
    std::vector<mrcphost::channel*> recog = open_channels(*harkwire_, "recog-");
    std::vector<mrcphost::channel*> synth = open_channels(*speakwire_, "synth-");
    ASSERT_EQ(k_channels, recog.size());
    ASSERT_EQ(k_channels, synth.size());

    std::vector<std::thread> calls;
    for (size_t i = 0; i < k_channels; ++i) {
        calls.emplace_back(recognitions, recog[i], i);
        calls.emplace_back(syntheses, synth[i], i);
    }
    for (std::thread& t : calls)
        t.join();

    // Nothing of the other plug-in's resource arrived on a channel.
    for (mrcphost::channel* ch : recog)
        for (const message_record& m : ch->messages())
            EXPECT_TRUE(m.name == "RECOGNIZE" || m.name == "START-OF-INPUT" || m.name == "RECOGNITION-COMPLETE")
                << m.line();
    for (mrcphost::channel* ch : synth)
        for (const message_record& m : ch->messages())
            EXPECT_TRUE(m.name == "SPEAK" || m.name == "SPEAK-COMPLETE") << m.line();

    // Each token client asked with its own configuration; token n answered request n.
    std::map<std::string, std::string> user_of_token;
    size_t recog_requests = 0, synth_requests = 0;
    std::vector<fakecloud::token_request> requests = cloud_->token_requests();
    for (size_t i = 0; i < requests.size(); ++i) {
        bool is_recog = requests[i].body.find("\"recog-user\"") != std::string::npos;
        bool is_synth = requests[i].body.find("\"synth-user\"") != std::string::npos;
        EXPECT_NE(is_recog, is_synth) << requests[i].body;
        EXPECT_EQ(std::string::npos, requests[i].body.find(is_recog ? "\"p2\"" : "\"p1\"")) << requests[i].body;
        recog_requests += is_recog;
        synth_requests += is_synth;
        user_of_token["fake-token-" + std::to_string(i + 1)] = is_recog ? "recog" : "synth";
    }
    EXPECT_GE(recog_requests, 1u);
    EXPECT_GE(synth_requests, 1u);

    // Each plug-in reached the service at its own configured path with its own token.
    std::vector<ws_record> connections = cloud_->connections();
    ASSERT_EQ(2 * k_channels * k_rounds, connections.size());
    size_t recog_connections = 0;
    for (const ws_record& rec : connections) {
        bool recognition = is_recognition(rec);
        recog_connections += recognition;
        EXPECT_EQ(recognition ? "/asr/sentence-stream" : "/tts", rec.resource);
        EXPECT_TRUE(rec.has_auth_token) << rec.resource;
        EXPECT_EQ(recognition ? "recog" : "synth", user_of_token[rec.auth_token])
            << rec.resource << " carried " << rec.auth_token;
    }
    EXPECT_EQ(k_channels * k_rounds, recog_connections);

    unload_promptly(harkwire_);
    unload_promptly(speakwire_);
}

TEST_F(BothPluginsE2E, UnloadInMidSessionReturnsPromptly)
{
    start(true);
    std::vector<mrcphost::channel*> recog = open_channels(*harkwire_, "recog-");
    std::vector<mrcphost::channel*> synth = open_channels(*speakwire_, "synth-");
    for (mrcphost::channel* ch : recog) {
        ch->send("RECOGNIZE", {"Content-Type: application/srgs+xml", "Content-Id: <g1>"}, grammar("endless"));
        std::string pcm = e2e::speech_pcm(500);
        ch->queue_audio(std::vector<char>(pcm.begin(), pcm.end()));
    }
    for (mrcphost::channel* ch : synth)
        ch->send("SPEAK", {"Content-Type: text/plain"}, "speak on");
    // Every session is connected and streaming before the unloads start.
    ASSERT_TRUE(cloud_->wait_until(
        [&] {
            std::vector<ws_record> all = cloud_->connections();
            if (all.size() < 2 * k_channels)
                return false;
            for (const ws_record& rec : all)
                if (!rec.opened || rec.messages.size() < (is_recognition(rec) ? 2u : 1u))
                    return false;
            return true;
        },
        std::chrono::milliseconds(k_wait_ms)));

    unload_promptly(speakwire_);
    unload_promptly(harkwire_);
    for (const ws_record& rec : cloud_->connections())
        EXPECT_TRUE(cloud_->wait_for_end(rec.id, std::chrono::milliseconds(k_wait_ms))) << rec.resource;
}

}  // namespace
