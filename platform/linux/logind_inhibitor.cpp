#include "platform/linux/logind_inhibitor.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <utility>

namespace lumo::linux_power {

namespace {

using Clock = std::chrono::steady_clock;

std::string Errno(int negative_errno) { return std::strerror(-negative_errno); }

// The answer to the Inhibit call, filled in by the reply callback.
struct Pending {
    bool done = false;
    InhibitResult result;
};

int OnInhibitReply(sd_bus_message* reply, void* userdata, sd_bus_error* /*ret_error*/) {
    auto& pending = *static_cast<Pending*>(userdata);
    pending.done = true;
    if (const sd_bus_error* e = sd_bus_message_get_error(reply)) {
        pending.result.error = std::string("logind did not grant the lock: ") +
                               (e->message ? e->message : "") + " (" +
                               (e->name ? e->name : "no error name") + ")";
        return 0;
    }
    int fd = -1;
    if (const int r = sd_bus_message_read(reply, "h", &fd); r < 0) {
        pending.result.error = "logind's answer holds no lock (" + Errno(r) + ")";
        return 0;
    }
    // The reply owns its descriptor and closes it when it goes: keep a copy of our own.
    const int own = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (own < 0) {
        pending.result.error = "cannot keep the lock (" + std::string(std::strerror(errno)) + ")";
        return 0;
    }
    pending.result.fd = own;
    return 0;
}

int OpenBus(const std::string& address, sd_bus** bus) {
    if (address.empty()) return sd_bus_open_system(bus);
    sd_bus* b = nullptr;
    int r = sd_bus_new(&b);
    if (r < 0) return r;
    if ((r = sd_bus_set_address(b, address.c_str())) < 0 || (r = sd_bus_set_bus_client(b, 1)) < 0 ||
        (r = sd_bus_start(b)) < 0) {
        sd_bus_close_unref(b);
        return r;
    }
    *bus = b;
    return 0;
}

std::string OneLine(std::string s) {
    for (char& c : s)
        if (c == '\n' || c == '\r') c = ' ';
    return s;
}

}  // namespace

InhibitResult TakeInhibitorLock(std::string_view who, const std::string& bus_address,
                                std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    sd_bus* bus = nullptr;
    if (const int r = OpenBus(bus_address, &bus); r < 0)
        return {-1, "no system bus (" + Errno(r) + ")"};

    InhibitResult result;
    sd_bus_message* call = nullptr;
    sd_bus_slot* slot = nullptr;
    Pending pending;
    const std::string who_text(who);
    const std::string what(kInhibitWhat), why(kInhibitWhy), mode(kInhibitMode);
    const auto usec = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(timeout).count());
    int r = sd_bus_message_new_method_call(bus, &call, "org.freedesktop.login1",
                                           "/org/freedesktop/login1",
                                           "org.freedesktop.login1.Manager", "Inhibit");
    if (r >= 0)
        r = sd_bus_message_append(call, "ssss", what.c_str(), who_text.c_str(), why.c_str(),
                                  mode.c_str());
    // Sent once the connection is up; nothing here waits yet.
    if (r >= 0) r = sd_bus_call_async(bus, &slot, call, OnInhibitReply, &pending, usec);
    if (r < 0) result.error = "cannot ask logind (" + Errno(r) + ")";

    // Connect, authenticate, say hello and call, all under the one deadline.
    while (r >= 0 && !pending.done) {
        r = sd_bus_process(bus, nullptr);
        if (r < 0) {
            result.error = "the system bus failed (" + Errno(r) + ")";
            break;
        }
        if (r > 0) continue;
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) {
            result.error =
                "no answer from logind within " + std::to_string(timeout.count()) + " ms";
            break;
        }
        r = sd_bus_wait(bus,
                        static_cast<std::uint64_t>(
                            std::chrono::duration_cast<std::chrono::microseconds>(left).count()) +
                            1);
        if (r < 0) result.error = "the system bus failed (" + Errno(r) + ")";
    }
    if (pending.done) result = std::move(pending.result);

    // The callback goes before the connection, so that closing it cannot call it any more.
    sd_bus_slot_unref(slot);
    sd_bus_message_unref(call);
    // No flush: the answer is in, or we have given up; a flush could wait on a silent peer.
    sd_bus_close_unref(bus);
    result.error = OneLine(std::move(result.error));
    return result;
}

LogindInhibitor::LogindInhibitor(std::string who, std::ostream& errors, std::string bus_address,
                                 std::chrono::milliseconds timeout)
    : who_(std::move(who)),
      errors_(errors),
      bus_address_(std::move(bus_address)),
      timeout_(timeout) {}

LogindInhibitor::~LogindInhibitor() { Release(); }

void LogindInhibitor::UpdateStarted() {
    if (fd_ >= 0) return;  // already held
    InhibitResult lock = TakeInhibitorLock(who_, bus_address_, timeout_);
    fd_ = lock.fd;
    if (fd_ < 0 && !told_) {
        told_ = true;
        errors_ << who_ << ": cannot hold off sleep and shutdown during the update: " << lock.error
                << std::endl;
    }
}

void LogindInhibitor::UpdateEnded() { Release(); }

void LogindInhibitor::Release() {
    if (fd_ < 0) return;
    close(fd_);
    fd_ = -1;
}

}  // namespace lumo::linux_power
