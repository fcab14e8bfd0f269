// What the mock logind of tests/linux/mock_logind.py was asked and what it holds: its call
// log (LUMO_MOCK_LOGIND_LOG) and its ListInhibitors, over the private system bus
// (DBUS_SYSTEM_BUS_ADDRESS). The mock drops a lock when its descriptor hangs up.
#pragma once

#include <systemd/sd-bus.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace lumo::testing {

inline std::string MockLogindLogPath() {
    const char* v = std::getenv("LUMO_MOCK_LOGIND_LOG");
    return v ? v : "";
}

// The Inhibit calls in the mock's log, without their time stamps:
// Inhibit "what" "who" "why" "mode".
inline std::vector<std::string> InhibitCalls() {
    std::ifstream log(MockLogindLogPath());
    std::vector<std::string> calls;
    for (std::string line; std::getline(log, line);) {
        const auto space = line.find(' ');
        if (space != std::string::npos && line.compare(space + 1, 8, "Inhibit ") == 0)
            calls.push_back(line.substr(space + 1));
    }
    return calls;
}

inline std::string InhibitCall(const std::string& who) {
    return "Inhibit \"shutdown:sleep:idle:handle-lid-switch\" \"" + who +
           "\" \"Firmware update in progress\" \"block\"";
}

struct ListedInhibitor {
    std::string what, who, why, mode;
};

// The locks the mock holds; `ok` false when it could not be asked.
struct Inhibitors {
    bool ok = false;
    std::vector<ListedInhibitor> held;
};

inline Inhibitors ListInhibitors() {
    Inhibitors out;
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0) return out;
    sd_bus_message* call = nullptr;
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    if (sd_bus_message_new_method_call(bus, &call, "org.freedesktop.login1",
                                       "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                       "ListInhibitors") >= 0 &&
        sd_bus_call(bus, call, 5'000'000, &error, &reply) >= 0 &&
        sd_bus_message_enter_container(reply, 'a', "(ssssuu)") >= 0) {
        out.ok = true;
        const char *what, *who, *why, *mode;
        unsigned uid, pid;
        while (sd_bus_message_read(reply, "(ssssuu)", &what, &who, &why, &mode, &uid, &pid) > 0)
            out.held.push_back({what, who, why, mode});
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_message_unref(call);
    sd_bus_close_unref(bus);
    return out;
}

// How many locks the mock holds, -1 when it cannot be asked.
inline int HeldLocks() {
    const Inhibitors list = ListInhibitors();
    return list.ok ? static_cast<int>(list.held.size()) : -1;
}

}  // namespace lumo::testing
