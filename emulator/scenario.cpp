#include "emulator/scenario.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <sstream>

namespace lumo::emulator {

namespace {

std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    std::istringstream in(line);
    std::string w;
    while (in >> w) {
        std::transform(w.begin(), w.end(), w.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        words.push_back(w);
    }
    return words;
}

bool Number(const std::string& s, std::uint32_t& out) {
    const char* end = s.data() + s.size();
    auto [p, ec] = std::from_chars(s.data(), end, out);
    return ec == std::errc{} && p == end;
}

// Matches `words` against `pattern`, where "N" takes a number into `nums`.
bool Match(const std::vector<std::string>& words, const std::vector<std::string>& pattern,
           std::vector<std::uint32_t>& nums) {
    if (words.size() != pattern.size()) return false;
    std::vector<std::uint32_t> found;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (pattern[i] == "N") {
            std::uint32_t v = 0;
            if (!Number(words[i], v)) return false;
            found.push_back(v);
        } else if (words[i] != pattern[i]) {
            return false;
        }
    }
    nums = std::move(found);
    return true;
}

bool Statement(const std::vector<std::string>& w, Scenario& s, std::string& error) {
    std::vector<std::uint32_t> n;
    if (Match(w, {"plug", "in", "after", "N", "ms"}, n)) {
        s.plug_in_ms = n[0];
    } else if (Match(w, {"unplug", "at", "block", "N"}, n)) {
        s.unplugs.push_back({Unplug::Trigger::AtBlock, n[0], {}, {}});
    } else if (Match(w, {"unplug", "after", "block", "N"}, n)) {
        s.unplugs.push_back({Unplug::Trigger::AfterBlock, n[0], {}, {}});
    } else if (Match(w, {"unplug", "after", "N", "ms"}, n)) {
        s.unplugs.push_back({Unplug::Trigger::AfterMs, n[0], {}, {}});
    } else if (Match(w, {"replug", "after", "N", "ms"}, n)) {
        if (s.unplugs.empty() || s.unplugs.back().replug_ms) {
            error = "a replug needs an unplug before it";
            return false;
        }
        s.unplugs.back().replug_ms = n[0];
    } else if (Match(w, {"removal", "events", "after", "N", "ms"}, n)) {
        if (s.unplugs.empty() || s.unplugs.back().removal_events_ms) {
            error = "removal events need an unplug before them";
            return false;
        }
        s.unplugs.back().removal_events_ms = n[0];
    } else if (Match(w, {"fail", "block", "N"}, n)) {
        s.faults.push_back({n[0], {}});
    } else if (Match(w, {"stall", "block", "N", "for", "N", "ms"}, n)) {
        s.faults.push_back({n[0], n[1]});
    } else if (Match(w, {"never", "answer", "start"}, n)) {
        s.never_answer_start = true;
    } else if (Match(w, {"unrelated", "device"}, n)) {
        s.unrelated_at_start = true;
    } else if (Match(w, {"add", "unrelated", "device", "after", "N", "ms"}, n)) {
        s.unrelated.push_back({n[0], true});
    } else if (Match(w, {"remove", "unrelated", "device", "after", "N", "ms"}, n)) {
        if (s.unrelated.empty() && !s.unrelated_at_start) s.unrelated_at_start = true;
        s.unrelated.push_back({n[0], false});
    } else if (Match(w, {"second", "device"}, n)) {
        s.second_device = true;
    } else if (Match(w, {"second", "device", "after", "N", "ms"}, n)) {
        s.second_device = true;
        s.second_device_ms = n[0];
    } else if (Match(w, {"remove", "second", "device", "after", "N", "ms"}, n)) {
        s.second_device = true;
        s.second_device_removed_ms = n[0];
    } else {
        error = "not understood";
        return false;
    }
    return true;
}

}  // namespace

bool ParseScenario(const std::string& text, Scenario& scenario, std::string& error) {
    std::istringstream in(text);
    std::string raw;
    int line_no = 0;
    while (std::getline(in, raw)) {
        ++line_no;
        raw = raw.substr(0, raw.find('#'));
        std::istringstream parts(raw);
        std::string part;
        while (std::getline(parts, part, ';')) {
            const auto words = Words(part);
            if (words.empty()) continue;
            std::string why;
            if (!Statement(words, scenario, why)) {
                error = "line " + std::to_string(line_no) + ": " + why + ": \"" + part + "\"";
                return false;
            }
        }
    }
    return true;
}

}  // namespace lumo::emulator
