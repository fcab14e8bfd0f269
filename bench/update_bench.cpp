// CPU time of the core for one whole update, with a device that accepts everything at once and
// pauses that return immediately: what is left is the tool's own work per update. The pacing
// of the 10 ms timer, not this, must set an update's duration.
#include <benchmark/benchmark.h>

#include "core/device_link_state.h"
#include "core/update_sequence.h"
#include "ports/status_view.h"

namespace {

using namespace lumo;

class AcceptingDevice : public HidAccess {
  public:
    std::size_t reports = 0;
    std::unique_ptr<HidInterfaceSet> ListInterfaces() override { return nullptr; }
    HidHandle Open(std::string_view) override { return 1; }
    bool SetNumInputBuffers(HidHandle, unsigned) override { return true; }
    bool Probe(HidHandle) override { return true; }
    bool WriteReport(HidHandle, const UpdateReport& r) override {
        benchmark::DoNotOptimize(r.bytes.data());
        ++reports;
        return true;
    }
    bool ReadReply(HidHandle) override { return true; }
    void Close(HidHandle) override {}
};

class SilentView : public StatusView, public Pause {
  public:
    void SetStatusCaption(std::string_view) override {}
    void SetNote(std::string_view) override {}
    void SetPercentText(std::string_view t) override { benchmark::DoNotOptimize(t.data()); }
    void SetProgress(int) override {}
    void EnableUpdate(bool) override {}
    void ShowWarningBox(std::string_view) override {}
    void ShowPlainBox(std::string_view) override {}
    void Wait(std::uint32_t) override {}
};

void WholeUpdate(benchmark::State& st, bool variant) {
    AcceptingDevice device;
    SilentView view;
    DeviceLinkState link{1, variant, true};
    for (auto _ : st) {
        UpdateState update;
        UpdateSequence sequence(link, update, device, view, view, {.stand_ins = false});
        sequence.OnBnClickedUpdate();
        while (update.bUpdating) sequence.OnTimer(UPDATE_TIMER_ID);
    }
    st.counters["reports_per_update"] =
        static_cast<double>(device.reports) / static_cast<double>(st.iterations());
}

BENCHMARK_CAPTURE(WholeUpdate, variant_image, true)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(WholeUpdate, primary_image, false)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
