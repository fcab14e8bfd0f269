#include "cli/json_line.h"

#include <cstdio>

namespace lumo::cli {

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

bool Continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// The length of the well-formed UTF-8 sequence of two to four bytes at the start of `s`, or 0.
// Overlong forms, surrogates and code points past U+10FFFF are not well-formed.
std::size_t MultiByteSequence(std::string_view s) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (s.size() < length || byte(1) < low || byte(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (!Continuation(byte(i))) return 0;
    return length;
}

}  // namespace

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (static_cast<unsigned char>(c) >= 0x80) {
            // Bytes that are not UTF-8 (a file name in another encoding) would make the whole
            // line unreadable as JSON: each such byte becomes U+FFFD.
            const std::size_t length = MultiByteSequence(text.substr(i));
            if (length == 0) {
                out += kReplacement;
            } else {
                out += text.substr(i, length);
                i += length - 1;
            }
            continue;
        }
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
                    out += buf;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

void JsonLine::Key(std::string_view key) {
    if (body_.size() > 1) body_ += ",";
    body_ += JsonString(key);
    body_ += ":";
}

JsonLine& JsonLine::Add(std::string_view key, std::string_view value) {
    Key(key);
    body_ += JsonString(value);
    return *this;
}

JsonLine& JsonLine::Add(std::string_view key, std::uint64_t value) {
    Key(key);
    body_ += std::to_string(value);
    return *this;
}

JsonLine& JsonLine::Add(std::string_view key, bool value) {
    Key(key);
    body_ += value ? "true" : "false";
    return *this;
}

}  // namespace lumo::cli
