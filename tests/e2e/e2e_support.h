// Small helpers for the end-to-end tests: a scratch directory that is also the working directory,
// file reads and bounded waits for files.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <ctype.h>
#include <math.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "proc_self.h"

namespace e2e {

// A port on 127.0.0.1 on which nothing listens.
inline unsigned short closed_port()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    bind(fd, (sockaddr*)&addr, sizeof(addr));
    socklen_t len = sizeof(addr);
    getsockname(fd, (sockaddr*)&addr, &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

// An http server on 127.0.0.1 that never answers: the kernel takes each connection, nobody reads.
class silent_http_server {
public:
    silent_http_server()
    {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(addr);
        if (bind(fd_, (sockaddr*)&addr, sizeof(addr)) == 0 && listen(fd_, 16) == 0 &&
            getsockname(fd_, (sockaddr*)&addr, &len) == 0)
            port_ = ntohs(addr.sin_port);
    }
    ~silent_http_server() { ::close(fd_); }
    silent_http_server(const silent_http_server&) = delete;
    silent_http_server& operator=(const silent_http_server&) = delete;

    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

private:
    int fd_ = -1;
    unsigned short port_ = 0;
};

// The played audio without the silence around and between its pieces: the fake's patterns hold no
// zero byte, so what is left is exactly the synthesized audio that reached the caller.
inline std::string audible(const std::vector<char>& played)
{
    std::string out;
    for (char c : played)
        if (c != 0)
            out += c;
    return out;
}

// Resident memory of this process (host, plug-ins and fake cloud), in KiB.
inline long rss_kib()
{
    return proc_self::status_kib("VmRSS");
}

inline std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Waits until the file exists and is not empty.
inline bool wait_file(const std::string& path, int timeout_ms)
{
    for (int i = 0; i < timeout_ms / 10; ++i) {
        if (!read_file(path).empty())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// 'frames' 10 ms frames of 8 kHz 16-bit audio that the recognizer sends on: a tone with an offset, so
// that no frame is all zero.
inline std::string speech_pcm(size_t frames)
{
    const size_t samples = frames * 80;
    std::string pcm(samples * 2, '\0');
    for (size_t i = 0; i < samples; ++i) {
        int16_t v = (int16_t)(300 + lround(4000.0 * sin(2.0 * M_PI * (double)i / 20.0)));
        pcm[2 * i] = (char)(v & 0xff);
        pcm[2 * i + 1] = (char)((v >> 8) & 0xff);
    }
    return pcm;
}

// Sets attribute 'name' of the first <element ...> tag of an XML text to 'value'; false when the tag
// or the attribute is missing. The value is written as given: no quote, '&' or '<' in it.
inline bool set_xml_attribute(std::string& xml, const std::string& element, const std::string& name,
                              const std::string& value)
{
    size_t tag = xml.find("<" + element + " ");
    if (tag == std::string::npos)
        return false;
    size_t end = xml.find('>', tag);
    if (end == std::string::npos)
        return false;
    for (size_t at = xml.find(name + "=\"", tag); at != std::string::npos && at < end;
         at = xml.find(name + "=\"", at + 1)) {
        if (!isspace((unsigned char)xml[at - 1]))
            continue;
        size_t first = at + name.size() + 2;
        xml.replace(first, xml.find('"', first) - first, value);
        return true;
    }
    return false;
}

// harkwire's configuration as shipped (the sample beside the plug-in), with only what a run against
// the fake cloud must change: the service and token endpoints, the credentials, and the waveform
// settings. Every other value is the sample's, so that the tests run what operators run.
struct harkwire_conf {
    std::string init_path;          // "" leaves the service unconfigured
    std::string token_url;
    int token_interval = 3600;
    std::string user = "u";
    std::string password = "p";
    int save_waveform = 0;          // the sample's: off
    std::string wave_dir;
    int save_navi_waveform = 0;
    std::string navi_dir;
};

inline std::string harkwire_sample_conf(const std::string& plugin_path, const harkwire_conf& c)
{
    std::string xml = read_file(plugin_path.substr(0, plugin_path.rfind('/') + 1) + "unimrcprecog.xml");
    bool ok = !xml.empty() && set_xml_attribute(xml, "system", "init-path", c.init_path) &&
              set_xml_attribute(xml, "auth_info", "token_interval", std::to_string(c.token_interval)) &&
              set_xml_attribute(xml, "auth_info", "token_server", c.token_url) &&
              set_xml_attribute(xml, "auth_identity", "user_name", c.user) &&
              set_xml_attribute(xml, "auth_identity", "user_password", c.password) &&
              set_xml_attribute(xml, "save-waveform", "enable", std::to_string(c.save_waveform)) &&
              set_xml_attribute(xml, "save-waveform", "dir", c.wave_dir) &&
              set_xml_attribute(xml, "save-navi-waveform", "enable", std::to_string(c.save_navi_waveform)) &&
              set_xml_attribute(xml, "save-navi-waveform", "dir", c.navi_dir);
    return ok ? xml : std::string();
}

// speakwire's configuration for a run against the fake cloud: the service and token endpoints, the
// credentials and the waveform settings; every other setting keeps the plug-in's built-in default.
struct speakwire_conf {
    std::string init_path;
    std::string token_url;
    int token_interval = 3600;
    std::string user = "u";
    std::string password = "p";
    std::string domain = "d";
    std::string project = "s";
    std::string system_extra;       // further elements inside <system>
    std::string wave_dir;           // "" writes no save-waveform element
    bool save_waveform = false;
};

inline std::string speakwire_conf_xml(const speakwire_conf& c)
{
    std::ostringstream out;
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<pelka>\n"
        << "  <system>\n    <init-path>" << c.init_path << "</init-path>\n" << c.system_extra << "  </system>\n"
        << "  <auth_info token_interval=\"" << c.token_interval << "\" token_server=\"" << c.token_url << "\">\n"
        << "    <auth_identity user_name=\"" << c.user << "\" user_password=\"" << c.password
        << "\" user_domain_name=\"" << c.domain << "\"/>\n"
        << "    <auth_scope scope_project_name=\"" << c.project << "\"/>\n"
        << "  </auth_info>\n";
    if (!c.wave_dir.empty())
        out << "  <save-waveform><dir>" << c.wave_dir << "</dir><enable>" << (c.save_waveform ? "true" : "false")
            << "</enable></save-waveform>\n";
    out << "</pelka>\n";
    return out.str();
}

// A fresh directory under /tmp with the given subdirectories, and <root>/bin as the working directory
// while it lives: the plug-ins write their token file to ../conf, relative to the working directory.
class scratch_dir {
public:
    bool create(const char* prefix, std::initializer_list<const char*> subdirs)
    {
        std::string tmpl = std::string("/tmp/") + prefix + "_XXXXXX";
        if (!mkdtemp(&tmpl[0]))
            return false;
        m_root = tmpl;
        for (const char* d : {"/bin", "/conf"})
            if (mkdir((m_root + d).c_str(), 0755) != 0)
                return false;
        for (const char* d : subdirs)
            if (mkdir((m_root + "/" + d).c_str(), 0755) != 0)
                return false;
        char cwd[4096];
        if (!getcwd(cwd, sizeof(cwd)))
            return false;
        m_old_cwd = cwd;
        return chdir((m_root + "/bin").c_str()) == 0;
    }

    ~scratch_dir()
    {
        if (m_root.empty())
            return;
        if (!m_old_cwd.empty() && chdir(m_old_cwd.c_str()) != 0)
            perror("chdir");
        std::string cmd = "rm -rf '" + m_root + "'";
        (void)!system(cmd.c_str());
    }

    const std::string& root() const { return m_root; }
    std::string path(const std::string& sub) const { return m_root + "/" + sub; }
    std::string token_file() const { return m_root + "/conf/x_auth_token.txt"; }

private:
    std::string m_root;
    std::string m_old_cwd;
};

}  // namespace e2e
