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
//   remove unrelated device after block K   ... once the device under update has taken block K
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
//   plug in unit NAME after block K              ... plugged in once unit 1 has taken block K
//   unplug unit NAME after block K               block K is taken, then the unit is pulled out
//   unplug unit NAME after N ms
//   replug after N ms                            (after either) back on its port, as a new node
//   expect unit NAME OUTCOME                     its verdict (default no-update)
//   unit NAME never answers start                it takes start reports but sends no reply
//
// Twins (units that report one serial) are written with the same serial twice, e.g.
// "device at 1-2 serial M8V-1" and "unit b 7b16 at 1-3 serial M8V-1".
//
// A stream of units through a station's ports, each a new unit of the device's product
// (--product), judged alone against the expected image:
//
//   units COUNT on ports PORT... [serial TEXT | no serial] pull after done N ms
//       plug after M ms                          (one line)
//
// A unit is present on each PORT at the start. N ms after a unit has taken its finish report
// it is pulled out, and M ms later a new unit (a new node, a new HID instance) is plugged
// into that port, until COUNT units have been plugged in. Serials: "{n}" in TEXT becomes the
// unit's number (1 to COUNT); TEXT without it gives every unit the same serial; by default
// unit n's is M8P- or M8V- and n in six digits. Device 1 is then absent: the stream takes its
// place, so statements about device 1 (its port, plug-in, unplugs, block faults, "never
// answer start", block triggers) are refused beside it. The run's verdict is the stream's:
// delivered when all COUNT units were delivered byte for byte, else the units that were not.
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
    // Plugged in once unit 1 has taken this block (absent until then); empty: not so.
    std::optional<std::uint32_t> plug_in_after_block;
    std::string expect = "no-update";
    bool never_answers_start = false;
};

// The "units" statement.
struct UnitStream {
    std::uint32_t count = 0;
    std::vector<std::string> ports;
    std::optional<std::string> serial;  // may hold "{n}"; "": none; empty: numbered by default
    std::uint32_t pull_after_done_ms = 0;
    std::uint32_t plug_after_ms = 0;
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
    std::optional<std::uint32_t> unrelated_removed_after_block;
    bool second_device = false;
    std::optional<std::uint32_t> second_device_ms;
    std::optional<std::uint32_t> second_device_removed_ms;
    std::optional<std::string> device_port;    // unit 1's; empty: "1-1"
    std::optional<std::string> device_serial;  // unit 1's; empty: the built-in one
    std::vector<ExtraUnit> units;
    std::optional<UnitStream> stream;
};

// Adds the statements in `text` to `scenario`. On a bad statement returns false and sets
// `error` to "line N: ..." (N counted within `text`).
bool ParseScenario(const std::string& text, Scenario& scenario, std::string& error);

// Once every statement is in: what cannot go together (empty when all can).
std::string CheckScenario(const Scenario& scenario);

// The serial of the stream's unit `n` (counted from 1).
std::string StreamSerial(const UnitStream& stream, std::uint32_t n, bool variant);

}  // namespace lumo::emulator
