#include "cli/commands.h"

#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "cli/exit_codes.h"
#include "cli/json_line.h"
#include "device/device_link.h"
#include "firmware/firmware_provenance.h"
#include "lumo_version.h"
#include "ui/status_texts.h"

namespace lumo::cli {

namespace {

const ImageProvenance& BuiltIn(bool variant) {
    return variant ? g_firmwareProvenance.variant : g_firmwareProvenance.primary;
}

// The paths of the present interfaces that name the device, in the platform's order.
std::vector<std::string> DevicePaths(HidAccess& hid) {
    std::vector<std::string> out;
    const std::unique_ptr<HidInterfaceSet> set = hid.ListInterfaces();
    if (!set) return out;
    for (std::uint32_t index = 0; set->EnumInterface(index); ++index) {
        const std::size_t size = set->PathSize(index);
        if (size == 0) continue;
        std::string path(size, '\0');
        if (!set->ReadPath(index, {path.data(), path.size()})) continue;
        path.resize(std::string_view(path.c_str()).size());
        if (MatchedProduct(path)) out.push_back(path);
    }
    return out;
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

int ListDevices(HidAccess& hid, std::ostream& out, bool json, const ImageChoice& images) {
    for (const std::string& path : DevicePaths(hid)) {
        const bool variant = *MatchedProduct(path);
        const std::string product = variant ? "7b16" : "c3d1";
        if (json) {
            out << JsonLine()
                       .Add("event", "device")
                       .Add("path", path)
                       .Add("product", product)
                       .Add("bytes", std::uint64_t{images.Length(variant)})
                       .Add("sha256", images.Sha256(variant))
                       .str()
                << '\n';
        } else {
            out << path << "  product " << product << "  image " << images.Length(variant)
                << " bytes, SHA-256 " << images.Sha256(variant) << '\n';
        }
    }
    out << std::flush;
    return kExitSuccess;
}

std::optional<int> LoadImages(const Options& options, ImageChoice& images,
                              ConsoleReport& report) {
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
    s.update.images = images.Pair();
    s.update.stand_ins = images.StandIns();
    s.variant_sha256 = images.Sha256(true);
    s.primary_sha256 = images.Sha256(false);
    return s;
}

int RunCommand(const Options& options, HidAccess& hid, std::ostream& out, ConsoleReport& report,
               UpdateRunner run_update) {
    ImageChoice images;
    if (options.list) return ListDevices(hid, out, options.json, images);
    if (const auto code = LoadImages(options, images, report)) return *code;
    if (const auto code = CheckStandIns(options, images, report)) return *code;
    return run_update(options, hid, report, images);
}

}  // namespace lumo::cli
