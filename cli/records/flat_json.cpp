#include "cli/records/flat_json.h"

#include <charconv>

namespace lumo::cli::records {

namespace {

class Reader {
  public:
    explicit Reader(std::string_view text) : text_(text) {}

    std::optional<JsonObject> Object() {
        JsonObject object;
        Space();
        if (!Take('{')) return Fail("expected '{'");
        Space();
        if (Take('}')) return End(std::move(object));
        for (;;) {
            Space();
            std::string key;
            if (!String(key)) return std::nullopt;
            Space();
            if (!Take(':')) return Fail("expected ':'");
            Space();
            JsonValue value;
            if (!Value(value)) return std::nullopt;
            object.insert_or_assign(std::move(key), std::move(value));
            Space();
            if (Take('}')) return End(std::move(object));
            if (!Take(',')) return Fail("expected ',' or '}'");
        }
    }

    std::string error;

  private:
    std::optional<JsonObject> End(JsonObject object) {
        Space();
        if (at_ != text_.size()) return Fail("text after the object");
        return object;
    }

    std::nullopt_t Fail(std::string what) {
        if (error.empty()) error = what + " at character " + std::to_string(at_ + 1);
        return std::nullopt;
    }

    bool Bad(std::string what) {
        Fail(std::move(what));
        return false;
    }

    void Space() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' ||
                                      text_[at_] == '\r' || text_[at_] == '\n')) {
            ++at_;
        }
    }

    bool Take(char c) {
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }

    bool Word(std::string_view word) {
        if (text_.substr(at_, word.size()) != word) return false;
        at_ += word.size();
        return true;
    }

    bool Value(JsonValue& value) {
        if (at_ >= text_.size()) return Bad("expected a value");
        const char c = text_[at_];
        if (c == '"') {
            std::string s;
            if (!String(s)) return false;
            value = std::move(s);
            return true;
        }
        if (Word("true")) {
            value = true;
            return true;
        }
        if (Word("false")) {
            value = false;
            return true;
        }
        if (Word("null")) {
            value = JsonNull{};
            return true;
        }
        if (c == '-' || (c >= '0' && c <= '9')) {
            std::int64_t number = 0;
            const auto [end, ec] =
                std::from_chars(text_.data() + at_, text_.data() + text_.size(), number);
            if (ec != std::errc()) return Bad("bad number");
            at_ = static_cast<std::size_t>(end - text_.data());
            if (at_ < text_.size() && (text_[at_] == '.' || text_[at_] == 'e' || text_[at_] == 'E'))
                return Bad("a number that is not a whole one");
            value = number;
            return true;
        }
        return Bad("expected a string, a whole number, true, false or null");
    }

    bool Hex4(unsigned& code) {
        code = 0;
        for (int i = 0; i < 4; ++i, ++at_) {
            if (at_ >= text_.size()) return false;
            const char c = text_[at_];
            code <<= 4;
            if (c >= '0' && c <= '9') code |= static_cast<unsigned>(c - '0');
            else if (c >= 'a' && c <= 'f') code |= static_cast<unsigned>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') code |= static_cast<unsigned>(c - 'A' + 10);
            else return false;
        }
        return true;
    }

    static void Utf8(std::string& out, unsigned code) {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }

    bool String(std::string& out) {
        if (!Take('"')) return Bad("expected a string");
        while (at_ < text_.size()) {
            const char c = text_[at_++];
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20)
                return Bad("a control character in a string");
            if (c != '\\') {
                out += c;
                continue;
            }
            if (at_ >= text_.size()) break;
            const char e = text_[at_++];
            switch (e) {
                case '"': out += '"'; break;
                case '\\': out += '\\'; break;
                case '/': out += '/'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'u': {
                    unsigned code = 0;
                    if (!Hex4(code)) return Bad("bad \\u escape");
                    if (code >= 0xD800 && code <= 0xDBFF) {
                        unsigned low = 0;
                        if (!Word("\\u") || !Hex4(low) || low < 0xDC00 || low > 0xDFFF)
                            return Bad("a lone surrogate");
                        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                    } else if (code >= 0xDC00 && code <= 0xDFFF) {
                        return Bad("a lone surrogate");
                    }
                    Utf8(out, code);
                    break;
                }
                default: return Bad("bad escape");
            }
        }
        return Bad("an unterminated string");
    }

    std::string_view text_;
    std::size_t at_ = 0;
};

}  // namespace

std::optional<JsonObject> ParseFlatJson(std::string_view text, std::string& error) {
    Reader reader(text);
    auto object = reader.Object();
    error = reader.error;
    return object;
}

}  // namespace lumo::cli::records
