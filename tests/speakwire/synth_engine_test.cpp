// speakwire in the host: engine open and close from a configuration directory, and channel open and close.
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "mrcp_host.h"

using mrcphost::log_capture;
using mrcphost::open_answer;
using mrcphost::plugin;
using mrcphost::plugin_options;

namespace {

// Threads of this process whose name is exactly `name` (tasks name their threads).
int threads_named(const std::string& name)
{
    int count = 0;
    DIR* dir = opendir("/proc/self/task");
    if (!dir)
        return -1;
    while (struct dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string line;
        if (std::getline(comm, line) && line == name)
            count++;
    }
    closedir(dir);
    return count;
}

// Threads name themselves once they run: wait (bounded) until the count is reached.
int wait_threads_named(const std::string& name, int expected)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int count = threads_named(name);
    while (count != expected && std::chrono::steady_clock::now() < deadline) {
        usleep(1000);
        count = threads_named(name);
    }
    return count;
}

int thread_count()
{
    int count = 0;
    DIR* dir = opendir("/proc/self/task");
    while (dir && readdir(dir))
        count++;
    if (dir)
        closedir(dir);
    return count - 2;
}

bool file_exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

class SynthEngine : public ::testing::Test {
protected:
    void SetUp() override
    {
        char templ[] = "/tmp/speakwire-engine-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(templ));
        conf_dir = templ;
        log_capture::instance().set_quiet(true);
        log_capture::instance().clear();
    }
    void TearDown() override
    {
        host.reset();
        std::string cmd = "rm -rf '" + conf_dir + "'";
        ASSERT_EQ(0, system(cmd.c_str()));
    }

    void write_config(const std::string& body)
    {
        std::ofstream out(conf_dir + "/synthplugin.xml");
        out << "<pelka>\n" << body << "\n</pelka>\n";
    }

    plugin& load()
    {
        plugin_options options;
        options.path = SPEAKWIRE_PLUGIN_PATH;
        options.conf_dir = conf_dir;
        options.data_dir = conf_dir;
        host.reset(new plugin(options));
        std::string error;
        EXPECT_TRUE(host->load(&error)) << error;
        return *host;
    }

    std::string conf_dir;
    std::unique_ptr<plugin> host;
};

const char* const SERVICE = "<system><init-path>wss://127.0.0.1:1/tts</init-path></system>";

} // namespace

TEST_F(SynthEngine, OpensFromTheConfigurationDirectoryAndClosesPromptly)
{
    write_config(SERVICE);
    plugin& p = load();
    ASSERT_TRUE(p.open());
    log_capture& logs = log_capture::instance();
    EXPECT_TRUE(logs.contains("profile[" + conf_dir + "/synthplugin.xml]", APT_PRIO_INFO)) << logs.dump();
    EXPECT_TRUE(logs.contains("[init-path:wss://127.0.0.1:1/tts]", APT_PRIO_INFO));
    // Without a waveform directory the configuration directory is used.
    EXPECT_TRUE(logs.contains("[dir:" + conf_dir + "]", APT_PRIO_INFO)) << logs.dump();
    EXPECT_TRUE(logs.contains("[voice-style:1] \t\t\t\t\t\t\t\t\t   \n[codepage:65001]", APT_PRIO_INFO));
    EXPECT_EQ(1u, logs.count("wss_endpoint.start", APT_PRIO_INFO)) << "once, when it started";
    EXPECT_EQ(1, wait_threads_named("Synth Engine", 1));

    // The voice-detect thread is woken by the close instead of finishing a 10-second sleep.
    auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(p.close(5000));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_EQ(0, wait_threads_named("Synth Engine", 0));
    EXPECT_TRUE(logs.contains("leave synth_engine_close", APT_PRIO_INFO));
    p.unload();
    EXPECT_TRUE(logs.contains("leave synth_engine_destroy", APT_PRIO_INFO));
}

TEST_F(SynthEngine, MissingConfigurationFailsTheOpenWithoutAnswerOrThreads)
{
    plugin& p = load();
    int threads_before = thread_count();
    EXPECT_FALSE(p.open(500));
    EXPECT_EQ(open_answer::none, p.open_result());
    log_capture& logs = log_capture::instance();
    EXPECT_TRUE(logs.contains("synth load properties failed!", APT_PRIO_ERROR)) << logs.dump();
    EXPECT_FALSE(logs.contains("wss_endpoint.start"));
    EXPECT_FALSE(logs.contains("leave synth_engine_open"));
    EXPECT_EQ(0, wait_threads_named("Synth Engine", 0));
    EXPECT_EQ(threads_before, thread_count());
}

TEST_F(SynthEngine, ForeignRootFailsTheOpen)
{
    std::ofstream(conf_dir + "/synthplugin.xml") << "<durnel/>";
    plugin& p = load();
    EXPECT_FALSE(p.open(500));
    EXPECT_EQ(open_answer::none, p.open_result());
    EXPECT_TRUE(log_capture::instance().contains("unknown element <durnel>", APT_PRIO_ERROR));
}

TEST_F(SynthEngine, ChannelOpenAndCloseAreAnsweredByTheSpeakTask)
{
    write_config(SERVICE);
    plugin& p = load();
    ASSERT_TRUE(p.open());
    mrcphost::channel* ch = p.create_channel("5a1c0f");
    ASSERT_NE(nullptr, ch);
    log_capture& logs = log_capture::instance();
    EXPECT_TRUE(logs.contains("channel id is 5a1c0f, audio_buffer <", APT_PRIO_INFO)) << logs.dump();
    EXPECT_EQ(0, wait_threads_named("Synth Task", 0));

    ASSERT_TRUE(ch->open());
    EXPECT_TRUE(logs.contains("Speak task started - channel 0", APT_PRIO_DEBUG)) << logs.dump();
    EXPECT_TRUE(logs.contains("task start", APT_PRIO_INFO));
    EXPECT_EQ(1, wait_threads_named("Synth Task", 1));

    ASSERT_TRUE(ch->close());
    EXPECT_TRUE(ch->close_answered());
    EXPECT_TRUE(logs.contains("Speak task terminated - channel 0", APT_PRIO_DEBUG)) << logs.dump();
    EXPECT_EQ(0, wait_threads_named("Synth Task", 0));
    EXPECT_FALSE(logs.contains("SYNTH_MSG_OPEN_CHANNEL"));
    EXPECT_FALSE(logs.contains("SYNTH_MSG_CLOSE_CHANNEL"));

    p.destroy_channel("5a1c0f");
    EXPECT_TRUE(logs.contains("leave synth_channel_destroy", APT_PRIO_INFO));
    EXPECT_TRUE(p.close());
}

TEST_F(SynthEngine, SeveralChannelsEachWithTheirOwnSpeakTask)
{
    write_config(SERVICE);
    plugin& p = load();
    ASSERT_TRUE(p.open());
    mrcphost::channel* a = p.create_channel("ch-a");
    mrcphost::channel* b = p.create_channel("ch-b");
    ASSERT_TRUE(a && b);
    ASSERT_TRUE(a->open());
    ASSERT_TRUE(b->open());
    EXPECT_EQ(2, wait_threads_named("Synth Task", 2));
    ASSERT_TRUE(a->close());
    EXPECT_EQ(1, wait_threads_named("Synth Task", 1));
    // Closing the engine with a channel still open closes that channel first.
    EXPECT_TRUE(p.close());
    EXPECT_EQ(0, wait_threads_named("Synth Task", 0));
}

TEST_F(SynthEngine, WaveformFileCreatedAtOpenWhenSavingIsOn)
{
    const std::string wav_dir = conf_dir + "/wav";
    ASSERT_EQ(0, mkdir(wav_dir.c_str(), 0755));
    struct dir_case {
        std::string dir_setting;   // "" leaves the directory to the configuration directory
        std::string expected_dir;
    };
    const dir_case cases[] = {
        {wav_dir, wav_dir},
        {wav_dir + "/", wav_dir},
        {"", conf_dir},
    };
    int n = 0;
    for (const dir_case& c : cases) {
        SCOPED_TRACE(c.dir_setting);
        write_config(std::string(SERVICE) + "<save-waveform><dir>" + c.dir_setting +
                     "</dir><enable>true</enable></save-waveform>");
        plugin& p = load();
        ASSERT_TRUE(p.open());
        std::string id = "wave" + std::to_string(n++);
        mrcphost::channel* ch = p.create_channel(id);
        ASSERT_NE(nullptr, ch);
        ASSERT_TRUE(ch->open());
        EXPECT_TRUE(file_exists(c.expected_dir + "/" + id + ".pcm")) << log_capture::instance().dump();
        EXPECT_TRUE(log_capture::instance().contains("Wave path <", APT_PRIO_DEBUG));
        EXPECT_TRUE(ch->close());
        EXPECT_TRUE(p.close());
        host.reset();
    }
}

TEST_F(SynthEngine, NoWaveformFileWhenSavingIsOff)
{
    write_config(std::string(SERVICE) + "<save-waveform><enable>yes</enable></save-waveform>");
    plugin& p = load();
    ASSERT_TRUE(p.open());
    mrcphost::channel* ch = p.create_channel("quiet");
    ASSERT_TRUE(ch && ch->open());
    EXPECT_FALSE(file_exists(conf_dir + "/quiet.pcm"));
    EXPECT_FALSE(log_capture::instance().contains("Wave path <"));
    EXPECT_TRUE(ch->close());
}

TEST_F(SynthEngine, WaveformDirectoryThatCannotBeOpenedLeavesTheChannelUsable)
{
    write_config(std::string(SERVICE) + "<save-waveform><dir>" + conf_dir + "/missing/" + std::string(300, 'd') +
                 "</dir><enable>true</enable></save-waveform>");
    plugin& p = load();
    ASSERT_TRUE(p.open());
    mrcphost::channel* ch = p.create_channel(std::string(2000, 'x'));
    ASSERT_NE(nullptr, ch);
    ASSERT_TRUE(ch->open());
    EXPECT_TRUE(log_capture::instance().contains("Open audio file filed!", APT_PRIO_WARNING));
    EXPECT_TRUE(ch->close());
}

TEST_F(SynthEngine, RequestsOfAnOpenChannelAreAnswered)
{
    write_config(SERVICE);
    plugin& p = load();
    ASSERT_TRUE(p.open());
    mrcphost::channel* ch = p.create_channel("req");
    ASSERT_TRUE(ch && ch->open());
    mrcphost::message_record response;
    ASSERT_NE(0u, ch->send("GET-PARAMS"));
    ASSERT_TRUE(ch->wait_response(0, 5000, &response));
    EXPECT_TRUE(response.is_response());
    EXPECT_TRUE(ch->close());
}

#ifdef HARKWIRE_PLUGIN_PATH
TEST_F(SynthEngine, BesideTheRecognizerInOneProcess)
{
    write_config(SERVICE);
    plugin& synth = load();
    char templ[] = "/tmp/harkwire-engine-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(templ));
    const std::string recog_dir = templ;
    plugin_options options;
    options.path = HARKWIRE_PLUGIN_PATH;
    options.conf_dir = recog_dir;
    options.data_dir = recog_dir;
    plugin recog(options);
    std::string error;
    ASSERT_TRUE(recog.load(&error)) << error;

    // Each plug-in reads its own file: the recognizer goes on without one, the synthesizer needs its own.
    ASSERT_TRUE(recog.open());
    ASSERT_TRUE(synth.open());
    mrcphost::channel* s = synth.create_channel("synth-1");
    mrcphost::channel* r = recog.create_channel("recog-1");
    ASSERT_TRUE(s && r);
    EXPECT_TRUE(s->open());
    EXPECT_TRUE(r->open());
    EXPECT_EQ(1, wait_threads_named("Synth Task", 1));
    EXPECT_TRUE(s->close());
    EXPECT_TRUE(r->close());
    EXPECT_TRUE(synth.close());
    EXPECT_TRUE(recog.close());
    synth.unload();
    recog.unload();
    std::string cmd = "rm -rf '" + recog_dir + "'";
    EXPECT_EQ(0, system(cmd.c_str()));
}
#endif
