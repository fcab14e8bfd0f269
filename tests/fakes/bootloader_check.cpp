#include "tests/fakes/bootloader_check.h"

#include <algorithm>
#include <cstring>

namespace lumo::testing {

DeliveryCheck::DeliveryCheck(std::span<const std::uint8_t> expected)
    : expected_(expected),
      blocks_((expected.size() + UPDATE_BLOCK_SIZE - 1) / UPDATE_BLOCK_SIZE) {}

void DeliveryCheck::Problem(std::string text) {
    if (problem_.empty()) problem_ = "report " + std::to_string(reports_ - 1) + ": " + text;
}

void DeliveryCheck::Take(const UpdateReport& report) {
    ++reports_;
    if (!problem_.empty()) return;  // the first problem is the verdict
    const auto& b = report.bytes;
    if (b[1] == UPDATE_CMD_START && report == BuildStartReport()) {
        ++starts_;
        started_ = true;
        finished_ = false;
        next_block_ = 0;
        return;
    }
    if (!started_) return Problem("no start report first");
    if (finished_) return Problem("report after the finish report");
    if (b[0] == UPDATE_REPORT_ID && b[1] == UPDATE_CMD_FINISH) {
        if (next_block_ != blocks_)
            return Problem("finish report after " + std::to_string(next_block_) + " of " +
                           std::to_string(blocks_) + " blocks");
        if (report != BuildFinishReport(last_data_)) return Problem("no correct finish report");
        finished_ = true;
        ++deliveries_;
        return;
    }
    if (b[0] != UPDATE_REPORT_ID || b[1] != UPDATE_CMD_DATA || b[2] != UPDATE_BLOCK_SIZE)
        return Problem("not a data report");
    if (next_block_ >= blocks_) return Problem("data report after the image's last block");
    const std::size_t block = next_block_;
    const unsigned index = b[3] | (b[4] << 8);
    if (index != (block & 0xFFFF))
        return Problem("block index " + std::to_string(index) + ", expected " +
                       std::to_string(block));
    const std::size_t start = block * UPDATE_BLOCK_SIZE;
    const bool whole_block = start + UPDATE_BLOCK_SIZE <= expected_.size();
    if (whole_block && std::memcmp(&b[UPDATE_OFFSET_PAYLOAD], &expected_[start],
                                   UPDATE_BLOCK_SIZE) == 0) {
        last_data_ = report;
        ++next_block_;
        return;
    }
    for (std::size_t i = 0; i < UPDATE_BLOCK_SIZE; ++i) {
        const std::uint8_t want =
            start + i < expected_.size() ? expected_[start + i] : UPDATE_FILL_BYTE;
        if (b[UPDATE_OFFSET_PAYLOAD + i] != want)
            return Problem("block " + std::to_string(block) + " byte " + std::to_string(i) +
                           " wrong");
    }
    last_data_ = report;
    ++next_block_;
}

std::string DeliveryCheck::Verdict() const {
    if (!problem_.empty()) return problem_;
    if (finished_) return kDelivered;
    if (reports_ == 0) return "no report";
    if (next_block_ == 0) return "start report only";
    return "interrupted after block " + std::to_string(next_block_ - 1);
}

std::string CheckDelivery(const std::vector<UpdateReport>& reports,
                          std::span<const std::uint8_t> expected) {
    DeliveryCheck check(expected);
    for (const auto& r : reports) check.Take(r);
    if (check.starts() > 1) return "more than one start report";
    const std::size_t blocks = (expected.size() + UPDATE_BLOCK_SIZE - 1) / UPDATE_BLOCK_SIZE;
    if (check.Delivered() && reports.size() != blocks + 2)
        return "expected " + std::to_string(blocks + 2) + " reports, got " +
               std::to_string(reports.size());
    return check.Verdict();
}

}  // namespace lumo::testing
