// The device's side of the update protocol: a judge that takes every output report the host
// writes, checks it against the wire format in protocol/update_report.h, reassembles the image
// and says at the end whether it arrived byte for byte. It never repairs the stream: a report
// that breaks the protocol is recorded as a problem and the stream is followed as it came.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace lumo::emulator {

// What one report was, as the device saw it.
struct Judgement {
    std::string kind;             // "start", "data", "finish" or "malformed"
    std::optional<std::uint32_t> block;  // the block index on the wire, for data reports
    std::string problem;          // empty when the report is as the protocol wants it
    bool answer = false;          // the device answers this report with an input report
};

enum class Outcome {
    Delivered,    // the last update ran to its finish report and the image is byte for byte
    NoUpdate,     // no data report reached the device
    Interrupted,  // data reports came in order and correct, but no finish report after them
    Failed,       // any report broke the protocol or carried wrong bytes
};

const char* OutcomeName(Outcome o);  // "delivered", "no-update", "interrupted", "failed"
std::optional<Outcome> ParseOutcome(const std::string& name);

struct Verdict {
    Outcome outcome;
    std::string text;  // one line, e.g. "delivered byte for byte (primary image, 1954 blocks)"
};

class BootloaderModel {
public:
    // `image` must outlive the model. `image_name` only appears in texts.
    BootloaderModel(std::span<const std::uint8_t> image, std::string image_name);

    Judgement Take(std::span<const std::uint8_t> report);

    // Whether any report at all reached this device.
    bool Touched() const { return reports_ > 0; }

    Verdict Conclude() const;

    std::uint32_t BlockCount() const { return block_count_; }

private:
    void Problem(Judgement& j, std::string text);
    void CheckPayload(Judgement& j, std::uint32_t block, std::span<const std::uint8_t> report);

    std::span<const std::uint8_t> image_;
    std::string image_name_;
    std::uint32_t block_count_;

    std::size_t reports_ = 0;
    std::string first_problem_;

    // The update under way (since the last start report).
    bool started_ = false;
    bool finished_ = false;
    std::uint32_t next_block_ = 0;     // full index expected next (wire carries 16 bits)
    std::uint32_t data_reports_ = 0;   // data reports in this update
    std::vector<std::uint8_t> last_data_;
    std::vector<std::uint8_t> received_;  // reassembled image of this update
    std::vector<bool> arrived_;           // blocks of this update that came as data reports
    bool any_data_ever_ = false;
    bool delivered_ = false;           // the last update ended with a matching finish
};

}  // namespace lumo::emulator
