// The device's side of an update, for tests: reads the reports a tool wrote and says whether
// they delivered the expected image byte for byte, or what went wrong first.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "update/update_report.h"

namespace lumo::testing {

inline constexpr const char* kDelivered = "delivered byte for byte";

std::string CheckDelivery(const std::vector<UpdateReport>& reports,
                          std::span<const std::uint8_t> expected);

}  // namespace lumo::testing
