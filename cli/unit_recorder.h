// Where a unit's update attempts are kept: told when a run is made, when its start report goes
// out and when it ends. The calls come from the 10 ms tick and never wait (the records' writer
// has a thread of its own).
#pragma once

#include <string>

#include "cli/unit_result.h"

namespace lumo::cli {

class UnitRecorder {
  public:
    virtual ~UnitRecorder() = default;
    // The ID of a new attempt's record, which every --json event of the unit carries.
    virtual std::string NewId() = 0;
    // The start report went out: the record, outcome running.
    virtual void Started(const UnitResult& result) = 0;
    // The attempt ended (`result.exit` is set): the record completed. Also for an attempt that
    // never reached its start report (busy, refused, cannot be opened).
    virtual void Ended(const UnitResult& result) = 0;
};

}  // namespace lumo::cli
