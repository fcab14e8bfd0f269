// The emulated device's judge, fed any reports. Each step of the input is one report: a start
// report, the correct data report of a chosen block (perhaps with one byte changed), a finish
// report after the last data report, or raw bytes of any length.
#include <vector>

#include "emulator/bootloader_model.h"
#include "firmware/firmware_image.h"
#include "fuzz/fuzz_check.h"
#include "protocol/update_report.h"

using namespace lumo;
using lumo::fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Bytes in(data, size);
    const FirmwareImage& image = SelectFirmwareImage(in.Next() & 1);
    emulator::BootloaderModel model(image.bytes(), "fuzzed");
    UpdateReport last = BuildDataReport(0, {});
    while (!in.Empty()) {
        const std::uint8_t op = in.Next();
        std::vector<std::uint8_t> report;
        switch (op % 4) {
        case 0: {
            const UpdateReport r = BuildStartReport();
            report.assign(r.bytes.begin(), r.bytes.end());
            break;
        }
        case 1: {
            const std::uint32_t block = in.Next16() % (image.length / UPDATE_BLOCK_SIZE + 2);
            const std::size_t offset = std::min<std::size_t>(block * UPDATE_BLOCK_SIZE, image.length);
            last = BuildDataReport(block, image.bytes().subspan(
                                              offset, std::min<std::size_t>(UPDATE_BLOCK_SIZE,
                                                                            image.length - offset)));
            report.assign(last.bytes.begin(), last.bytes.end());
            if (op & 0x80) report[in.Next() % report.size()] ^= in.Next() | 1;
            break;
        }
        case 2: {
            const UpdateReport r = BuildFinishReport(last);
            report.assign(r.bytes.begin(), r.bytes.end());
            break;
        }
        default: {
            const std::size_t n = in.Next() % 80;
            for (std::size_t i = 0; i < n; ++i) report.push_back(in.Next());
        }
        }
        const emulator::Judgement j = model.Take(report);
        Require(!j.kind.empty(), "a report judged as nothing");
    }
    const emulator::Verdict v = model.Conclude();
    Require(!v.text.empty(), "a verdict without words");
    Require(emulator::ParseOutcome(emulator::OutcomeName(v.outcome)) == v.outcome,
            "an outcome whose name does not read back");
    return 0;
}
