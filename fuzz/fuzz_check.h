// What the fuzz targets share: a check that stops the run, so that libFuzzer keeps the input
// that broke a property as a crash, and a reader of newline-separated fields.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace lumo::fuzz {

[[noreturn]] inline void Broken(const char* what) {
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
}

inline void Require(bool ok, const char* what) {
    if (!ok) Broken(what);
}

// Takes the input apart at newlines; the last field takes the rest.
class Fields {
  public:
    Fields(const std::uint8_t* data, std::size_t size)
        : rest_(reinterpret_cast<const char*>(data), size) {}
    std::string Next() {
        const auto nl = rest_.find('\n');
        std::string field(rest_.substr(0, nl));
        rest_ = nl == std::string_view::npos ? std::string_view{} : rest_.substr(nl + 1);
        return field;
    }
    std::string Rest() {
        std::string field(rest_);
        rest_ = {};
        return field;
    }

  private:
    std::string_view rest_;
};

// Reads the input byte by byte; zero once it runs out.
class Bytes {
  public:
    Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool Empty() const { return pos_ >= size_; }
    std::uint8_t Next() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint16_t Next16() { return static_cast<std::uint16_t>(Next() | (Next() << 8)); }
    std::string String(std::size_t max) {
        const std::size_t n = std::min<std::size_t>(Next() % (max + 1), size_ - std::min(pos_, size_));
        std::string s(reinterpret_cast<const char*>(data_ + pos_), n);
        pos_ += n;
        return s;
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

}  // namespace lumo::fuzz
