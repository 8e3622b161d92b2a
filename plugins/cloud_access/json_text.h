#ifndef CLOUD_ACCESS_JSON_TEXT_H
#define CLOUD_ACCESS_JSON_TEXT_H

#include <stdio.h>

#include <string>

/*
 * Escapes text for the inside of a JSON string. Only what JSON requires is escaped: the quote, the
 * backslash and the control bytes. Every other byte goes out as it is, so text in any code page (GBK,
 * Big5, UTF-8) reaches the service as its own bytes.
 */
inline std::string json_escape(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char escaped[8];
                snprintf(escaped, sizeof(escaped), "\\u%04x", (unsigned)c);
                out += escaped;
            } else {
                out += (char)c;
            }
        }
    }
    return out;
}

#endif
