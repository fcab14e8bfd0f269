// lumo-flash's command line.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <variant>

#include "cli/records/records_options.h"

namespace lumo::cli {

inline constexpr std::uint16_t kProductVariant = 0x7B16;
inline constexpr std::uint16_t kProductPrimary = 0xC3D1;

// The longest --wait and --resume-timeout: a day. Anything longer is a mistake on the command
// line, and the run counts in whole milliseconds, which this keeps far from overflow.
inline constexpr double kMaxSeconds = 86400;

struct Options {
    double wait_s = 0;             // how long to wait for a device; 0: it must be there now
    double resume_timeout_s = 60;  // how long an unplugged device may stay away mid-update
    bool json = false;             // one JSON object per line on stdout
    bool list = false;
    bool version = false;
    bool allow_stand_in = false;
    std::optional<std::string> image;  // UTF-8 path
    std::optional<std::uint16_t> product;
    std::optional<std::string> device;  // the unit to update, as --list names it
    bool all = false;                   // every unit present, at once
    bool station = false;               // each unit as it is plugged in, until Ctrl-C
    // Where records of update attempts go: --records, else $LUMO_RECORDS; none given: the
    // platform's default store.
    std::optional<std::string> records_target;
    std::string station_name;  // --station-name; empty: the host name
    std::optional<records::RecordsCommandOptions> records;  // `lumo-flash records ...`
};

// Parses argv (UTF-8). Either the options to run with, or the exit status when the command
// line was answered here (--help: 0) or was wrong (3, with the reason on `err`).
std::variant<Options, int> ParseOptions(int argc, const char* const* argv, std::ostream& out,
                                        std::ostream& err);

// "7b16" or "c3d1".
std::string ProductName(std::uint16_t product);

}  // namespace lumo::cli
