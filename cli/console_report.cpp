#include "cli/console_report.h"

#include <cstdio>
#include <ostream>

#include "cli/json_line.h"
#include "core/update_sequence.h"

namespace lumo::cli {

namespace {

constexpr int kBarWidth = 24;
// A redraw at most this often, and at every new percentage.
constexpr std::uint64_t kRedrawMs = 250;

std::string Clock(std::uint64_t ms) {
    const std::uint64_t s = (ms + 500) / 1000;
    char buf[24];
    std::snprintf(buf, sizeof buf, "%02u:%02u", static_cast<unsigned>(s / 60),
                  static_cast<unsigned>(s % 60));
    return buf;
}

// The pace is one block per 10 ms tick, then the 500 ms before the finish report.
std::uint64_t MsLeft(const ProgressFigures& p) {
    const std::uint64_t blocks_left = p.blocks > p.block ? p.blocks - p.block : 0;
    return blocks_left * UPDATE_TIMER_PERIOD_MS + (blocks_left ? UPDATE_FINISH_PAUSE_MS : 0);
}

std::uint64_t U64(std::uint64_t v) { return v; }

}  // namespace

std::string ConsoleReport::ProgressText(const ProgressFigures& p, bool bar) const {
    std::string text;
    char buf[96];
    std::snprintf(buf, sizeof buf, "%3u%% ", p.percent);
    text += buf;
    if (bar) {
        const int filled = static_cast<int>(p.percent > 100 ? 100 : p.percent) * kBarWidth / 100;
        text += '[';
        text.append(static_cast<std::size_t>(filled), '#');
        text.append(static_cast<std::size_t>(kBarWidth - filled), '-');
        text += "] ";
    }
    std::snprintf(buf, sizeof buf, "%u/%u blocks, %s elapsed, %s left", p.block, p.blocks,
                  Clock(p.elapsed_ms).c_str(), Clock(MsLeft(p)).c_str());
    return text + buf;
}

void ConsoleReport::EndRedrawnLine() {
    if (!redrawn_line_open_) return;
    out_ << '\n' << std::flush;
    redrawn_line_open_ = false;
}

void ConsoleReport::EventLine(std::string_view text) {
    EndRedrawnLine();
    out_ << text << '\n' << std::flush;
}

void ConsoleReport::Json(const std::string& line) {
    // The record's ID goes right after the event's name: every event still begins and ends as
    // it always has ({"event":"progress", … "percent":10}).
    constexpr std::string_view kEvent = "{\"event\":\"";
    const std::size_t name_end =
        line.starts_with(kEvent) ? line.find('"', kEvent.size()) : std::string::npos;
    if (record_.empty() || name_end == std::string::npos) {
        out_ << line << '\n' << std::flush;
        return;
    }
    out_ << line.substr(0, name_end + 1) << ",\"record\":" << JsonString(record_)
         << line.substr(name_end + 1) << '\n' << std::flush;
}

void ConsoleReport::Notice(std::string_view text) {
    EndRedrawnLine();
    err_ << text << '\n' << std::flush;
}

void ConsoleReport::Waiting(double seconds) {
    char buf[120];
    std::snprintf(buf, sizeof buf,
                  "Waiting up to %g s for an Orvel-M8 in update mode (hold HOME while plugging "
                  "it in).",
                  seconds);
    if (mode_ == OutputMode::kJson) {
        Json(JsonLine()
                 .Add("event", "waiting")
                 .Add("wait_ms", U64(static_cast<std::uint64_t>(seconds * 1000.0 + 0.5)))
                 .str());
    } else {
        EventLine(buf);
    }
}

void ConsoleReport::DeviceFound(std::string_view path, std::string_view product,
                                const UnitIdentity& unit, std::optional<std::uint32_t> from_block) {
    if (mode_ == OutputMode::kJson) {
        JsonLine line;
        line.Add("event", "device").Add("path", path).Add("product", product);
        if (!unit.port.empty()) line.Add("port", unit.port);
        if (!unit.serial.empty()) line.Add("serial", unit.serial);
        if (from_block) line.Add("block", U64(*from_block));
        Json(line.str());
        return;
    }
    std::string where = std::string(path) + " (product " + std::string(product);
    if (!unit.port.empty()) where += ", port " + unit.port;
    if (!unit.serial.empty()) where += ", serial " + unit.serial;
    where += ")";
    EventLine(from_block ? "Device opened at block " + std::to_string(*from_block) + ": " + where
                         : "Device found: " + where);
}

void ConsoleReport::Started(std::string_view product, std::uint32_t blocks, std::uint32_t length,
                            std::string_view sha256) {
    if (mode_ == OutputMode::kJson) {
        Json(JsonLine()
                 .Add("event", "start")
                 .Add("product", product)
                 .Add("blocks", U64(blocks))
                 .Add("bytes", U64(length))
                 .Add("sha256", sha256)
                 .str());
    } else {
        EventLine("Updating: " + std::to_string(length) + " bytes in " + std::to_string(blocks) +
                  " blocks, SHA-256 " + std::string(sha256) +
                  ". Do not unplug the device.");
    }
}

void ConsoleReport::Progress(const ProgressFigures& p) {
    const int percent = static_cast<int>(p.percent);
    switch (mode_) {
        case OutputMode::kJson:
            if (percent == last_percent_) return;
            Json(JsonLine()
                     .Add("event", "progress")
                     .Add("block", U64(p.block))
                     .Add("blocks", U64(p.blocks))
                     .Add("percent", U64(p.percent))
                     .str());
            break;
        case OutputMode::kLines:
            if (percent / 10 == last_decile_) return;
            last_decile_ = percent / 10;
            EventLine(ProgressText(p, false));
            break;
        case OutputMode::kTerminal:
            if (percent == last_percent_ && p.elapsed_ms < last_draw_ms_ + kRedrawMs) return;
            last_draw_ms_ = p.elapsed_ms;
            out_ << '\r' << ProgressText(p, true) << "   " << std::flush;
            redrawn_line_open_ = true;
            break;
    }
    last_percent_ = percent;
}

void ConsoleReport::Suspended(const ProgressFigures& p, double resume_timeout_s) {
    if (mode_ == OutputMode::kJson) {
        Json(JsonLine()
                 .Add("event", "suspended")
                 .Add("block", U64(p.block))
                 .Add("percent", U64(p.percent))
                 .str());
        return;
    }
    char buf[200];
    std::snprintf(buf, sizeof buf,
                  "The device was unplugged at block %u of %u (%u%%). Plug it in again in update "
                  "mode within %g s and the update goes on from there.",
                  p.block, p.blocks, p.percent, resume_timeout_s);
    EventLine(buf);
}

void ConsoleReport::Resumed(const ProgressFigures& p) {
    if (mode_ == OutputMode::kJson) {
        Json(JsonLine().Add("event", "resumed").Add("block", U64(p.block)).str());
        return;
    }
    EventLine("The device is back; going on from block " + std::to_string(p.block) + ".");
}

void ConsoleReport::Done(const ProgressFigures& p, std::string_view text, std::string_view next) {
    Progress(p);
    if (mode_ == OutputMode::kJson) {
        Json(JsonLine()
                 .Add("event", "done")
                 .Add("blocks", U64(p.blocks))
                 .Add("elapsed_ms", U64(p.elapsed_ms))
                 .Add("text", text)
                 .str());
        return;
    }
    EventLine(text);
    out_ << next << '\n' << std::flush;
}

void ConsoleReport::Failed(std::string_view reason, std::string_view text, std::string_view next) {
    EndRedrawnLine();
    if (mode_ == OutputMode::kJson) {
        Json(JsonLine().Add("event", "failed").Add("reason", reason).Add("text", text).str());
    }
    err_ << text << '\n' << next << '\n' << std::flush;
}

}  // namespace lumo::cli
