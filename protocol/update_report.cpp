#include "protocol/update_report.h"

#include <algorithm>

namespace lumo {

UpdateReport BuildStartReport() {
    UpdateReport r;
    r.bytes[0] = UPDATE_REPORT_ID;
    r.bytes[UPDATE_OFFSET_COMMAND] = UPDATE_CMD_START;
    return r;
}

UpdateReport BuildDataReport(std::uint32_t block_index, std::span<const std::uint8_t> block) {
    UpdateReport r;
    r.bytes[0] = UPDATE_REPORT_ID;
    r.bytes[UPDATE_OFFSET_COMMAND] = UPDATE_CMD_DATA;
    r.bytes[UPDATE_OFFSET_LENGTH] = static_cast<std::uint8_t>(UPDATE_BLOCK_SIZE);
    r.bytes[UPDATE_OFFSET_INDEX] = static_cast<std::uint8_t>(block_index & 0xFF);
    r.bytes[UPDATE_OFFSET_INDEX + 1] = static_cast<std::uint8_t>((block_index >> 8) & 0xFF);

    const auto payload = r.bytes.begin() + UPDATE_OFFSET_PAYLOAD;
    const std::size_t n = std::min(block.size(), UPDATE_BLOCK_SIZE);
    std::copy_n(block.begin(), n, payload);
    std::fill(payload + static_cast<std::ptrdiff_t>(n), payload + UPDATE_BLOCK_SIZE,
              UPDATE_FILL_BYTE);
    return r;
}

UpdateReport BuildFinishReport(const UpdateReport& last_data_report) {
    UpdateReport r = last_data_report;
    r.bytes[UPDATE_OFFSET_COMMAND] = UPDATE_CMD_FINISH;
    r.bytes[UPDATE_OFFSET_LENGTH] = 0;
    r.bytes[UPDATE_OFFSET_INDEX] = 0;
    r.bytes[UPDATE_OFFSET_INDEX + 1] = 0;
    return r;
}

}  // namespace lumo
