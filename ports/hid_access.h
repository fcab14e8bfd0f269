// The HID services that the device link and the update sequence use. Each platform
// implements this over its own OS calls (SetupAPI/HID.dll on Windows, libudev/hidraw on
// Linux); tests use a fake bus. Every call may fail, and none of them throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "protocol/update_report.h"

namespace lumo {

// An opened device, as the platform hands it out. Zero is "never opened" (the state at
// start); kInvalidHandle is what a failed open returns and what a closed device leaves.
using HidHandle = std::uintptr_t;
inline constexpr HidHandle kNullHandle = 0;
inline constexpr HidHandle kInvalidHandle = ~HidHandle{0};

inline bool IsOpenHandle(HidHandle h) { return h != kNullHandle && h != kInvalidHandle; }

// Input reports the platform should queue for an opened device.
inline constexpr unsigned HID_INPUT_BUFFERS = 200;

// Bounded waits. A healthy device takes a report within a few milliseconds and answers the
// start report within a few hundred; these limits leave room for a slow one. A call that
// runs out of time gives up, cancels its I/O and reports failure.
inline constexpr unsigned HID_WRITE_TIMEOUT_MS = 1000;
inline constexpr unsigned HID_REPLY_TIMEOUT_MS = 5000;

// Who a unit is, as far as the platform can tell: the same when the unit is plugged back into
// the same port. An empty field is unknown; the browser knows neither.
struct UnitIdentity {
    std::string port;    // the USB port chain, as in "1-2.3"
    std::string serial;  // the serial number the unit reports, if any

    bool Known() const { return !port.empty() || !serial.empty(); }
    friend bool operator==(const UnitIdentity&, const UnitIdentity&) = default;
};

// A snapshot of the HID interfaces present when it was taken. Destroying it releases it.
class HidInterfaceSet {
  public:
    virtual ~HidInterfaceSet() = default;

    // Whether the set has an interface at this index; false ends the list.
    virtual bool EnumInterface(std::uint32_t index) = 0;

    // Bytes needed for the interface's path, its terminating NUL included; 0 when the size
    // cannot be learned (for instance because the interface has gone meanwhile).
    virtual std::size_t PathSize(std::uint32_t index) = 0;

    // Writes the NUL-terminated UTF-8 path into `buffer`, which has PathSize() bytes.
    virtual bool ReadPath(std::uint32_t index, std::span<char> buffer) = 0;

    // The unit that the interface at this index belongs to; empty where the platform cannot
    // tell.
    virtual UnitIdentity Identity(std::uint32_t /*index*/) { return {}; }
};

class HidAccess {
  public:
    virtual ~HidAccess() = default;

    // The present HID interfaces; null when no set can be created.
    virtual std::unique_ptr<HidInterfaceSet> ListInterfaces() = 0;

    // Opens a device path for reading and writing; kInvalidHandle on failure.
    virtual HidHandle Open(std::string_view path) = 0;

    // Asks the platform to queue `count` input reports; the result is advisory.
    virtual bool SetNumInputBuffers(HidHandle h, unsigned count) = 0;

    // Whether the device's HID description can be read (preparsed data on Windows, the report
    // descriptor on Linux). Takes nothing that outlives the call.
    virtual bool Probe(HidHandle h) = 0;

    // Writes one whole 63-byte report, waiting at most HID_WRITE_TIMEOUT_MS.
    virtual bool WriteReport(HidHandle h, const UpdateReport& report) = 0;

    // Reads one input report of UPDATE_REPLY_SIZE bytes, waiting at most
    // HID_REPLY_TIMEOUT_MS. Its content is not looked at.
    virtual bool ReadReply(HidHandle h) = 0;

    virtual void Close(HidHandle h) = 0;
};

}  // namespace lumo
