#include "cli/platform_runs.h"

#include <utility>

#include "cli/flash_run.h"
#include "cli/station.h"

namespace lumo::cli {

namespace {

RunSettings SettingsWith(const RunPlatform& platform, const Options& options,
                         const ImageChoice& images, UpdateLifetime& lifetime) {
    RunSettings settings = SettingsFor(options, images);
    settings.recorder = platform.recorder;
    settings.update.lifetime = &lifetime;
    // The platforms' HID access takes calls on different devices at once.
    settings.replies_apart = true;
    return settings;
}

StrandMaker StrandsOn(const RunPlatform& platform, Clock& clock, Pause& pause) {
    if (!platform.make_strand) return {};
    return [&platform, &clock, &pause] { return platform.make_strand(clock, pause); };
}

}  // namespace

int RunUpdate(const RunPlatform& platform, const Options& options, HidAccess& hid,
              ConsoleReport& report, const ImageChoice& images) {
    const std::unique_ptr<UnitClaims> claims =
        platform.make_claims ? platform.make_claims() : nullptr;
    return platform.loop([&](Clock& clock, Pause& pause, UpdateLifetime& lifetime) {
        RunSettings settings = SettingsWith(platform, options, images, lifetime);
        settings.update.claims = claims.get();
        return std::make_unique<FlashRun>(hid, pause, clock, report, std::move(settings));
    });
}

int RunAll(const RunPlatform& platform, const Options& options, HidAccess& hid,
           ConsoleReport& report, const ImageChoice& images, const std::vector<UnitEntry>& units) {
    return platform.loop([&](Clock& clock, Pause& pause, UpdateLifetime& lifetime) {
        auto run = std::make_unique<MultiRun>(
            hid, pause, clock, platform.out, platform.err, report.mode(), units,
            SettingsWith(platform, options, images, lifetime), platform.make_claims,
            StrandsOn(platform, clock, pause));
        run->Watch(platform.form, platform.columns, platform.rows, platform.notices);
        return run;
    });
}

int RunStation(const RunPlatform& platform, const Options& options, HidAccess& hid,
               ConsoleReport& report, const ImageChoice& images) {
    return platform.loop([&](Clock& clock, Pause& pause, UpdateLifetime& lifetime) {
        auto run = std::make_unique<Station>(hid, pause, clock, platform.out, platform.err,
                                             report.mode(),
                                             SettingsWith(platform, options, images, lifetime),
                                             platform.make_claims,
                                             StrandsOn(platform, clock, pause));
        run->Watch(platform.form, platform.columns, platform.rows, platform.notices);
        return run;
    });
}

int RunCommand(const Options& options, HidAccess& hid, ConsoleReport& report,
               const RunPlatform& platform) {
    return RunCommand(
        options, hid, platform.out, report,
        [&](const Options& o, HidAccess& h, ConsoleReport& r, const ImageChoice& i) {
            return RunUpdate(platform, o, h, r, i);
        },
        [&](const Options& o, HidAccess& h, ConsoleReport& r, const ImageChoice& i,
            const std::vector<UnitEntry>& u) { return RunAll(platform, o, h, r, i, u); },
        [&](const Options& o, HidAccess& h, ConsoleReport& r, const ImageChoice& i) {
            return RunStation(platform, o, h, r, i);
        });
}

}  // namespace lumo::cli
