#include "cli/records/utc_time.h"

#include <cstdio>

namespace lumo::cli::records {

namespace {

using namespace std::chrono;

bool Digits(std::string_view text, std::size_t at, std::size_t count, int& value) {
    value = 0;
    if (at + count > text.size()) return false;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

std::optional<sys_days> ParseDate(std::string_view text) {
    int y = 0, m = 0, d = 0;
    if (text.size() < 10 || text[4] != '-' || text[7] != '-' || !Digits(text, 0, 4, y) ||
        !Digits(text, 5, 2, m) || !Digits(text, 8, 2, d)) {
        return std::nullopt;
    }
    const year_month_day date{year{y}, month{static_cast<unsigned>(m)},
                              day{static_cast<unsigned>(d)}};
    if (!date.ok()) return std::nullopt;
    return sys_days{date};
}

}  // namespace

std::string FormatUtc(system_clock::time_point time) {
    const auto ms = floor<milliseconds>(time);
    const auto date = floor<days>(ms);
    const year_month_day ymd{date};
    const hh_mm_ss clock{ms - date};
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ",
                  static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                  static_cast<unsigned>(ymd.day()), static_cast<int>(clock.hours().count()),
                  static_cast<int>(clock.minutes().count()),
                  static_cast<int>(clock.seconds().count()),
                  static_cast<int>(clock.subseconds().count()));
    return text;
}

std::string NowUtc() { return FormatUtc(system_clock::now()); }

std::optional<std::int64_t> ParseUtcMs(std::string_view text) {
    const auto date = ParseDate(text);
    int h = 0, min = 0, s = 0, ms = 0;
    if (!date || text.size() != 24 || text[10] != 'T' || text[13] != ':' || text[16] != ':' ||
        text[19] != '.' || text[23] != 'Z' || !Digits(text, 11, 2, h) ||
        !Digits(text, 14, 2, min) || !Digits(text, 17, 2, s) || !Digits(text, 20, 3, ms) ||
        h > 23 || min > 59 || s > 59) {
        return std::nullopt;
    }
    const auto time = *date + hours{h} + minutes{min} + seconds{s} + milliseconds{ms};
    return duration_cast<milliseconds>(time.time_since_epoch()).count();
}

std::optional<std::string> SinceBound(std::string_view text) {
    if (text.size() == 10 && ParseDate(text)) return std::string(text) + "T00:00:00.000Z";
    if (ParseUtcMs(text)) return std::string(text);
    return std::nullopt;
}

}  // namespace lumo::cli::records
