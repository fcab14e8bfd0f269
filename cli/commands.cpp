#include "cli/commands.h"

#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "cli/exit_codes.h"
#include "cli/json_line.h"
#include "cli/multi_run.h"
#include "cli/units.h"
#include "core/device_link.h"
#include "firmware/firmware_provenance.h"
#include "lumo_version.h"
#include "ports/status_texts.h"

namespace lumo::cli {

namespace {

const ImageProvenance& BuiltIn(bool variant) {
    return variant ? g_firmwareProvenance.variant : g_firmwareProvenance.primary;
}

// --all takes the units present when it starts; with none, --wait waits for them (MultiRun).
int RunAll(const Options& options, HidAccess& hid, ConsoleReport& report, const ImageChoice& images,
           const AllRunner& run_all) {
    if (!run_all) {
        report.Failed("usage", "lumo-flash: --all is not available on this platform yet.",
                      "Update one unit at a time with --device ID (see --list).");
        return kExitUsage;
    }
    const std::vector<UnitEntry> units = ListUnits(hid);
    if (units.empty() && options.wait_s <= 0) {
        ReportNoUnits(report);
        return kExitNoDevice;
    }
    return run_all(options, hid, report, images, units);
}

}  // namespace

FirmwarePair ImageChoice::Pair() const {
    if (!file) return FirmwarePair{};
    return FirmwarePair{&file_as_variant, &file_as_primary};
}

const std::string& ImageChoice::Sha256(bool variant) const {
    static const std::string variant_sha(BuiltIn(true).sha256);
    static const std::string primary_sha(BuiltIn(false).sha256);
    if (file) return file->sha256;
    return variant ? variant_sha : primary_sha;
}

std::uint32_t ImageChoice::Length(bool variant) const {
    if (file) return static_cast<std::uint32_t>(file->bytes.size());
    return BuiltIn(variant).length;
}

bool ImageChoice::StandIns() const {
    return file ? file->stand_in : g_firmwareProvenance.HasStandIns();
}

void PrintVersion(std::ostream& out, bool json) {
    const std::string version = LUMO_VERSION;
    if (json) {
        out << JsonLine().Add("event", "version").Add("version", version).str() << '\n';
    } else {
        out << "lumo-flash " << version << '\n' << "Built-in images:\n";
    }
    for (const bool variant : {true, false}) {
        const ImageProvenance& p = BuiltIn(variant);
        const std::string product = variant ? "7b16" : "c3d1";
        if (json) {
            out << JsonLine()
                       .Add("event", "image")
                       .Add("product", product)
                       .Add("bytes", std::uint64_t{p.length})
                       .Add("sha256", p.sha256)
                       .Add("stand_in", p.stand_in)
                       .str()
                << '\n';
        } else {
            out << "  product " << product << ": " << p.length << " bytes, SHA-256 " << p.sha256
                << (p.stand_in ? " (stand-in, not device firmware)" : "") << '\n';
        }
    }
    out << std::flush;
}

int ListDevices(HidAccess& hid, std::ostream& out, ConsoleReport& report, bool json,
                const ImageChoice& images) {
    const std::vector<UnitEntry> units = ListUnits(hid);
    for (const UnitEntry& u : units) {
        const std::string product = u.variant ? "7b16" : "c3d1";
        if (json) {
            JsonLine line;
            line.Add("event", "device").Add("id", u.id).Add("path", u.path).Add("product", product);
            u.unit.port.empty() ? line.AddNull("port") : line.Add("port", u.unit.port);
            u.unit.serial.empty() ? line.AddNull("serial") : line.Add("serial", u.unit.serial);
            out << line.Add("bytes", std::uint64_t{images.Length(u.variant)})
                       .Add("sha256", images.Sha256(u.variant))
                       .str()
                << '\n';
        } else {
            PrintUnitLine(out, u);
            out << "  image " << images.Length(u.variant) << " bytes, SHA-256 "
                << images.Sha256(u.variant) << '\n';
        }
    }
    out << std::flush;
    if (units.empty()) {
        report.Notice(
            "lumo-flash: no Orvel-M8 in update mode is present (hold its HOME button "
            "while plugging it in).");
    }
    return kExitSuccess;
}

std::optional<int> LoadImages(const Options& options, ImageChoice& images, ConsoleReport& report) {
    if (!options.image) return std::nullopt;
    images.file = ReadImageFile(*options.image);
    if (!images.file->error.empty()) {
        report.Failed("bad-image", "lumo-flash: " + images.file->error + ". Nothing was written.",
                      "Give a readable, non-empty image file of at most 3670016 bytes.");
        return kExitUsage;
    }
    const auto& bytes = images.file->bytes;
    images.file_as_variant = {bytes.data(), static_cast<std::uint32_t>(bytes.size())};
    images.file_as_primary = images.file_as_variant;
    return std::nullopt;
}

std::optional<int> CheckStandIns(const Options& options, const ImageChoice& images,
                                 ConsoleReport& report) {
    if (!images.StandIns() || options.allow_stand_in) return std::nullopt;
    report.Failed("stand-in", text::kStandInQuestion,
                  "Nothing was written. lumo-flash writes a stand-in image only with "
                  "--allow-stand-in (for test devices); a release build carries the real "
                  "firmware.");
    return kExitUsage;
}

RunSettings SettingsFor(const Options& options, const ImageChoice& images) {
    RunSettings s;
    s.wait_s = options.wait_s;
    s.resume_timeout_s = options.resume_timeout_s;
    if (options.image && options.product) {
        s.image_for_variant = *options.product == kProductVariant;
    }
    s.allow_stand_in = options.allow_stand_in;
    s.refuse_several_units = !options.device && !options.all && !options.station;
    if (images.file) s.image_file = *options.image;
    s.update.images = images.Pair();
    s.update.stand_ins = images.StandIns();
    s.variant_sha256 = images.Sha256(true);
    s.primary_sha256 = images.Sha256(false);
    return s;
}

int RunCommand(const Options& options, HidAccess& hid, std::ostream& out, ConsoleReport& report,
               const UpdateRunner& run_update, const AllRunner& run_all,
               const UpdateRunner& run_station) {
    ImageChoice images;
    // --device: the others are not there as far as this run can see. A unit present now is
    // followed as the listing names it (by its port, when a twin shares its serial).
    std::optional<OneUnitHid> one_unit;
    if (options.device) {
        const std::vector<UnitEntry> named = UnitsNamed(ListUnits(hid), *options.device);
        if (named.size() > 1 && !options.list) {
            RefuseSeveralUnits(named, report);
            return kExitNoDevice;
        }
        if (named.size() == 1 && !options.list) {
            one_unit.emplace(hid, named.front());
        } else {
            one_unit.emplace(hid, *options.device);
        }
    }
    HidAccess& seen = one_unit ? static_cast<HidAccess&>(*one_unit) : hid;
    if (options.list) return ListDevices(seen, out, report, options.json, images);
    if (const auto code = LoadImages(options, images, report)) return *code;
    if (const auto code = CheckStandIns(options, images, report)) return *code;
    if (options.all) return RunAll(options, hid, report, images, run_all);
    if (options.station) {
        if (!run_station) {
            report.Failed("usage", "lumo-flash: --station is not available on this platform.",
                          "Update one unit at a time with --device ID (see --list).");
            return kExitUsage;
        }
        return run_station(options, hid, report, images);
    }
    // Several units and no choice among them: refused before anything is opened. (The run
    // looks again when it chooses a unit it waited for.)
    if (!options.device && RefuseSeveralUnits(ListUnits(hid), report)) return kExitNoDevice;
    return run_update(options, seen, report, images);
}

}  // namespace lumo::cli
