// One station of the records load script (bench/records_load.py): writes N finished
// attempts through the records sink, as an update run does (a running row, then its end),
// into the target given, and prints how long that took once the sink had written them all.
//   records_writer TARGET COUNT STATION DATA_FOLDER
#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>

#include "cli/linux/records/open_records.h"
#include "cli/records/record_sink.h"
#include "cli/records/utc_time.h"

int main(int argc, char** argv) {
    using namespace lumo::cli::records;
    if (argc != 5) {
        std::cerr << "usage: records_writer TARGET COUNT STATION DATA_FOLDER\n";
        return 2;
    }
    const std::string target = argv[1];
    const int count = std::stoi(argv[2]);
    OpenSettings settings;
    settings.data_folder = argv[4];
    const auto start = std::chrono::steady_clock::now();
    OpenedRecords opened = OpenRecords(target, settings);
    if (!opened.error.empty() || !opened.store) {
        std::cerr << opened.error << opened.warning << '\n';
        return 3;
    }
    {
        AsyncRecordSink sink(std::move(opened.store), NoticeOnStderr(), std::chrono::seconds(60));
        for (int i = 0; i < count; ++i) {
            Record r = BeginRecord(argv[3]);
            r.unit = "M8V-" + std::to_string(100000 + i);
            r.serial = r.unit;
            r.port = "1-" + std::to_string(1 + i % 4);
            r.product = "7b16";
            r.image = "built-in variant";
            r.image_bytes = 229376;
            r.image_sha256 = std::string(64, '0');
            r.blocks = 3584;
            sink.Started(r);
            r.blocks_written = r.blocks;
            r.outcome = "updated";
            r.exit = 0;
            r.ended_at = NowUtc();
            sink.Ended(r);
        }
        if (!sink.Flush(std::chrono::seconds(60))) {
            std::cerr << "records_writer: the sink did not drain within 60 s\n";
            return 1;
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%s %d %.3f\n", argv[3], count, seconds);
    return 0;
}
