#include "cli/options.h"

#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdlib>
#include <ostream>

#include "cli/exit_codes.h"
#include "cli/records/record.h"
#include "cli/records/utc_time.h"

namespace lumo::cli {

namespace {

constexpr const char* kExitStatusHelp =
    "Exit status:\n"
    "  0    success: every report of the update was written\n"
    "  1    the update failed or was interrupted (the device needs the update again)\n"
    "  2    no device in update mode (none within --wait), or several when the unit is\n"
    "       chosen and no --device (--all and --station take every unit)\n"
    "  3    usage error, bad image file, or an image this device must not get\n"
    "  4    a device is present but cannot be opened (permission)\n"
    "  5    another program is updating that unit; nothing was written\n"
    "  130  aborted: Ctrl-C (twice during an update), or the console closed, log-off,\n"
    "       shutdown (Windows)\n"
    "With --all: 0 when every unit was updated, else the status of the first unit that was\n"
    "not. With --station: the same over the units it took, in the order they ended; 130\n"
    "when it was stopped with updates under way.\n";

std::string MaxSecondsText() { return std::to_string(static_cast<long>(kMaxSeconds)); }

// A number of seconds from 0 to kMaxSeconds. Not CLI11's ranges: they let "nan" through, as no
// comparison with it is true.
CLI::Validator Seconds() {
    return CLI::Validator(
        [](std::string& input) -> std::string {
            double value = 0;
            if (CLI::detail::lexical_cast(input, value) && std::isfinite(value) && value >= 0 &&
                value <= kMaxSeconds) {
                return {};
            }
            return "expected a number of seconds from 0 to " + MaxSecondsText() + ", got " + input;
        },
        "", "SECONDS");
}

// A --since value: a day or a UTC time, kept as the lower bound of started_at.
CLI::Validator SinceDate() {
    return CLI::Validator(
        [](std::string& input) -> std::string {
            if (const auto bound = records::SinceBound(input)) {
                input = *bound;
                return {};
            }
            return "expected a day (2026-12-11) or a UTC time (2026-12-11T07:01:02.345Z), got " +
                   input;
        },
        "", "DATE");
}

// `lumo-flash records`: its own options, on a subcommand.
CLI::App* AddRecordsCommand(CLI::App& app, records::RecordsCommandOptions& r,
                            std::string& target) {
    auto* sub = app.add_subcommand(
        "records", "Show, export, import or deliver the records of update attempts (the "
                   "latest 20 as a table by default)");
    sub->add_option("--records", target,
                    "The records store: a SQLite file, a .jsonl journal or postgresql://... "
                    "(default $LUMO_RECORDS, else the user's own store)")
        ->type_name("TARGET");
    sub->add_option("--serial", r.serial, "Only this unit serial")->type_name("SERIAL");
    sub->add_option("--unit", r.unit, "Only this unit ID")->type_name("ID");
    sub->add_option("--station", r.station, "Only this station")->type_name("NAME");
    std::vector<std::string> outcomes(std::begin(records::kOutcomes),
                                      std::end(records::kOutcomes));
    sub->add_option("--outcome", r.outcome, "Only this outcome")
        ->type_name("OUTCOME")
        ->check(CLI::IsMember(outcomes));
    sub->add_option("--since", r.since, "Only attempts started on or after DATE (UTC)")
        ->type_name("DATE")
        ->transform(SinceDate());
    sub->add_option("--limit", r.limit, "At most N, the newest (default 20; 0: all)")
        ->type_name("N");
    auto* json = sub->add_flag("--json", r.json, "One JSON object per line");
    auto* csv = sub->add_flag("--csv", r.csv, "CSV with a header line");
    auto* summary = sub->add_flag(
        "--summary", r.summary,
        "Per day, station and image: attempts, units updated, failed by reason, first-pass "
        "yield and mean duration (every match, not only the newest)");
    auto* import_opt = sub->add_option("--import", r.import_file,
                                       "Load a .jsonl journal (from a Windows station) into the "
                                       "store; each record once, however often")
                           ->type_name("FILE");
    auto* sync = sub->add_flag("--sync", r.sync,
                               "Deliver the records queued for the PostgreSQL database of "
                               "--records while it was out of reach");
    json->excludes(csv);
    import_opt->excludes(json, csv, summary, sync);
    sync->excludes(json, csv, summary);
    return sub;
}

}  // namespace

std::string ProductName(std::uint16_t product) {
    return product == kProductVariant ? "7b16" : "c3d1";
}

std::variant<Options, int> ParseOptions(int argc, const char* const* argv, std::ostream& out,
                                        std::ostream& err) {
    Options o;
    CLI::App app{"Writes new firmware to an Orvel-M8 in update mode (hold HOME while plugging "
                 "it in).",
                 "lumo-flash"};
    app.footer(kExitStatusHelp);
    app.get_formatter()->column_width(30);

    auto* wait = app.add_option("--wait", o.wait_s,
                   "Wait up to SECONDS for the device (default 0: now; at most " +
                       MaxSecondsText() + ")")
        ->type_name("SECONDS")
        ->check(Seconds());
    app.add_option("--resume-timeout", o.resume_timeout_s,
                   "Wait up to SECONDS for an unplugged device to return (default 60; at most " +
                       MaxSecondsText() + ")")
        ->type_name("SECONDS")
        ->check(Seconds());
    app.add_flag("--json", o.json, "One JSON object per line on standard output");
    auto* list = app.add_flag("--list", o.list, "List the units present in update mode and their IDs");
    auto* version =
        app.add_flag("--version", o.version, "Program version and the built-in images");
    std::string image;
    auto* image_opt =
        app.add_option("--image", image, "Write this image file instead of the built-in one")
            ->type_name("FILE");
    std::string product;
    auto* product_opt = app.add_option("--product", product,
                                       "The product the image file is for (with --image)")
                            ->type_name("7b16|c3d1")
                            ->check(CLI::IsMember({"7b16", "c3d1"}, CLI::ignore_case));
    image_opt->needs(product_opt);
    product_opt->needs(image_opt);
    std::string device;
    auto* device_opt =
        app.add_option("--device", device,
                       "Update only this unit: an ID from --list (its serial, port or path)")
            ->type_name("ID");
    auto* all = app.add_flag("--all", o.all,
                             "Update every unit present, at once (lines carry the unit's ID); with "
                             "--wait, when none is, those present once the first arrives");
    auto* station = app.add_flag(
        "--station", o.station,
        "Production line: update each unit as it is plugged in, until Ctrl-C (a result line "
        "per unit and a running tally; the first Ctrl-C lets the units under way finish)");
    app.add_flag("--allow-stand-in", o.allow_stand_in,
                 "Write stand-in test images (never to a device in the field)");
    std::string records_target;
    app.add_option("--records", records_target,
                   "Keep a record of each update attempt here: a SQLite file, a .jsonl journal, "
                   "postgresql://... or none (default $LUMO_RECORDS, else the user's own store)")
        ->type_name("TARGET");
    app.add_option("--station-name", o.station_name,
                   "The station named in the records (default the host name)")
        ->type_name("NAME");
    records::RecordsCommandOptions records_command;
    std::string command_target;
    auto* records_sub = AddRecordsCommand(app, records_command, command_target);
    app.require_subcommand(0, 1);
    list->excludes(version);
    list->excludes(image_opt);
    version->excludes(image_opt);
    version->excludes(device_opt);
    all->excludes(device_opt);
    all->excludes(list);
    all->excludes(version);
    station->excludes(device_opt);
    station->excludes(all);
    station->excludes(list);
    station->excludes(version);
    station->excludes(wait);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e, out, err);
    } catch (const CLI::ParseError& e) {
        app.exit(e, out, err);
        err << "Run lumo-flash --help for the options.\n";
        return kExitUsage;
    }
    if (records_sub->parsed()) {
        if (o.list || o.version || o.all || o.station || image_opt->count() || device_opt->count()) {
            err << "lumo-flash: records takes no update options.\n"
                   "Run lumo-flash records --help for its options.\n";
            return kExitUsage;
        }
        records_command.json = records_command.json || o.json;
        o.records = records_command;
        if (!command_target.empty()) records_target = command_target;
    }
    if (!records_target.empty()) {
        o.records_target = records_target;
    } else if (const char* env = std::getenv("LUMO_RECORDS"); env && *env) {
        o.records_target = env;
    }
    if (image_opt->count() > 0) o.image = image;
    if (device_opt->count() > 0) o.device = device;
    if (product_opt->count() > 0) {
        o.product = (product == "7b16" || product == "7B16") ? kProductVariant : kProductPrimary;
    }
    return o;
}

}  // namespace lumo::cli
