// A stand-in for a plug-in channel: records what the endpoint's seams deliver to it.
#ifndef CLOUD_ACCESS_TEST_CHANNEL_H
#define CLOUD_ACCESS_TEST_CHANNEL_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "websocket_endpoint.h"

struct received_message {
    int id;
    bool binary;
    std::string data;
};

struct test_channel {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<received_message> messages;
    std::vector<int> lost;
    // Runs inside the handler on an I/O thread, after the message was recorded.
    std::function<void(int id)> on_message;
    // Runs inside the lost hook, before the loss is recorded.
    std::function<void(int id)> on_lost;
    // Handlers of one connection run one at a time: a second one inside counts as an overlap.
    std::atomic<int> in_handler{0};
    std::atomic<int> overlaps{0};

    void enter()
    {
        if (in_handler.fetch_add(1) != 0)
            ++overlaps;
    }
    void leave() { --in_handler; }

    void add_message(int id, bool binary, const std::string& data)
    {
        std::lock_guard<std::mutex> lock(mutex);
        messages.push_back({id, binary, data});
        cv.notify_all();
    }
    void add_lost(int id)
    {
        std::lock_guard<std::mutex> lock(mutex);
        lost.push_back(id);
        cv.notify_all();
    }
    size_t message_count()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return messages.size();
    }
    std::vector<received_message> received()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return messages;
    }
    std::vector<int> lost_ids()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return lost;
    }
    bool wait_messages(size_t n, std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, timeout, [&] { return messages.size() >= n; });
    }
    bool wait_lost(std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, timeout, [&] { return !lost.empty(); });
    }
};

#if defined(HARKWIRE_PLUGIN)
struct recog_channel_t : test_channel {};
#else
struct synth_channel_t : test_channel {};
#endif

#endif
