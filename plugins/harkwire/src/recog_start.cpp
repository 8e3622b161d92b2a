/*
 * The texts of the recognition protocol that the plug-in writes: the START and
 * END commands and the service URI. Pure functions, so tests call them directly.
 */
#include <math.h>

#include <string>

#include <json/json.h>

#include "recog_session.h"

recog_start_timing_t recog_start_timing_from_header(const mrcp_recog_header_t* header)
{
    recog_start_timing_t t;
    t.no_input_timeout = (int32_t)header->no_input_timeout;
    t.recognition_timeout = (int32_t)header->recognition_timeout;
    t.speech_complete_timeout = (int32_t)header->speech_complete_timeout;
    t.sensitivity_level = header->sensitivity_level;
    t.vad_head = (int32_t)header->no_input_timeout > 0;
    return t;
}

recog_start_timing_t recog_start_timing_from_rule(const rule& document)
{
    recog_start_timing_t t;
    t.no_input_timeout = document.no_input_timeout_;
    t.recognition_timeout = document.recognition_timeout_;
    t.speech_complete_timeout = document.speech_complete_timeout_;
    t.sensitivity_level = document.sensitivity_level_;
    t.vad_head = true;
    return t;
}

std::string build_start_command(const std::string& language, const std::string& domain,
                                const recog_start_timing_t& timing, const char* vocabulary)
{
    Json::Value config(Json::objectValue);
    config["audio_format"] = "pcm8k16bit";
    config["interim_results"] = "no";
    config["max_seconds"] = (Json::Int)((int32_t)timing.recognition_timeout / 1000);
    /* No length limit: the domain comes from the client's grammar. */
    config["property"] = language + "_8k_" + domain;
    if (timing.vad_head)
        config["vad_head"] = (Json::Int)(int32_t)timing.no_input_timeout;
    config["vad_tail"] = (Json::Int)(int32_t)timing.speech_complete_timeout;
    /* Rounded, so that a sensitivity of 0.7 is sent as 70, not 69. */
    config["vad_threshold"] = (Json::Int)lround((double)timing.sensitivity_level * 100.0);
    if (vocabulary)
        config["vocabulary_id"] = vocabulary;
    Json::Value command(Json::objectValue);
    command["command"] = "START";
    command["config"] = config;
    Json::FastWriter writer;
    return writer.write(command);
}

std::string build_end_command()
{
    Json::Value command(Json::objectValue);
    command["cancel"] = true;
    command["command"] = "END";
    Json::FastWriter writer;
    return writer.write(command);
}

std::string construct_uri(const std::string& init_path, bool continuous)
{
    std::string base = init_path;
    std::string query;
    size_t q = base.find('?');
    if (q != std::string::npos) {
        query = base.substr(q);
        base.erase(q);
    }
    /* Only a path segment may name the service; a host like asr-stream.example stays. */
    size_t path_start = 0;
    size_t scheme = base.find("://");
    if (scheme != std::string::npos) {
        size_t slash = base.find('/', scheme + 3);
        path_start = slash == std::string::npos ? base.size() : slash;
    }
    size_t last = base.rfind('/');
    if (last != std::string::npos && last >= path_start) {
        std::string segment = base.substr(last + 1);
        const std::string suffix = "-stream";
        if (segment.size() >= suffix.size() &&
            segment.compare(segment.size() - suffix.size(), suffix.size(), suffix) == 0)
            base.erase(last);
    }
    if (base.empty() || base[base.size() - 1] != '/')
        base += "/";
    base += continuous ? "continue-stream" : "sentence-stream";
    return base + query;
}

apt_bool_t is_zero(const void* data, int len)
{
    if (len < 1)
        return TRUE;
    const unsigned char* bytes = (const unsigned char*)data;
    for (int i = 0; i < len; ++i)
        if (bytes[i])
            return FALSE;
    return TRUE;
}

