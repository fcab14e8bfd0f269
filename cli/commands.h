// What lumo-flash does besides an update run, and the checks before one: --version, --list,
// and turning the options into the run's settings (image file, product, stand-in rule).
#pragma once

#include <functional>
#include <iosfwd>
#include <optional>
#include <vector>

#include "cli/console_report.h"
#include "cli/flash_run.h"
#include "cli/image_file.h"
#include "cli/options.h"
#include "cli/units.h"
#include "firmware/firmware_image.h"
#include "ports/hid_access.h"

namespace lumo::cli {

// The images an update may stream. With --image both slots hold the file, as two distinct
// images: a tick that finds the other product's device selects the other slot, which the core
// takes as a change of image and ends on its failure path before writing.
struct ImageChoice {
    std::optional<ImageFile> file;
    FirmwareImage file_as_variant{};
    FirmwareImage file_as_primary{};

    FirmwarePair Pair() const;
    const std::string& Sha256(bool variant) const;
    std::uint32_t Length(bool variant) const;
    bool StandIns() const;
};

// Program version and, per built-in image, its product, length and SHA-256.
void PrintVersion(std::ostream& out, bool json);

// The units present in update mode, one per line: the ID that --device takes, product, port,
// serial, path and the image it would get; a line on stderr when there is none. Always exit
// status 0.
int ListDevices(HidAccess& hid, std::ostream& out, ConsoleReport& report, bool json,
                const ImageChoice& images);

// Reads and checks the image file (when one is given) into `images`. The exit status to end
// with, reported on `report`, when the run must not go on.
std::optional<int> LoadImages(const Options& options, ImageChoice& images,
                              ConsoleReport& report);

// The settings of an update run, or the exit status when the stand-in rule refuses it at once
// (stand-in images without --allow-stand-in).
std::optional<int> CheckStandIns(const Options& options, const ImageChoice& images,
                                 ConsoleReport& report);
RunSettings SettingsFor(const Options& options, const ImageChoice& images);

// What lumo-flash does once its options are parsed, the same on every platform: --list, or the
// image file, the stand-in rule, the choice of unit (--device, --all, or the one present;
// several without either end with exit status 2 before anything is written) and then the update,
// which `run_update` drives on the platform's event loop. Returns the exit status.
// With --all, `run_all` updates the units present, at once; with --station, `run_station`
// updates each unit as it is plugged in until it is told to stop (a platform without one
// refuses its option).
using UpdateRunner =
    std::function<int(const Options&, HidAccess&, ConsoleReport&, const ImageChoice&)>;
using AllRunner = std::function<int(const Options&, HidAccess&, ConsoleReport&,
                                    const ImageChoice&, const std::vector<UnitEntry>&)>;
int RunCommand(const Options& options, HidAccess& hid, std::ostream& out, ConsoleReport& report,
               const UpdateRunner& run_update, const AllRunner& run_all = nullptr,
               const UpdateRunner& run_station = nullptr);

}  // namespace lumo::cli
