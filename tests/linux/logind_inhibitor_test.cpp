// The logind inhibitor against python3-dbusmock's logind on a private system bus (the test
// runs under tests/linux/mock_logind.py, which starts both and names the mock's call log in
// LUMO_MOCK_LOGIND_LOG). What logind was asked comes from that log; whether the lock is held
// comes from the mock's ListInhibitors, which drops a lock when its descriptor hangs up.
#include "platform/linux/logind_inhibitor.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/linux/mock_logind.h"

namespace lumo::linux_power {
namespace {

using namespace std::chrono_literals;

using lumo::testing::HeldLocks;
using lumo::testing::InhibitCall;
using lumo::testing::InhibitCalls;
using lumo::testing::ListInhibitors;

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

// The mock drops a lock when it sees its descriptor hang up, a moment after the close.
int HeldAfterSettling(int want) {
    int n = HeldLocks();
    for (int i = 0; i < 100 && n != want; ++i) {
        std::this_thread::sleep_for(20ms);
        n = HeldLocks();
    }
    return n;
}

// Replaces the mock's Inhibit by one that refuses, or puts the template's back.
void MockInhibitRefuses(bool refuse) {
    sd_bus* bus = nullptr;
    ASSERT_GE(sd_bus_open_system(&bus), 0);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int r;
    if (refuse) {
        r = sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                               "org.freedesktop.DBus.Mock", "AddMethod", &error, nullptr, "sssss",
                               "org.freedesktop.login1.Manager", "Inhibit", "ssss", "h",
                               "raise dbus.exceptions.DBusException('Permission denied', "
                               "name='org.freedesktop.DBus.Error.AccessDenied')");
    } else {
        r = sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                               "org.freedesktop.DBus.Mock", "Reset", &error, nullptr, "");
    }
    EXPECT_GE(r, 0) << (error.message ? error.message : "?");
    sd_bus_error_free(&error);
    sd_bus_close_unref(bus);
}

class LogindInhibitorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(Env("LUMO_MOCK_LOGIND_LOG").empty()) << "run under mock_logind.py";
        calls_before = InhibitCalls().size();
        ASSERT_EQ(HeldAfterSettling(0), 0);
    }
    std::size_t NewCalls() const { return InhibitCalls().size() - calls_before; }

    std::ostringstream errors;
    std::size_t calls_before = 0;
};

TEST_F(LogindInhibitorTest, HeldFromTheStartUntilTheEndWithTheArgumentsAsked) {
    LogindInhibitor inhibitor("lumo-test", errors);
    EXPECT_EQ(NewCalls(), 0u) << "nothing is asked before an update starts";

    inhibitor.UpdateStarted();
    ASSERT_EQ(NewCalls(), 1u);
    EXPECT_EQ(InhibitCalls().back(), InhibitCall("lumo-test"));
    EXPECT_TRUE(inhibitor.holding());
    const auto held = ListInhibitors().held;
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held[0].what, kInhibitWhat);
    EXPECT_EQ(held[0].who, "lumo-test");
    EXPECT_EQ(held[0].why, kInhibitWhy);
    EXPECT_EQ(held[0].mode, kInhibitMode);

    inhibitor.UpdateEnded();
    EXPECT_FALSE(inhibitor.holding());
    EXPECT_EQ(HeldAfterSettling(0), 0) << "the lock's descriptor was closed";
    EXPECT_EQ(NewCalls(), 1u);
    EXPECT_EQ(errors.str(), "");
}

TEST_F(LogindInhibitorTest, NextUpdateTakesItAgain) {
    LogindInhibitor inhibitor("lumo-test", errors);
    inhibitor.UpdateStarted();
    inhibitor.UpdateEnded();
    inhibitor.UpdateStarted();
    EXPECT_EQ(NewCalls(), 2u);
    EXPECT_EQ(HeldAfterSettling(1), 1);
    inhibitor.UpdateEnded();
    EXPECT_EQ(HeldAfterSettling(0), 0);
}

TEST_F(LogindInhibitorTest, DestroyedWhileHeldReleases) {
    {
        LogindInhibitor inhibitor("lumo-test", errors);
        inhibitor.UpdateStarted();
        ASSERT_EQ(HeldAfterSettling(1), 1);
    }
    EXPECT_EQ(HeldAfterSettling(0), 0);
}

// A second end must not close a descriptor that has meanwhile gone to something else.
TEST_F(LogindInhibitorTest, EndingTwiceClosesNothingElse) {
    LogindInhibitor inhibitor("lumo-test", errors);
    inhibitor.UpdateEnded();  // never started
    inhibitor.UpdateStarted();
    inhibitor.UpdateEnded();
    int other[2];
    ASSERT_EQ(pipe(other), 0);  // likely to take the number the lock had
    inhibitor.UpdateEnded();
    EXPECT_NE(fcntl(other[0], F_GETFD), -1);
    EXPECT_NE(fcntl(other[1], F_GETFD), -1);
    close(other[0]);
    close(other[1]);
    EXPECT_EQ(NewCalls(), 1u);
}

// A bus where a client connects and nothing ever answers.
class SilentBus {
  public:
    SilentBus() {
        path_ = std::filesystem::temp_directory_path() /
                ("lumo-silent-bus-" + std::to_string(getpid()));
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        path_.string().copy(addr.sun_path, sizeof addr.sun_path - 1);
        unlink(path_.c_str());
        bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        listen(fd_, 4);
    }
    ~SilentBus() {
        close(fd_);
        unlink(path_.c_str());
    }
    std::string address() const { return "unix:path=" + path_.string(); }

  private:
    std::filesystem::path path_;
    int fd_ = -1;
};

struct UnavailableCase {
    const char* name;
    const char* reason;  // part of the one line
};

class Unavailable : public LogindInhibitorTest,
                    public ::testing::WithParamInterface<UnavailableCase> {};

// The update goes on without the lock: two updates, one line saying why, nothing held.
TEST_P(Unavailable, NothingHeldAndOneLineForTheWholeProcess) {
    const std::string name = GetParam().name;
    SilentBus silent;
    std::string address = Env("DBUS_SYSTEM_BUS_ADDRESS");
    if (name == "no_bus") address = "unix:path=/nonexistent/lumo-test-bus";
    if (name == "silent_bus") address = silent.address();
    if (name == "refused") MockInhibitRefuses(true);

    LogindInhibitor inhibitor("lumo-test", errors, address, 300ms);
    for (int update = 0; update < 2; ++update) {
        inhibitor.UpdateStarted();
        EXPECT_FALSE(inhibitor.holding());
        inhibitor.UpdateEnded();
    }
    if (name == "refused") MockInhibitRefuses(false);

    const std::string text = errors.str();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    EXPECT_TRUE(
        text.starts_with("lumo-test: cannot hold off sleep and shutdown during the "
                         "update: "))
        << text;
    EXPECT_NE(text.find(GetParam().reason), std::string::npos) << text;
    EXPECT_EQ(HeldAfterSettling(0), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Reasons, Unavailable,
    ::testing::Values(UnavailableCase{"no_bus", "no system bus"},
                      UnavailableCase{"silent_bus", "no answer from logind within 300 ms"},
                      UnavailableCase{"refused", "org.freedesktop.DBus.Error.AccessDenied"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace lumo::linux_power
