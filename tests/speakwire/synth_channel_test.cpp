// The waveform file of a channel: the message handler appends while channel close shuts it.
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "synth_engine.h"

TEST(WaveformFile, AppendsRacingACloseNeitherCrashNorTear)
{
    char path[] = "/tmp/speakwire-wave-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);

    for (int round = 0; round < 20; round++) {
        synth_channel_t channel;
        channel.audio_file = fopen(path, "wb");
        ASSERT_NE(nullptr, channel.audio_file);
        const std::vector<char> chunk(1600, 'a');
        std::atomic<bool> started(false);
        std::thread websocket([&] {
            started = true;
            for (int i = 0; i < 200; i++)
                synth_channel_audio_file_write(&channel, chunk.data(), chunk.size());
        });
        while (!started)
            std::this_thread::yield();
        synth_channel_audio_file_close(&channel);
        websocket.join();
        EXPECT_EQ(nullptr, channel.audio_file);
        // Appends after the close are dropped, and a second close finds nothing to close.
        synth_channel_audio_file_write(&channel, chunk.data(), chunk.size());
        synth_channel_audio_file_close(&channel);

        struct stat st;
        ASSERT_EQ(0, stat(path, &st));
        EXPECT_EQ(0, st.st_size % (off_t)chunk.size()) << "a write was cut by the close";
    }
    unlink(path);
}
