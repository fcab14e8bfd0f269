// The units in update mode that lumo-flash can see, how it names them, and the HID access that
// shows it only the unit chosen with --device.
#pragma once

#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/console_report.h"
#include "ports/forwarding_hid.h"
#include "ports/hid_access.h"
#include "ports/pause.h"

namespace lumo::cli {

struct UnitEntry {
    std::string id;    // what --device takes: the serial, else the port, else the path
    std::string path;  // its first interface in update mode
    bool variant = false;
    UnitIdentity unit;
    // Another unit present reports the same serial: the serial names neither, the port does.
    bool serial_shared = false;
};

// The name --device takes for a unit: its serial, else its port, else its path.
std::string UnitId(const UnitIdentity& unit, std::string_view path);

// Whether a unit listed now is `known`, a unit met before: the same port (when both have one,
// and no two serials that differ), else the same ID. A unit whose ID changed meanwhile (a
// serial shared with a twin that arrived, or not read this time) stays the one known.
bool SameListedUnit(const UnitEntry& known, const UnitEntry& listed);

// Whether `id` names this interface's unit: its id, serial, port or path.
bool NamesUnit(std::string_view id, const UnitIdentity& unit, std::string_view path);

// The units present in update mode, in the platform's order: one entry per unit whose identity
// is known (its interfaces share its port, or without ports its serial), one per interface
// where it is not. Units that report the same serial are told apart by their ports.
std::vector<UnitEntry> ListUnits(HidAccess& hid);
// The same, or nothing when the platform could not list its interfaces at all (so that "none
// present" is never taken from a listing that failed).
std::optional<std::vector<UnitEntry>> TryListUnits(HidAccess& hid);

// A unit on one line: its ID, product, port, serial ("-" where unknown) and path.
void PrintUnitLine(std::ostream& out, const UnitEntry& unit);

// When two or more of `units` are present, an update without a chosen unit would take whichever
// is listed first: reports the refusal (exit status 2, nothing written) with the list and what
// to type for each, and returns true.
bool RefuseSeveralUnits(const std::vector<UnitEntry>& units, ConsoleReport& report);

// The units that `id` names among those present: one, or several when it is a serial that
// twins share.
std::vector<UnitEntry> UnitsNamed(const std::vector<UnitEntry>& units, std::string_view id);

// HID access that lists only the interfaces of the unit `id` names; everything else passes
// straight through. A unit named by its path (which on Linux names the node, new at each
// replug) is followed by its identity once one of its listings has shown it; a unit named by
// its port is followed by its port alone, and its serial is hidden from the run, so that a
// twin's serial can neither claim nor bind it.
class OneUnitHid : public ForwardingHid {
  public:
    OneUnitHid(HidAccess& hid, std::string id) : ForwardingHid(hid), id_(std::move(id)) {}
    // The unit as a listing showed it: followed by its port when its serial is shared.
    explicit OneUnitHid(HidAccess& hid, const UnitEntry& unit);

    std::unique_ptr<HidInterfaceSet> ListInterfaces() override;

    // With a strand: the reply to the start report (which a unit that does not answer makes
    // last HID_REPLY_TIMEOUT_MS) is awaited on a thread of its own while the strand pauses, so
    // that such a unit holds only itself. Only over a HID access whose calls on different
    // devices may run at once (the platforms' own).
    void AwaitRepliesOn(Pause* strand) { strand_ = strand; }
    bool ReadReply(HidHandle h) override;

  private:
    bool Chosen(const UnitIdentity& unit, std::string_view path);

    std::string id_;
    UnitIdentity learned_;  // the unit's identity, once seen
    bool by_port_ = false;  // the port names the unit; its serial is not shown
    Pause* strand_ = nullptr;
};

}  // namespace lumo::cli
