// What this process looks like from /proc/self: its threads, mappings and memory, for the tests and the
// benchmark that check that nothing is left behind or grows.
#ifndef TESTS_COMMON_PROC_SELF_H
#define TESTS_COMMON_PROC_SELF_H

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <set>
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

// The inodes of the sockets this process holds open ("socket:[N]" behind /proc/self/fd).
inline std::set<unsigned long> own_socket_inodes()
{
    std::set<unsigned long> out;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.')
                continue;
            char target[64] = {0};
            const std::string path = std::string("/proc/self/fd/") + e->d_name;
            const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
            unsigned long inode = 0;
            if (n > 0 && sscanf(target, "socket:[%lu]", &inode) == 1)
                out.insert(inode);
        }
        closedir(d);
    }
    return out;
}

// TCP sockets (IPv4 and IPv6) of this process for which match(local port, remote port, state) holds.
// The tables are the whole network namespace's, and a read of them while other sockets come and go may
// list one socket twice: each is counted once, and only when this process holds it.
template <typename Match>
size_t tcp_sockets(Match match)
{
    const std::set<unsigned long> own = own_socket_inodes();
    std::set<unsigned long> seen;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line);  // the heading
        while (std::getline(in, line)) {
            char local[64] = {0};
            char remote[64] = {0};
            unsigned state = 0;
            unsigned long inode = 0;
            // sl local remote st tx:rx tr:when retrnsmt uid timeout inode
            if (sscanf(line.c_str(), "%*s %63s %63s %x %*s %*s %*s %*s %*s %lu", local, remote, &state, &inode) != 4)
                continue;
            const char* local_colon = strrchr(local, ':');
            const char* remote_colon = strrchr(remote, ':');
            if (local_colon && remote_colon && own.count(inode) != 0 &&
                match((unsigned short)strtoul(local_colon + 1, NULL, 16),
                      (unsigned short)strtoul(remote_colon + 1, NULL, 16), state))
                seen.insert(inode);
        }
    }
    return seen.size();
}

// The client ends of this process's connections to a service on 'port' of this host.
inline size_t tcp_sockets_to(unsigned short port)
{
    return tcp_sockets([port](unsigned short, unsigned short remote, unsigned) { return remote == port; });
}

// The service ends on 'port' that are still established: their client has not ended them.
inline size_t tcp_established_at(unsigned short port)
{
    const unsigned ESTABLISHED = 1;
    return tcp_sockets([port](unsigned short local, unsigned short, unsigned state) {
        return local == port && state == ESTABLISHED;
    });
}

// The file descriptors of this process's sockets connected to 'port' (of any host).
inline std::vector<int> socket_fds_to(unsigned short port)
{
    std::vector<int> out;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.')
                continue;
            const int fd = atoi(e->d_name);
            sockaddr_storage peer{};
            socklen_t len = sizeof peer;
            if (getpeername(fd, (sockaddr*)&peer, &len) != 0)
                continue;
            unsigned short peer_port = 0;
            if (peer.ss_family == AF_INET)
                peer_port = ntohs(((const sockaddr_in*)&peer)->sin_port);
            else if (peer.ss_family == AF_INET6)
                peer_port = ntohs(((const sockaddr_in6*)&peer)->sin6_port);
            if (peer_port == port)
                out.push_back(fd);
        }
        closedir(d);
    }
    return out;
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
