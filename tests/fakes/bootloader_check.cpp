#include "tests/fakes/bootloader_check.h"

#include <algorithm>

namespace lumo::testing {

namespace {

std::string At(std::size_t n) { return "report " + std::to_string(n) + ": "; }

}  // namespace

std::string CheckDelivery(const std::vector<UpdateReport>& reports,
                          std::span<const std::uint8_t> expected) {
    if (reports.empty() || reports[0] != BuildStartReport()) return "no start report first";
    const std::size_t blocks = (expected.size() + UPDATE_BLOCK_SIZE - 1) / UPDATE_BLOCK_SIZE;
    if (reports.size() != blocks + 2) {
        return "expected " + std::to_string(blocks + 2) + " reports, got " +
               std::to_string(reports.size());
    }
    for (std::size_t n = 1; n <= blocks; ++n) {
        const auto& b = reports[n].bytes;
        const std::size_t block = n - 1;
        if (b[0] != UPDATE_REPORT_ID || b[1] != UPDATE_CMD_DATA || b[2] != UPDATE_BLOCK_SIZE)
            return At(n) + "not a data report";
        const unsigned index = b[3] | (b[4] << 8);
        if (index != (block & 0xFFFF))
            return At(n) + "block index " + std::to_string(index) + ", expected " +
                   std::to_string(block);
        const std::size_t start = block * UPDATE_BLOCK_SIZE;
        for (std::size_t i = 0; i < UPDATE_BLOCK_SIZE; ++i) {
            const std::uint8_t want =
                start + i < expected.size() ? expected[start + i] : UPDATE_FILL_BYTE;
            if (b[UPDATE_OFFSET_PAYLOAD + i] != want)
                return At(n) + "block " + std::to_string(block) + " byte " + std::to_string(i) +
                       " wrong";
        }
    }
    if (reports.back() != BuildFinishReport(reports[blocks])) return "no correct finish report";
    return kDelivered;
}

}  // namespace lumo::testing
