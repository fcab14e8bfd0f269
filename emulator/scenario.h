// What happens to the emulated device and when, read from a small text language. One
// statement per line (or separated by ';' on the command line), '#' starts a comment, words
// are case-insensitive. Times are milliseconds after COMMAND started; a replug counts from
// the unplug before it. Block numbers are block indices as on the wire, counted from 0.
//
//   plug in after N ms               the device is absent at the start and appears then
//   unplug at block K                the write of block K fails: the device is pulled out
//   unplug after block K             block K is taken, then the device is pulled out
//   unplug after N ms
//   replug after N ms                plugs the device back in, as a new node
//   removal events after N ms        the unplug before it is announced (udev "remove") only N ms
//                                    after its node stopped taking writes, not before the write
//                                    that pulled it out returns; a replug counts from then
//   fail block K                     the write of block K fails (EIO); the device stays
//   stall block K for N ms           the write of block K returns only after N ms
//   time out block K                 the device does not take block K: its write is held
//                                    for 5000 ms, then fails (ETIMEDOUT), as usbhid does
//   never answer start               the device takes the start report but sends no reply
//   unrelated device                 an unrelated HID device (a keyboard) present at the start
//   add unrelated device after N ms
//   remove unrelated device after N ms
//   second device                    a device of the other product present as well
//   second device after N ms         ... plugged in then
//   remove second device after N ms  the device of the other product is pulled out then
//
// Several units of the same or either product, each on its own USB port (the device under
// update is unit 1):
//
//   device at PORT [serial TEXT | no serial]     unit 1's port ("1-2", "1-2.3") and serial
//   unit NAME PRODUCT at PORT [serial TEXT]      another unit (PRODUCT c3d1 or 7b16), present
//                                                at the start; without a serial it has none
//   plug in unit NAME after N ms                 ... absent at the start, plugged in then
//   unplug unit NAME after block K               block K is taken, then the unit is pulled out
//   unplug unit NAME after N ms
//   replug after N ms                            (after either) back on its port, as a new node
//   expect unit NAME OUTCOME                     its verdict (default no-update)
//
// Block events act on the first write of that block only, so a later retry goes through.
// Serials keep their case; everything else is case-insensitive.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lumo::emulator {

struct Unplug {
    enum class Trigger { AtBlock, AfterBlock, AfterMs };
    Trigger trigger = Trigger::AfterMs;
    std::uint32_t value = 0;                 // block index or milliseconds
    std::optional<std::uint32_t> replug_ms;  // after the unplug
    // The remove events this long after the node went dead; empty: at once, before the write
    // that pulled the device out returns.
    std::optional<std::uint32_t> removal_events_ms;
    std::string unit{};                      // the unit's name; empty: unit 1
};

// A unit besides the device under update.
struct ExtraUnit {
    std::string name{};
    bool variant = false;    // product 0x7B16, else 0xC3D1
    std::string port{};      // the USB device's name, "1-N" or "1-N.M..."
    std::string serial{};    // empty: none
    std::optional<std::uint32_t> plug_in_ms;  // empty: present from the start
    std::string expect = "no-update";
};

// How long the kernel (usbhid) waits for the device to take a report before the write fails.
inline constexpr std::uint32_t kKernelWriteTimeoutMs = 5000;

struct BlockFault {
    std::uint32_t block = 0;
    std::optional<std::uint32_t> stall_ms;  // empty: the write fails at once
    bool times_out = false;                 // the stalled write fails, the report not taken
};

struct TimedToggle {
    std::uint32_t at_ms = 0;
    bool add = true;
};

struct Scenario {
    std::optional<std::uint32_t> plug_in_ms;  // empty: present from the start
    std::vector<Unplug> unplugs;              // in the order written
    std::vector<BlockFault> faults;
    bool never_answer_start = false;
    bool unrelated_at_start = false;
    std::vector<TimedToggle> unrelated;
    bool second_device = false;
    std::optional<std::uint32_t> second_device_ms;
    std::optional<std::uint32_t> second_device_removed_ms;
    std::optional<std::string> device_port;    // unit 1's; empty: "1-1"
    std::optional<std::string> device_serial;  // unit 1's; empty: the built-in one
    std::vector<ExtraUnit> units;
};

// Adds the statements in `text` to `scenario`. On a bad statement returns false and sets
// `error` to "line N: ..." (N counted within `text`).
bool ParseScenario(const std::string& text, Scenario& scenario, std::string& error);

}  // namespace lumo::emulator
