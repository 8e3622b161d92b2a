#include "synth_protocol.h"

#include <stdio.h>
#include <string.h>

#include <json/json.h>

#include "json_text.h"
#include "synth_properties.h"
#include "vendor_specific_parameters.h"

const char SYNTH_END_COMMAND[] = "{\"command\":\"END\"}\n";

static apt_bool_t content_type_is(const apt_str_t *content_type, const char *type)
{
    apt_str_t wanted;
    apt_string_set(&wanted, type);
    return apt_string_compare(content_type, &wanted);
}

synth_markup_e synth_markup_get(const apt_str_t *content_type, mrcp_version_e version)
{
    if (!content_type)
        return SYNTH_MARKUP_PLAIN;
    if (version == MRCP_VERSION_1 && content_type_is(content_type, "application/synthesis+ssml"))
        return SYNTH_MARKUP_SSML;
    if (version == MRCP_VERSION_2 && content_type_is(content_type, "application/ssml+xml"))
        return SYNTH_MARKUP_SSML;
    if (content_type_is(content_type, "text/plain"))
        return SYNTH_MARKUP_PLAIN;
    return SYNTH_MARKUP_INVALID;
}

const char *synth_tagmode_get(synth_markup_e markup, apt_bool_t use_kivtag)
{
    if (markup == SYNTH_MARKUP_SSML)
        return use_kivtag ? "kivtag" : "ssml";
    return "none";
}

/* The service's levels run 0 to 9 with 5 as the middle; START sends them as offsets of 100 per level. */
int synth_start_pitch(synth_pitch_label_e pitch)
{
    return (int)prosody_pitch_id2value(pitch) * 100 - 500;
}

int synth_start_speed(const mrcp_prosody_rate_t *rate, apr_size_t speed_revise)
{
    if (rate->type == PROSODY_RATE_TYPE_RELATIVE_CHANGE)
        return 0;
    const int level = (int)prosody_rate_id2value(rate->value.label) - (int)speed_revise;
    return level * 100 - 500;
}

int synth_start_volume(const mrcp_prosody_volume_t *volume)
{
    switch (volume->type) {
    case PROSODY_VOLUME_TYPE_NUMERIC:
        return (int)prosody_volume_vol2value(volume->value.numeric) * 10;
    case PROSODY_VOLUME_TYPE_RELATIVE_CHANGE:
        return 50;
    default:
        return (int)prosody_volume_id2value(volume->value.label) * 10;
    }
}

std::string synth_body_text(const apt_str_t *body)
{
    if (!body || !body->buf)
        return std::string();
    return std::string(body->buf, strnlen(body->buf, body->length));
}

/* Appends text as a JSON string, its bytes unchanged but for what JSON must escape. */
static void json_string_append(std::string &out, const std::string &text)
{
    out += '"';
    out += json_escape(text);
    out += '"';
}

std::string synth_start_command(const synth_start_t &start)
{
    /* Written member by member, in key order, never pasted: quotes, backslashes and control bytes in
       the text cannot end the string. */
    std::string command = "{\"command\":\"START\",\"config\":{\"audio_format\":\"pcm\",\"pitch\":";
    command += std::to_string(start.pitch);
    command += ",\"property\":";
    json_string_append(command, start.property);
    command += ",\"sample_rate\":\"8000\",\"speed\":";
    command += std::to_string(start.speed);
    command += ",\"tagmode\":";
    json_string_append(command, start.tagmode);
    command += ",\"volume\":";
    command += std::to_string(start.volume);
    command += "},\"text\":";
    json_string_append(command, start.text);
    command += "}\n";
    return command;
}

/* A member's value as text, whatever its JSON type. */
static std::string json_text(const Json::Value &value)
{
    if (value.isString() || value.isNumeric() || value.isBool())
        return value.asString();
    if (value.isNull())
        return std::string();
    Json::FastWriter writer;
    std::string text = writer.write(value);
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

synth_reply_t synth_reply_parse(const std::string &payload)
{
    synth_reply_t reply;
    try {
        Json::Reader reader;
        Json::Value root;
        if (!reader.parse(payload, root, false) || !root.isObject())
            return reply;
        const Json::Value &resp_type = root["resp_type"];
        if (!resp_type.isString() || !root["trace_id"].isString())
            return reply;
        const std::string type = resp_type.asString();
        if (type == "START") {
            reply.kind = SYNTH_REPLY_START;
        } else if (type == "END") {
            const Json::Value &reason = root["reason"];
            reply.kind = (reason.isString() && reason.asString() == "NORMAL") ? SYNTH_REPLY_END_NORMAL
                                                                               : SYNTH_REPLY_END_ABNORMAL;
        } else if (type == "ERROR" || type == "FATAL_ERROR") {
            reply.kind = SYNTH_REPLY_ERROR;
            reply.error_code = json_text(root["error_code"]);
        }
    } catch (const std::exception &) {
        /* A reply the parser cannot take (nesting too deep, say) is ignored like any unreadable one. */
        reply = synth_reply_t();
    }
    return reply;
}
