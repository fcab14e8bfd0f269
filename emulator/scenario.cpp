#include "emulator/scenario.h"

#include "emulator/bootloader_model.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <sstream>

namespace lumo::emulator {

namespace {

std::vector<std::string> RawWords(const std::string& line) {
    std::vector<std::string> words;
    std::istringstream in(line);
    std::string w;
    while (in >> w) words.push_back(w);
    return words;
}

std::vector<std::string> Lowered(std::vector<std::string> words) {
    for (std::string& w : words)
        std::transform(w.begin(), w.end(), w.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
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

// A port on the emulated root hub: "1-" and dot-separated port numbers.
bool PortName(const std::string& s) {
    if (!s.starts_with("1-") || s.size() == 2 || s.back() == '.') return false;
    bool after_dot = true;
    for (const char c : s.substr(2)) {
        if (c == '.' && after_dot) return false;
        if (c != '.' && !std::isdigit(static_cast<unsigned char>(c))) return false;
        after_dot = c == '.';
    }
    return true;
}

ExtraUnit* FindUnit(Scenario& s, const std::string& name) {
    for (ExtraUnit& u : s.units)
        if (u.name == name) return &u;
    return nullptr;
}

// The unit statements; `raw` is `w` before lowering (serials keep their case). Sets `error`
// when a statement is recognised but wrong; false with no error when not recognised.
bool UnitStatement(const std::vector<std::string>& w, const std::vector<std::string>& raw,
                   Scenario& s, std::string& error) {
    std::vector<std::uint32_t> n;
    const auto known = [&](const std::string& name) {
        if (FindUnit(s, name)) return true;
        error = "no unit " + name + " before this";
        return false;
    };
    if (w.size() >= 3 && w[0] == "device" && w[1] == "at") {
        if (!PortName(w[2])) return (error = "bad port " + w[2]), false;
        s.device_port = w[2];
        if (w.size() == 5 && w[3] == "no" && w[4] == "serial") {
            s.device_serial = "";
        } else if (w.size() == 5 && w[3] == "serial") {
            s.device_serial = raw[4];
        } else if (w.size() != 3) {
            return false;
        }
        return true;
    }
    if (w.size() >= 5 && w[0] == "unit" && w[3] == "at") {
        if (w[2] != "c3d1" && w[2] != "7b16") return (error = "bad product " + w[2]), false;
        if (!PortName(w[4])) return (error = "bad port " + w[4]), false;
        if (FindUnit(s, w[1])) return (error = "unit " + w[1] + " named twice"), false;
        ExtraUnit u{w[1], w[2] == "7b16", w[4], "", std::nullopt, std::nullopt, "no-update", false};
        if (w.size() == 7 && w[5] == "serial") {
            u.serial = raw[6];
        } else if (w.size() != 5) {
            return false;
        }
        s.units.push_back(std::move(u));
        return true;
    }
    // "plug in unit NAME after N ms|block K", "unplug unit NAME after block K|N ms",
    // "expect unit NAME OUTCOME": the name is taken out, the rest matched as usual.
    const auto unit_at = std::find(w.begin(), w.end(), "unit");
    if (unit_at == w.end() || unit_at + 1 == w.end()) return false;
    const std::string name = *(unit_at + 1);
    std::vector<std::string> rest(w.begin(), unit_at);
    rest.push_back("unit");
    rest.insert(rest.end(), unit_at + 2, w.end());
    if (Match(rest, {"plug", "in", "unit", "after", "N", "ms"}, n)) {
        if (!known(name)) return false;
        FindUnit(s, name)->plug_in_ms = n[0];
    } else if (Match(rest, {"plug", "in", "unit", "after", "block", "N"}, n)) {
        if (!known(name)) return false;
        FindUnit(s, name)->plug_in_after_block = n[0];
    } else if (Match(rest, {"unplug", "unit", "after", "block", "N"}, n)) {
        if (!known(name)) return false;
        s.unplugs.push_back({Unplug::Trigger::AfterBlock, n[0], {}, {}, name});
    } else if (Match(rest, {"unplug", "unit", "after", "N", "ms"}, n)) {
        if (!known(name)) return false;
        s.unplugs.push_back({Unplug::Trigger::AfterMs, n[0], {}, {}, name});
    } else if (Match(rest, {"unit", "never", "answers", "start"}, n)) {
        if (!known(name)) return false;
        FindUnit(s, name)->never_answers_start = true;
    } else if (rest.size() == 3 && rest[0] == "expect" && rest[1] == "unit") {
        if (!known(name)) return false;
        if (!ParseOutcome(rest[2])) return (error = "bad outcome " + rest[2]), false;
        FindUnit(s, name)->expect = rest[2];
    } else {
        return false;
    }
    return true;
}

// "units COUNT on ports PORT... [serial TEXT | no serial] pull after done N ms plug after M ms";
// `raw` as in UnitStatement. Same return convention.
bool StreamStatement(const std::vector<std::string>& w, const std::vector<std::string>& raw,
                     Scenario& s, std::string& error) {
    if (w.empty() || w[0] != "units") return false;
    UnitStream stream;
    std::size_t i = 1;
    if (w.size() < 4 || !Number(w[1], stream.count) || w[2] != "on" ||
        (w[3] != "ports" && w[3] != "port"))
        return false;
    if (stream.count == 0) return (error = "no units to send"), false;
    for (i = 4; i < w.size() && w[i].starts_with("1-"); ++i) {
        if (!PortName(w[i])) return (error = "bad port " + w[i]), false;
        if (std::find(stream.ports.begin(), stream.ports.end(), w[i]) != stream.ports.end())
            return (error = "port " + w[i] + " named twice"), false;
        stream.ports.push_back(w[i]);
    }
    if (stream.ports.empty()) return false;
    if (i + 1 < w.size() && w[i] == "serial") {
        stream.serial = raw[i + 1];
        i += 2;
    } else if (i + 1 < w.size() && w[i] == "no" && w[i + 1] == "serial") {
        stream.serial = "";
        i += 2;
    }
    std::vector<std::uint32_t> n;
    const std::vector<std::string> rest(w.begin() + static_cast<std::ptrdiff_t>(i), w.end());
    if (!Match(rest, {"pull", "after", "done", "N", "ms", "plug", "after", "N", "ms"}, n))
        return false;
    if (s.stream) return (error = "one stream of units only"), false;
    stream.pull_after_done_ms = n[0];
    stream.plug_after_ms = n[1];
    s.stream = std::move(stream);
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
    } else if (Match(w, {"time", "out", "block", "N"}, n)) {
        s.faults.push_back({n[0], kKernelWriteTimeoutMs, true});
    } else if (Match(w, {"never", "answer", "start"}, n)) {
        s.never_answer_start = true;
    } else if (Match(w, {"unrelated", "device"}, n)) {
        s.unrelated_at_start = true;
    } else if (Match(w, {"add", "unrelated", "device", "after", "N", "ms"}, n)) {
        s.unrelated.push_back({n[0], true});
    } else if (Match(w, {"remove", "unrelated", "device", "after", "N", "ms"}, n)) {
        if (s.unrelated.empty() && !s.unrelated_at_start) s.unrelated_at_start = true;
        s.unrelated.push_back({n[0], false});
    } else if (Match(w, {"remove", "unrelated", "device", "after", "block", "N"}, n)) {
        s.unrelated_at_start = true;
        s.unrelated_removed_after_block = n[0];
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
            const auto raw_words = RawWords(part);
            const auto words = Lowered(raw_words);
            if (words.empty()) continue;
            std::string why;
            const bool unit = UnitStatement(words, raw_words, scenario, why) ||
                              (why.empty() && StreamStatement(words, raw_words, scenario, why));
            if (!unit && (!why.empty() || !Statement(words, scenario, why))) {
                error = "line " + std::to_string(line_no) + ": " + why + ": \"" + part + "\"";
                return false;
            }
        }
    }
    return true;
}

std::string CheckScenario(const Scenario& s) {
    if (!s.stream) return {};
    const bool about_device_1 =
        s.device_port || s.device_serial || s.plug_in_ms || !s.faults.empty() ||
        s.never_answer_start || s.unrelated_removed_after_block ||
        std::any_of(s.unplugs.begin(), s.unplugs.end(),
                    [](const Unplug& u) { return u.unit.empty(); }) ||
        std::any_of(s.units.begin(), s.units.end(),
                    [](const ExtraUnit& u) { return u.plug_in_after_block.has_value(); });
    if (about_device_1)
        return "a stream of units takes the place of device 1: no statement about device 1 "
               "(its port, plug-in, unplugs, block faults or block triggers) beside it";
    return {};
}

std::string StreamSerial(const UnitStream& stream, std::uint32_t n, bool variant) {
    if (!stream.serial) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%s-%06u", variant ? "M8V" : "M8P", n);
        return buf;
    }
    std::string serial = *stream.serial;
    if (const auto at = serial.find("{n}"); at != std::string::npos)
        serial.replace(at, 3, std::to_string(n));
    return serial;
}

}  // namespace lumo::emulator
