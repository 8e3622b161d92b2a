// Collects the plug-in's log records during one test, through the logger's capture hook.
#ifndef SPEAKWIRE_TEST_LOG_CAPTURE_H
#define SPEAKWIRE_TEST_LOG_CAPTURE_H

#include <stdarg.h>
#include <stdio.h>

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
        current() = this;
        apt_log_ext_handler_set(&log_capture::handler);
    }
    ~log_capture()
    {
        apt_log_ext_handler_set(NULL);
        current() = NULL;
    }

    bool has(apt_log_priority_e priority, const std::string& text) const
    {
        for (const log_record& r : records)
            if (r.priority == priority && r.text == text)
                return true;
        return false;
    }
    bool has_at_least(apt_log_priority_e priority) const
    {
        for (const log_record& r : records)
            if (r.priority <= priority)
                return true;
        return false;
    }
    std::string dump() const
    {
        std::string out;
        for (const log_record& r : records)
            out += std::to_string(r.priority) + ": " + r.text + "\n";
        return out;
    }

    std::vector<log_record> records;

private:
    static log_capture*& current()
    {
        static log_capture* instance = NULL;
        return instance;
    }
    static apt_bool_t handler(const char*, int, const char*, apt_log_priority_e priority, const char* format,
                              va_list args)
    {
        if (!current())
            return TRUE;
        va_list copy;
        va_copy(copy, args);
        int n = vsnprintf(NULL, 0, format, copy);
        va_end(copy);
        std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
        if (n > 0)
            vsnprintf(&text[0], text.size() + 1, format, args);
        current()->records.push_back({priority, text});
        return TRUE;
    }
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
        apr_pool_destroy(pool_);
        apr_terminate();
    }

private:
    apr_pool_t* pool_ = NULL;
};

#endif
