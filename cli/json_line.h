// One JSON object on one line, for --json. Keys are plain ASCII; string values are escaped.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace lumo::cli {

class JsonLine {
  public:
    JsonLine& Add(std::string_view key, std::string_view value);
    JsonLine& Add(std::string_view key, const char* value) {
        return Add(key, std::string_view(value));
    }
    JsonLine& Add(std::string_view key, std::uint64_t value);
    JsonLine& Add(std::string_view key, bool value);
    JsonLine& AddNull(std::string_view key) {
        Key(key);
        body_ += "null";
        return *this;
    }

    // The object, without a line break.
    std::string str() const { return body_ + "}"; }

  private:
    void Key(std::string_view key);
    std::string body_ = "{";
};

// `text` as a JSON string literal, quotes included. Well-formed UTF-8 passes through unchanged;
// every byte that is not part of it becomes U+FFFD, so the literal is always valid UTF-8.
std::string JsonString(std::string_view text);

}  // namespace lumo::cli
