// The records of lumo-flash's update runs: each unit's attempt becomes a record, written with
// outcome running when its start report goes out and completed when it ends, through a sink
// that never makes the tick wait.
#pragma once

#include <map>
#include <string>

#include "cli/records/record.h"
#include "cli/records/record_sink.h"
#include "cli/unit_recorder.h"

namespace lumo::cli::records {

// The outcome word of a record for how a unit's run ended.
std::string OutcomeOf(const UnitResult& result);

// The record of an attempt as far as `result` tells, over `base` (ID, station, host, writer).
Record RecordOf(Record base, const UnitResult& result);

class RunRecorder : public UnitRecorder {
  public:
    // `station`: --station-name; empty: the host name.
    RunRecorder(RecordSink& sink, std::string station)
        : sink_(sink), station_(std::move(station)) {}

    std::string NewId() override;
    void Started(const UnitResult& result) override;
    void Ended(const UnitResult& result) override;

  private:
    RecordSink& sink_;
    std::string station_;
    // The attempts made and not ended yet, by ID: at most the units under way.
    std::map<std::string, Record> open_;
};

}  // namespace lumo::cli::records
