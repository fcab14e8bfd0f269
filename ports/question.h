// A yes/no question in a modal box with the application name as caption and No as the default
// button; true when the user answers Yes. While it is open the dialog's timer ticks and
// device-change notifications are still handled, as for the other boxes.
#pragma once

#include <string_view>

namespace lumo {

class Question {
  public:
    virtual ~Question() = default;
    virtual bool AskYesNo(std::string_view text) = 0;
};

}  // namespace lumo
