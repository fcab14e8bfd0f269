#include "emulator/bootloader_model.h"

#include <algorithm>
#include <cstdio>

#include "protocol/update_report.h"

namespace lumo::emulator {

namespace {

std::string Hex(std::uint8_t v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", v);
    return buf;
}

std::string Num(std::uint64_t v) { return std::to_string(v); }

}  // namespace

const char* OutcomeName(Outcome o) {
    switch (o) {
    case Outcome::Delivered: return "delivered";
    case Outcome::NoUpdate: return "no-update";
    case Outcome::Interrupted: return "interrupted";
    case Outcome::Failed: return "failed";
    }
    return "?";
}

std::optional<Outcome> ParseOutcome(const std::string& name) {
    for (Outcome o : {Outcome::Delivered, Outcome::NoUpdate, Outcome::Interrupted, Outcome::Failed})
        if (name == OutcomeName(o)) return o;
    return std::nullopt;
}

BootloaderModel::BootloaderModel(std::span<const std::uint8_t> image, std::string image_name)
    : image_(image),
      image_name_(std::move(image_name)),
      block_count_(static_cast<std::uint32_t>((image.size() + UPDATE_BLOCK_SIZE - 1) /
                                              UPDATE_BLOCK_SIZE)) {}

void BootloaderModel::Problem(Judgement& j, std::string text) {
    if (!j.problem.empty()) return;  // one problem per report: the first one found
    j.problem = text;
    if (first_problem_.empty()) first_problem_ = std::move(text);
}

void BootloaderModel::CheckPayload(Judgement& j, std::uint32_t block,
                                   std::span<const std::uint8_t> report) {
    const std::size_t offset = std::size_t{block} * UPDATE_BLOCK_SIZE;
    if (offset >= image_.size()) {
        Problem(j, "block " + Num(block) + " lies beyond the end of the " + image_name_ +
                       " image (" + Num(block_count_) + " blocks)");
        return;
    }
    for (std::size_t i = 0; i < UPDATE_BLOCK_SIZE; ++i) {
        const std::uint8_t want =
            offset + i < image_.size() ? image_[offset + i] : UPDATE_FILL_BYTE;
        const std::uint8_t got = report[UPDATE_OFFSET_PAYLOAD + i];
        if (got != want) {
            Problem(j, "block " + Num(block) + " byte " + Num(UPDATE_OFFSET_PAYLOAD + i) + " is " +
                           Hex(got) + ", expected " + Hex(want) +
                           (offset + i < image_.size()
                                ? " (image offset " + Num(offset + i) + ")"
                                : std::string(" (fill after the image's end)")));
            return;
        }
    }
}

Judgement BootloaderModel::Take(std::span<const std::uint8_t> r) {
    Judgement j;
    ++reports_;
    if (r.size() != UPDATE_REPORT_SIZE) {
        j.kind = "malformed";
        Problem(j, "report of " + Num(r.size()) + " bytes, expected " + Num(UPDATE_REPORT_SIZE));
        return j;
    }
    if (r[0] != UPDATE_REPORT_ID) {
        j.kind = "malformed";
        Problem(j, "report ID " + Hex(r[0]) + ", expected " + Hex(UPDATE_REPORT_ID));
        return j;
    }
    const std::uint8_t cmd = r[UPDATE_OFFSET_COMMAND];
    const std::uint8_t length = r[UPDATE_OFFSET_LENGTH];
    const std::uint32_t wire_index =
        r[UPDATE_OFFSET_INDEX] | (std::uint32_t{r[UPDATE_OFFSET_INDEX + 1]} << 8);

    if (cmd == UPDATE_CMD_START) {
        j.kind = "start";
        j.answer = true;
        for (std::size_t i = UPDATE_OFFSET_LENGTH; i < UPDATE_OFFSET_PAYLOAD; ++i)
            if (r[i] != 0) Problem(j, "start report byte " + Num(i) + " is " + Hex(r[i]) +
                                          ", expected 0x00");
        started_ = true;
        finished_ = false;
        delivered_ = false;
        next_block_ = 0;
        data_reports_ = 0;
        last_data_.clear();
        received_.clear();
        arrived_.clear();
        return j;
    }

    if (cmd == UPDATE_CMD_DATA) {
        j.kind = "data";
        j.block = wire_index;
        if (!started_) Problem(j, "data report before the start report");
        if (finished_) Problem(j, "data report after the finish report");
        if (length != UPDATE_BLOCK_SIZE)
            Problem(j, "block " + Num(wire_index) + " length byte is " + Hex(length) +
                           ", expected " + Hex(static_cast<std::uint8_t>(UPDATE_BLOCK_SIZE)));
        // The wire carries the low 16 bits; place the index next to the one expected.
        const std::uint32_t block = (next_block_ & ~0xFFFFu) | wire_index;
        if (block > next_block_) {
            Problem(j, next_block_ + 1 == block
                           ? "block " + Num(next_block_) + " missing (got block " + Num(block) + ")"
                           : "blocks " + Num(next_block_) + " to " + Num(block - 1) +
                                 " missing (got block " + Num(block) + ")");
        } else if (block < next_block_) {
            Problem(j, "block " + Num(block) + " repeated or out of order (expected block " +
                           Num(next_block_) + ")");
        }
        CheckPayload(j, block, r);
        const std::size_t offset = std::size_t{block} * UPDATE_BLOCK_SIZE;
        if (received_.size() < offset + UPDATE_BLOCK_SIZE)
            received_.resize(offset + UPDATE_BLOCK_SIZE, 0);
        std::copy_n(r.begin() + UPDATE_OFFSET_PAYLOAD, UPDATE_BLOCK_SIZE,
                    received_.begin() + static_cast<std::ptrdiff_t>(offset));
        if (arrived_.size() <= block) arrived_.resize(block + 1, false);
        arrived_[block] = true;
        last_data_.assign(r.begin(), r.end());
        next_block_ = block + 1;
        ++data_reports_;
        any_data_ever_ = true;
        return j;
    }

    if (cmd == UPDATE_CMD_FINISH) {
        j.kind = "finish";
        if (!started_) {
            Problem(j, "finish report before the start report");
            return j;
        }
        if (finished_) {
            Problem(j, "second finish report");
            return j;
        }
        finished_ = true;
        if (last_data_.empty()) {
            Problem(j, "finish report without any data report");
            return j;
        }
        for (std::size_t i = UPDATE_OFFSET_LENGTH; i < UPDATE_OFFSET_PAYLOAD; ++i)
            if (r[i] != 0)
                Problem(j, "finish report byte " + Num(i) + " is " + Hex(r[i]) + ", expected 0x00");
        for (std::size_t i = UPDATE_OFFSET_PAYLOAD; i < UPDATE_REPORT_SIZE; ++i)
            if (r[i] != last_data_[i])
                Problem(j, "finish report byte " + Num(i) + " is " + Hex(r[i]) +
                               ", the last data report had " + Hex(last_data_[i]));
        if (next_block_ < block_count_)
            Problem(j, "finish report after block " + Num(next_block_ - 1) + "; blocks " +
                           Num(next_block_) + " to " + Num(block_count_ - 1) + " of the " +
                           image_name_ + " image never came");
        const auto hole = std::find(arrived_.begin(), arrived_.end(), false);
        if (hole != arrived_.end())
            Problem(j, "finish report, but block " + Num(static_cast<std::size_t>(hole - arrived_.begin())) +
                           " never arrived");
        if (j.problem.empty()) {
            // Every block was checked as it came; compare the whole image once more.
            const bool same = received_.size() >= image_.size() &&
                              std::equal(image_.begin(), image_.end(), received_.begin());
            if (!same) Problem(j, "reassembled image differs from the " + image_name_ + " image");
        }
        delivered_ = j.problem.empty() && first_problem_.empty();
        return j;
    }

    j.kind = "malformed";
    Problem(j, "unknown command " + Hex(cmd));
    return j;
}

Verdict BootloaderModel::Conclude() const {
    if (!first_problem_.empty()) return {Outcome::Failed, "failed: " + first_problem_};
    if (delivered_)
        return {Outcome::Delivered, "delivered byte for byte (" + image_name_ + " image, " +
                                        Num(block_count_) + " blocks)"};
    if (!any_data_ever_)
        return {Outcome::NoUpdate, reports_ == 0 ? "no update (no report reached the device)"
                                                 : "no update (start report only, no data report)"};
    if (data_reports_ == 0)
        return {Outcome::Interrupted, "interrupted (the last update sent no data report)"};
    return {Outcome::Interrupted, "interrupted after block " + Num(next_block_ - 1) + " of " +
                                      Num(block_count_) + " (no finish report)"};
}

}  // namespace lumo::emulator
