// The update protocol's wire format. Every report the tool writes is one HID output report of
// exactly 63 bytes, report ID included:
//
//   byte 0      report ID, always 0x01
//   byte 1      command: 0x81 start, 0x80 data, 0x83 finish (0x82 is never sent)
//   byte 2      length: 0x38 (56) in a data report, also in the last one; 0 otherwise
//   bytes 3-4   data report: block index, little-endian low 16 bits; 0 otherwise
//   bytes 5-60  data report: the block's image bytes, then 0xFF fill up to 56 bytes
//               finish report: bytes 5-60 of the last data report, unchanged
//   bytes 61-62 zero (no meaning to the device)
//
// Bytes without meaning are sent as zero so that the wire output is deterministic. After the
// start report the tool reads one 3-byte input report (report ID included), the reply; only
// whether that read succeeds matters.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace lumo {

inline constexpr std::size_t UPDATE_REPORT_SIZE = 63;
inline constexpr std::uint8_t UPDATE_REPORT_ID = 0x01;
inline constexpr std::uint8_t UPDATE_CMD_DATA = 0x80;
inline constexpr std::uint8_t UPDATE_CMD_START = 0x81;
inline constexpr std::uint8_t UPDATE_CMD_FINISH = 0x83;
inline constexpr std::size_t UPDATE_BLOCK_SIZE = 56;
inline constexpr std::uint8_t UPDATE_FILL_BYTE = 0xFF;
inline constexpr std::size_t UPDATE_REPLY_SIZE = 3;

// Byte offsets within a report.
inline constexpr std::size_t UPDATE_OFFSET_COMMAND = 1;
inline constexpr std::size_t UPDATE_OFFSET_LENGTH = 2;
inline constexpr std::size_t UPDATE_OFFSET_INDEX = 3;
inline constexpr std::size_t UPDATE_OFFSET_PAYLOAD = 5;

struct UpdateReport {
    std::array<std::uint8_t, UPDATE_REPORT_SIZE> bytes{};

    bool operator==(const UpdateReport&) const = default;
};

UpdateReport BuildStartReport();

// `block` holds 0 to 56 image bytes in image order; longer input is cut to 56. Only the low
// 16 bits of the index go on the wire.
UpdateReport BuildDataReport(std::uint32_t block_index, std::span<const std::uint8_t> block);

// The last data report with its command, length and index bytes replaced.
UpdateReport BuildFinishReport(const UpdateReport& last_data_report);

}  // namespace lumo
