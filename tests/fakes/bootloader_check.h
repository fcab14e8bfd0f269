// The device's side of an update, for tests: reads the reports a tool wrote and says whether
// they delivered the expected image byte for byte, or what went wrong first.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "protocol/update_report.h"

namespace lumo::testing {

inline constexpr const char* kDelivered = "delivered byte for byte";

// One device's judgement, made report by report as they arrive, so that long runs need not
// keep them. A start report begins a new update on the device; each data report must carry the
// next block of the device's own image, and the finish report must repeat the last data
// report. The first report that breaks this is remembered for good: a device that was once
// sent a wrong block (another image's, or one out of order) is never judged delivered.
class DeliveryCheck {
  public:
    explicit DeliveryCheck(std::span<const std::uint8_t> expected);

    void Take(const UpdateReport& report);

    // kDelivered, or the first problem, or what the device has when nothing broke
    // ("no report", "start report only", "interrupted after block N").
    std::string Verdict() const;
    bool Delivered() const { return problem_.empty() && finished_; }
    bool Broken() const { return !problem_.empty(); }
    std::size_t reports() const { return reports_; }
    std::size_t starts() const { return starts_; }
    std::size_t deliveries() const { return deliveries_; }  // updates that ended delivered

  private:
    void Problem(std::string text);

    std::span<const std::uint8_t> expected_;
    std::size_t blocks_;
    std::size_t reports_ = 0;
    std::size_t starts_ = 0;
    std::size_t deliveries_ = 0;
    std::size_t next_block_ = 0;  // block the device expects next in the current update
    bool started_ = false;
    bool finished_ = false;
    UpdateReport last_data_{};
    std::string problem_;
};

// The same judgement over a whole recorded run, which must hold exactly one update.
std::string CheckDelivery(const std::vector<UpdateReport>& reports,
                          std::span<const std::uint8_t> expected);

}  // namespace lumo::testing
