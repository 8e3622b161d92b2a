/*
 * What every fuzz target shares: the process set-up the plug-in code expects
 * (APR initialised, a pool, the logger quiet so that runs stay fast) and a
 * temporary file for the loaders that read a path.
 */
#ifndef FUZZ_COMMON_H
#define FUZZ_COMMON_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include <apr_general.h>
#include <apr_pools.h>

#include "apt_log.h"

/* Called first by every target; a no-op after the first time. */
inline void fuzz_setup()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    apr_initialize();
    apt_log_priority_set(APT_PRIO_EMERGENCY);
}

/* A pool for one input, cleared when it goes out of scope. */
class fuzz_pool {
public:
    fuzz_pool() { apr_pool_create(&pool_, NULL); }
    ~fuzz_pool() { apr_pool_destroy(pool_); }
    apr_pool_t* get() const { return pool_; }

private:
    fuzz_pool(const fuzz_pool&) = delete;
    fuzz_pool& operator=(const fuzz_pool&) = delete;
    apr_pool_t* pool_ = NULL;
};

/* A file holding the input, removed when it goes out of scope. */
class fuzz_temp_file {
public:
    fuzz_temp_file(const uint8_t* data, size_t size)
    {
        const char* dir = getenv("TMPDIR");
        path_ = std::string(dir && *dir ? dir : "/tmp") + "/fuzz-input-XXXXXX";
        int fd = mkstemp(&path_[0]);
        if (fd < 0) {
            perror("mkstemp");
            abort();
        }
        size_t done = 0;
        while (done < size) {
            ssize_t n = write(fd, data + done, size - done);
            if (n <= 0) {
                perror("write");
                abort();
            }
            done += static_cast<size_t>(n);
        }
        close(fd);
    }
    ~fuzz_temp_file() { unlink(path_.c_str()); }
    const char* path() const { return path_.c_str(); }

private:
    fuzz_temp_file(const fuzz_temp_file&) = delete;
    fuzz_temp_file& operator=(const fuzz_temp_file&) = delete;
    std::string path_;
};

/* Stops the run with a message: a broken property is a finding like a crash. */
#define FUZZ_CHECK(cond)                                                            \
    do {                                                                            \
        if (!(cond)) {                                                              \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            abort();                                                                \
        }                                                                           \
    } while (0)

#endif /* FUZZ_COMMON_H */
