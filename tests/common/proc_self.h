// What this process looks like from /proc/self: its threads, mappings and memory, for the tests and the
// benchmark that check that nothing is left behind or grows.
#ifndef TESTS_COMMON_PROC_SELF_H
#define TESTS_COMMON_PROC_SELF_H

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <string>
#include <vector>

namespace proc_self {

// The entries of a /proc directory ("/proc/self/task": one per thread; "/proc/self/fd").
inline size_t entries(const char* dir)
{
    size_t n = 0;
    if (DIR* d = opendir(dir)) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.')
                ++n;
        closedir(d);
    }
    return n;
}

// The names of the process's threads.
inline std::vector<std::string> thread_names()
{
    std::vector<std::string> out;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.')
                continue;
            std::ifstream in(std::string("/proc/self/task/") + e->d_name + "/comm");
            std::string name;
            std::getline(in, name);
            out.push_back(name);
        }
        closedir(d);
    }
    return out;
}

// One "Vm...:" figure of /proc/self/status in KiB ("VmRSS", "VmSize"); 0 when there is none.
inline long status_kib(const char* field)
{
    std::ifstream in("/proc/self/status");
    const size_t n = strlen(field);
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, n, field) == 0 && line.size() > n && line[n] == ':')
            return atol(line.c_str() + n + 1);
    return 0;
}

// TCP sockets (IPv4 and IPv6) whose far end is 'port' and that a process still holds open: the client
// ends of the connections to a service on that port of this host.
inline size_t tcp_sockets_to(unsigned short port)
{
    size_t n = 0;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line);  // the heading
        while (std::getline(in, line)) {
            char remote[64] = {0};
            unsigned long inode = 0;
            // sl local remote st tx:rx tr:when retrnsmt uid timeout inode
            if (sscanf(line.c_str(), "%*s %*s %63s %*s %*s %*s %*s %*s %*s %lu", remote, &inode) != 2)
                continue;
            const char* colon = strrchr(remote, ':');
            if (colon && strtoul(colon + 1, NULL, 16) == port && inode != 0)
                ++n;
        }
    }
    return n;
}

// The memory mappings of the process.
inline size_t mappings()
{
    std::ifstream maps("/proc/self/maps");
    size_t n = 0;
    std::string line;
    while (std::getline(maps, line))
        ++n;
    return n;
}

}  // namespace proc_self

#endif
