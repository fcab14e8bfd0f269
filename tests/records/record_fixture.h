// Records and folders for the records tests.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <ostream>
#include <string>

#include "cli/records/record.h"
#include "cli/records/record_json.h"
#include "cli/records/this_process.h"
#include "cli/records/utc_time.h"
#include "cli/records/uuid.h"

namespace lumo::cli::records::testing {

}  // namespace lumo::cli::records::testing

namespace lumo::cli::records {
// Records in test failures as their journal line.
inline void PrintTo(const Record& r, std::ostream* out) { *out << RecordJson(r, true); }
}  // namespace lumo::cli::records

namespace lumo::cli::records::testing {

// An ended attempt with every field set; the caller changes what its case is about.
inline Record Sample(std::string unit = "M8V-000101", std::string outcome = "updated",
                     std::string started_at = "2026-12-11T07:01:02.345Z") {
    Record r;
    r.id = NewUuid();
    r.station = "line-3";
    r.host = HostName();
    r.tool_version = "1.2.3";
    r.unit = unit;
    r.serial = unit;
    r.port = "1-2";
    r.product = "7b16";
    r.image = "built-in variant";
    r.image_bytes = 229376;
    r.image_sha256 = std::string(64, 'a');
    r.stand_in = true;
    r.started_at = std::move(started_at);
    const auto start = ParseUtcMs(r.started_at).value_or(0);
    r.ended_at = FormatUtc(std::chrono::system_clock::time_point(
        std::chrono::milliseconds(start + 42500)));  // 42.5 s later
    r.blocks_written = 3584;
    r.blocks = 3584;
    r.resumes = 0;
    r.outcome = std::move(outcome);
    if (r.outcome != "updated") r.reason = "timeout";
    r.exit = r.outcome == "updated" ? 0 : 1;
    r.pid = 4242;
    r.process_start = "boot/1";
    return r;
}

// The same attempt while this process runs it.
inline Record RunningHere(Record r) {
    const ProcessMark me = ThisProcess();
    r.pid = me.pid;
    r.process_start = me.start;
    r.outcome = "running";
    r.ended_at.reset();
    r.reason.reset();
    r.exit.reset();
    return r;
}

// The same attempt while it runs.
inline Record Running(Record r) {
    r.outcome = "running";
    r.ended_at.reset();
    r.reason.reset();
    r.exit.reset();
    return r;
}

// A folder of its own, removed with everything in it at the end of the test.
class TempFolder {
  public:
    TempFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "lumo-records-XXXXXX");
        path_ = mkdtemp(pattern.data());
    }
    ~TempFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

}  // namespace lumo::cli::records::testing
