// The logind inhibitor against python3-dbusmock's logind on a private system bus (the test
// runs under tests/linux/mock_logind.py, which starts both and names the mock's call log in
// LUMO_MOCK_LOGIND_LOG). What logind was asked comes from that log; whether the lock is held
// comes from the mock's ListInhibitors, which drops a lock when its descriptor hangs up.
#include "update/linux/logind_inhibitor.h"

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
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace lumo::linux_power {
namespace {

using namespace std::chrono_literals;

const std::string kExpectedCall =
    R"(Inhibit "shutdown:sleep:idle:handle-lid-switch" "lumo-test" )"
    R"("Firmware update in progress" "block")";

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

// The Inhibit calls in the mock's log, without their time stamps.
std::vector<std::string> InhibitCalls() {
    std::ifstream log(Env("LUMO_MOCK_LOGIND_LOG"));
    std::vector<std::string> calls;
    for (std::string line; std::getline(log, line);) {
        const auto space = line.find(' ');
        if (space != std::string::npos && line.compare(space + 1, 8, "Inhibit ") == 0)
            calls.push_back(line.substr(space + 1));
    }
    return calls;
}

struct Listed {
    std::string what, who, why, mode;
};

std::vector<Listed> ListInhibitors() {
    sd_bus* bus = nullptr;
    std::vector<Listed> out;
    if (sd_bus_open_system(&bus) < 0) {
        ADD_FAILURE() << "no private bus";
        return out;
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    sd_bus_message* call = nullptr;
    sd_bus_message_new_method_call(bus, &call, "org.freedesktop.login1", "/org/freedesktop/login1",
                                   "org.freedesktop.login1.Manager", "ListInhibitors");
    if (sd_bus_call(bus, call, 5'000'000, &error, &reply) < 0) {
        ADD_FAILURE() << "ListInhibitors: " << (error.message ? error.message : "?");
    } else {
        sd_bus_message_enter_container(reply, 'a', "(ssssuu)");
        const char *what, *who, *why, *mode;
        unsigned uid, pid;
        while (sd_bus_message_read(reply, "(ssssuu)", &what, &who, &why, &mode, &uid, &pid) > 0)
            out.push_back({what, who, why, mode});
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_message_unref(call);
    sd_bus_close_unref(bus);
    return out;
}

// The mock drops a lock when it sees its descriptor hang up, a moment after the close.
std::size_t ListedAfterSettling(std::size_t want) {
    std::size_t n = ListInhibitors().size();
    for (int i = 0; i < 100 && n != want; ++i) {
        std::this_thread::sleep_for(20ms);
        n = ListInhibitors().size();
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
        r = sd_bus_call_method(
            bus, "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.DBus.Mock",
            "AddMethod", &error, nullptr, "sssss", "org.freedesktop.login1.Manager", "Inhibit",
            "ssss", "h",
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
        ASSERT_EQ(ListedAfterSettling(0), 0u);
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
    EXPECT_EQ(InhibitCalls().back(), kExpectedCall);
    EXPECT_TRUE(inhibitor.holding());
    const std::vector<Listed> held = ListInhibitors();
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held[0].what, kInhibitWhat);
    EXPECT_EQ(held[0].who, "lumo-test");
    EXPECT_EQ(held[0].why, kInhibitWhy);
    EXPECT_EQ(held[0].mode, kInhibitMode);

    inhibitor.UpdateEnded();
    EXPECT_FALSE(inhibitor.holding());
    EXPECT_EQ(ListedAfterSettling(0), 0u) << "the lock's descriptor was closed";
    EXPECT_EQ(NewCalls(), 1u);
    EXPECT_EQ(errors.str(), "");
}

TEST_F(LogindInhibitorTest, NextUpdateTakesItAgain) {
    LogindInhibitor inhibitor("lumo-test", errors);
    inhibitor.UpdateStarted();
    inhibitor.UpdateEnded();
    inhibitor.UpdateStarted();
    EXPECT_EQ(NewCalls(), 2u);
    EXPECT_EQ(ListedAfterSettling(1), 1u);
    inhibitor.UpdateEnded();
    EXPECT_EQ(ListedAfterSettling(0), 0u);
}

TEST_F(LogindInhibitorTest, DestroyedWhileHeldReleases) {
    {
        LogindInhibitor inhibitor("lumo-test", errors);
        inhibitor.UpdateStarted();
        ASSERT_EQ(ListedAfterSettling(1), 1u);
    }
    EXPECT_EQ(ListedAfterSettling(0), 0u);
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
    EXPECT_TRUE(text.starts_with("lumo-test: cannot hold off sleep and shutdown during the "
                                 "update: "))
        << text;
    EXPECT_NE(text.find(GetParam().reason), std::string::npos) << text;
    EXPECT_EQ(ListedAfterSettling(0), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Reasons, Unavailable,
    ::testing::Values(UnavailableCase{"no_bus", "no system bus"},
                      UnavailableCase{"silent_bus", "no answer from logind within 300 ms"},
                      UnavailableCase{"refused", "org.freedesktop.DBus.Error.AccessDenied"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace lumo::linux_power
