#include "cli/options.h"

#include <CLI/CLI.hpp>
#include <cmath>
#include <ostream>

#include "cli/exit_codes.h"

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
        "per unit and a running tally)");
    app.add_flag("--allow-stand-in", o.allow_stand_in,
                 "Write stand-in test images (never to a device in the field)");
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
    if (image_opt->count() > 0) o.image = image;
    if (device_opt->count() > 0) o.device = device;
    if (product_opt->count() > 0) {
        o.product = (product == "7b16" || product == "7B16") ? kProductVariant : kProductPrimary;
    }
    return o;
}

}  // namespace lumo::cli
