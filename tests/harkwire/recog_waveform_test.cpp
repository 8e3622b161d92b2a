// Waveform saving: where files go, the per-user append and the user ids that may name a file.
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "apt_dir_layout.h"
#include "log_capture.h"
#include "recog_engine.h"
#include "recog_waveform.h"

namespace {

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

bool exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

class RecogWaveformTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        apr_pool_create(&pool_, NULL);
        char tmpl[] = "/tmp/recog_waveform_XXXXXX";
        ASSERT_TRUE(mkdtemp(tmpl));
        dir_ = tmpl;
        ASSERT_EQ(0, mkdir((dir_ + "/data").c_str(), 0755));
        layout_ = apt_custom_dir_layout_create(dir_.c_str(), dir_.c_str(), dir_.c_str(), (dir_ + "/data").c_str(),
                                               dir_.c_str(), pool_);
    }
    void TearDown() override
    {
        std::string cmd = "rm -rf '" + dir_ + "'";
        (void)!system(cmd.c_str());
        apr_pool_destroy(pool_);
    }

    apr_pool_t* pool_ = NULL;
    apt_dir_layout_t* layout_ = NULL;
    std::string dir_;
};

TEST_F(RecogWaveformTest, PathInTheConfiguredOrTheDataDirectory)
{
    char name[] = "ch1.pcm";
    save_wave_t with_dir = {1, dir_.c_str()};
    const char* p = build_save_wave_path(pool_, layout_, with_dir, NULL, name);
    ASSERT_TRUE(p);
    EXPECT_EQ(dir_ + "/ch1.pcm", p);
    save_wave_t no_dir = {1, NULL};
    p = build_save_wave_path(pool_, layout_, no_dir, NULL, name);
    ASSERT_TRUE(p);
    EXPECT_EQ(dir_ + "/data/ch1.pcm", p);
}

TEST_F(RecogWaveformTest, AppendAddsTheRecordingAndASideLineThenDeletesIt)
{
    std::string src = dir_ + "/ch1.pcm";
    std::string dst = dir_ + "/u1.pcm";
    std::string big(10000, '\x5a');  // more than one copy chunk
    write_file(dst, "old");
    write_file(src, big);
    EXPECT_EQ(0, Rename(src.c_str(), dst.c_str()));
    EXPECT_EQ("old" + big, read_file(dst));
    EXPECT_EQ("this time write 10000 byte audio\n", read_file(dir_ + "/u1.txt"));
    EXPECT_FALSE(exists(src));

    write_file(src, "");
    EXPECT_EQ(0, Rename(src.c_str(), dst.c_str()));
    EXPECT_EQ("this time write 10000 byte audio\nthis time write 0 byte audio\n", read_file(dir_ + "/u1.txt"));
    EXPECT_FALSE(exists(src));
}

TEST_F(RecogWaveformTest, FailedAppendKeepsBothFiles)
{
    std::string src = dir_ + "/ch1.pcm";
    write_file(src, "abc");
    EXPECT_EQ(-1, Rename(src.c_str(), (dir_ + "/missing/u1.pcm").c_str()));
    EXPECT_EQ("abc", read_file(src));
    EXPECT_EQ(-1, Rename((dir_ + "/none.pcm").c_str(), (dir_ + "/u1.pcm").c_str()));
    EXPECT_FALSE(exists(dir_ + "/u1.pcm"));
}

TEST_F(RecogWaveformTest, EmptyDestinationOnlyDeletes)
{
    std::string src = dir_ + "/ch1.pcm";
    write_file(src, "abc");
    EXPECT_EQ(0, Rename(src.c_str(), ""));
    EXPECT_FALSE(exists(src));
}

// Closing a channel appends its recording without the channel lock, which the media thread takes
// for every frame: here the append waits on a FIFO until the test reads it, and meanwhile the lock
// must be free.
TEST_F(RecogWaveformTest, FinishAppendsWithoutTheChannelLock)
{
    const std::string recording = dir_ + "/ch1.pcm", navi = dir_ + "/u1.pcm", audio(10000, '\x5a');
    ASSERT_EQ(0, mkfifo(navi.c_str(), 0600));
    mrcp_engine_channel_t engine_channel = {};
    apt_string_set(&engine_channel.id, "ch1");
    recog_channel_t channel = {};
    channel.channel = &engine_channel;
    channel.ws_connection_id = -1;
    channel.save_wave = {1, dir_.c_str()};
    channel.save_navi_wave = {1, dir_.c_str()};
    recog_context_t context;
    channel.context = &context;
    context.session.audio_path = recording;
    context.session.snapshot.need_qa = true;
    context.session.snapshot.user_id = "u1";
    channel.audio_file = fopen(recording.c_str(), "wb");
    ASSERT_TRUE(channel.audio_file);
    fwrite(audio.data(), 1, audio.size(), channel.audio_file);

    log_capture log;
    std::thread closer([&] { recog_session_channel_close(&channel); });
    const std::string appending = "file_path[" + recording + "], file_navi_path[" + navi + "]";
    for (int i = 0; i < 500 && !log.has(APT_PRIO_DEBUG, appending); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(log.has(APT_PRIO_DEBUG, appending)) << log.dump();
    bool lock_free = false;
    for (int i = 0; i < 200 && !lock_free; ++i) {
        lock_free = channel.guard.try_lock();
        if (lock_free)
            channel.guard.unlock();
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(lock_free);
    EXPECT_EQ(audio, read_file(navi));  // lets the append go on, and ends with it
    closer.join();
    EXPECT_FALSE(channel.audio_file);
    EXPECT_FALSE(exists(recording));
    EXPECT_EQ("this time write 10000 byte audio\n", read_file(dir_ + "/u1.txt"));
}

TEST(RecogUserId, OnlyPlainFileNames)
{
    struct row {
        const char* id;
        bool ok;
    };
    const row rows[] = {
        {"u1", true},
        {"john.doe@example-corp_2", true},
        {"", false},
        {".", false},
        {"..", false},
        {"../../etc/x", false},
        {"/abs/x", false},
        {"a/b", false},
        {"a b", false},
        {"a\\b", false},
        {"caf\xc3\xa9", false},
    };
    for (const row& r : rows)
        EXPECT_EQ(r.ok, is_plain_user_id(r.id)) << r.id;
    EXPECT_TRUE(is_plain_user_id(std::string(128, 'a')));
    EXPECT_FALSE(is_plain_user_id(std::string(129, 'a')));
}

}  // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new log_environment);
    return RUN_ALL_TESTS();
}
