// Collects the log records of a test through the logger's capture hook; records may come from any thread.
#ifndef TEST_LOG_CAPTURE_H
#define TEST_LOG_CAPTURE_H

#include <stdarg.h>
#include <stdio.h>

#include <mutex>
#include <string>
#include <vector>

#include <apr_general.h>
#include <apr_pools.h>
#include <gtest/gtest.h>

#include "apt_log.h"

struct log_record {
    apt_log_priority_e priority;
    std::string text;
};

class log_capture {
public:
    log_capture()
    {
        {
            std::lock_guard<std::mutex> lock(state().mutex);
            state().current = this;
        }
        // Outside our lock: the logger calls the handler under its own.
        apt_log_ext_handler_set(&log_capture::handler);
    }
    ~log_capture()
    {
        apt_log_ext_handler_set(NULL);
        std::lock_guard<std::mutex> lock(state().mutex);
        state().current = NULL;
    }

    std::vector<log_record> records() const
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        return m_records;
    }
    void clear()
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        m_records.clear();
    }
    size_t count(apt_log_priority_e priority, const std::string& text) const
    {
        size_t n = 0;
        for (const log_record& r : records())
            if (r.priority == priority && r.text == text)
                ++n;
        return n;
    }
    bool has(apt_log_priority_e priority, const std::string& text) const { return count(priority, text) > 0; }
    bool has_text(const std::string& text) const
    {
        for (const log_record& r : records())
            if (r.text == text)
                return true;
        return false;
    }
    // A record of this priority or a more severe one.
    bool has_at_least(apt_log_priority_e priority) const
    {
        for (const log_record& r : records())
            if (r.priority <= priority)
                return true;
        return false;
    }
    std::string dump() const
    {
        std::string out;
        for (const log_record& r : records())
            out += std::to_string(r.priority) + ": " + r.text + "\n";
        return out;
    }

private:
    struct shared_state {
        std::mutex mutex;
        log_capture* current = NULL;
    };
    static shared_state& state()
    {
        static shared_state s;
        return s;
    }
    static apt_bool_t handler(const char*, int, const char*, apt_log_priority_e priority, const char* format,
                              va_list args)
    {
        va_list copy;
        va_copy(copy, args);
        int n = vsnprintf(NULL, 0, format, copy);
        va_end(copy);
        std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
        if (n > 0)
            vsnprintf(&text[0], text.size() + 1, format, args);
        std::lock_guard<std::mutex> lock(state().mutex);
        if (state().current)
            state().current->m_records.push_back({priority, text});
        return TRUE;
    }

    std::vector<log_record> m_records;
};

// Brings up APR and a logger that passes every priority, once per test program.
class log_environment : public ::testing::Environment {
public:
    void SetUp() override
    {
        apr_initialize();
        apr_pool_create(&pool_, NULL);
        apt_log_instance_create(APT_LOG_OUTPUT_NONE, APT_PRIO_DEBUG, pool_);
    }
    void TearDown() override
    {
        apt_log_instance_destroy();
        apr_pool_destroy(pool_);
        apr_terminate();
    }

private:
    apr_pool_t* pool_ = NULL;
};

#endif
