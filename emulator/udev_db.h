// The udev database of a umockdev testbed: udev writes an entry for a device once it has
// applied its rules (permissions, tags), before it tells listeners on the "udev" source;
// libudev counts a device with a node as initialised only while its entry exists. The entries
// live in the testbed's run/udev/data, which udev_db_preload.cpp shows to the programs under
// test as /run/udev/data.
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

namespace lumo::emulator {

inline std::filesystem::path UdevDbEntry(const std::string& testbed_root, unsigned major,
                                         unsigned minor) {
    return std::filesystem::path(testbed_root) / "run/udev/data" /
           ("c" + std::to_string(major) + ":" + std::to_string(minor));
}

// Marks the character device major:minor as processed by udev. False when it cannot be written.
inline bool WriteUdevDbEntry(const std::string& testbed_root, unsigned major, unsigned minor) {
    const auto entry = UdevDbEntry(testbed_root, major, minor);
    std::error_code error;
    std::filesystem::create_directories(entry.parent_path(), error);
    const auto since_boot = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    std::ofstream out(entry);
    out << "I:" << since_boot.count() << "\nV:1\n";  // when it was initialised; format version
    return static_cast<bool>(out.flush());
}

inline void RemoveUdevDbEntry(const std::string& testbed_root, unsigned major, unsigned minor) {
    std::error_code error;
    std::filesystem::remove(UdevDbEntry(testbed_root, major, minor), error);
}

}  // namespace lumo::emulator
