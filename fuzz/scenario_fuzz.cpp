// The emulator's scenario language, as a test or a user writes it.
#include <string>

#include "emulator/scenario.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    lumo::emulator::Scenario scenario;
    std::string error;
    if (!lumo::emulator::ParseScenario(text, scenario, error))
        lumo::fuzz::Require(error.starts_with("line "), "a rejected scenario without its line");
    return 0;
}
