// The monitor's forwarding half on its own: which line settings the device
// side takes when the application sets its pseudo-terminal, and forwarding
// between two pty pairs when one side reads nothing.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "cli/line_tap.h"
#include "pty/pty_pair.h"

namespace kavrol::cli {
namespace {

using tools::LineSettings;

TEST(LineTapFollow, TheDeviceSideKeepsWhatAPseudoTerminalCannotShow) {
    struct Case {
        const char* what;
        LineSettings asked;   // as the application's end shows it
        LineSettings device;  // the device side before
        bool fromPty;
        LineSettings expected;
    };
    const Case cases[] = {
        // A Linux pty shows 8N whatever was asked: 8E stays 8E, 7O stays 7O.
        {"speed and stop bits from a pty", {19200, 8, 'N', 2}, {9600, 8, 'E', 1}, true, {19200, 8, 'E', 2}},
        {"seven data bits kept", {4800, 8, 'N', 1}, {9600, 7, 'O', 2}, true, {4800, 7, 'O', 1}},
        {"8N1 everywhere", {9600, 8, 'N', 1}, {115200, 8, 'N', 2}, true, {9600, 8, 'N', 1}},
        // A pty that does show parity or data bits is followed in them too.
        {"parity shown", {19200, 8, 'E', 1}, {9600, 8, 'N', 1}, true, {19200, 8, 'E', 1}},
        {"data bits shown", {19200, 7, 'N', 1}, {9600, 8, 'E', 1}, true, {19200, 7, 'N', 1}},
        // A real port as the application's end: everything is followed.
        {"a real port", {9600, 8, 'N', 1}, {9600, 8, 'E', 1}, false, {9600, 8, 'N', 1}},
        // A speed that is no standard rate leaves the device's speed alone.
        {"unknown speed", {0, 8, 'N', 2}, {9600, 8, 'E', 1}, true, {9600, 8, 'E', 2}},
    };
    for (const Case& c : cases) {
        const LineSettings got = followedLine(c.asked, c.device, c.fromPty);
        EXPECT_EQ(tools::describeLine(got), tools::describeLine(c.expected)) << c.what;
    }
}

// The application's settings on the pty end reach the device's tty; the
// note names the speed.
TEST(LineTapFollow, ASpeedAndStopBitsChangeIsAppliedAndNamed) {
    pty::PtyPair app;
    pty::PtyPair device;
    const LineSettings start{9600, 8, 'N', 1};
    ASSERT_TRUE(tools::setTtyLine(device.device(), start));
    LineTap tap(app.device(), device.device(), true, start);
    termios t{};
    ASSERT_EQ(::tcgetattr(app.device(), &t), 0);
    ::cfsetospeed(&t, B19200);
    ::cfsetispeed(&t, B19200);
    t.c_cflag |= CSTOPB | PARENB;  // the pty drops the parity
    ASSERT_EQ(::tcsetattr(app.device(), TCSANOW, &t), 0);
    std::string notes;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (notes.find("follows") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        for (const TapChunk& c : tap.take(100)) notes += c.note;
    }
    EXPECT_EQ(notes,
              "the application set its line to 19200 baud, 2 stop bits (a pseudo-terminal shows no parity or data "
              "bits); the device side follows: 19200 8N2");
    const auto line = tools::ttyLine(device.device());
    ASSERT_TRUE(line.has_value());
    EXPECT_EQ(tools::describeLine(*line), "19200 8N2");
    EXPECT_EQ(tools::describeLine(tap.deviceLine()), "19200 8N2");
}

}  // namespace
}  // namespace kavrol::cli
