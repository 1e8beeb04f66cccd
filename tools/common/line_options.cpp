#include "common/line_options.h"

#include <cctype>

#include "common/number_list.h"
#include "common/number_option.h"

namespace kavrol::tools {

namespace {

CLI::Validator baudRate() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            std::string error;
            const auto value = parseNumber(text, 4000000, &error);
            if (!value) return error;
            if (!isStandardBaud(static_cast<unsigned>(*value))) {
                return "baud rate " + text + " is not a standard rate (e.g. 9600, 19200, 115200)";
            }
            text = std::to_string(*value);
            return {};
        },
        "RATE");
}

// n, e, o as well as N, E, O.
CLI::Validator parityLetter() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            if (text.size() != 1 || std::string("NEO").find(static_cast<char>(
                                        std::toupper(static_cast<unsigned char>(text[0])))) == std::string::npos) {
                return "parity '" + text + "' is not N, E or O";
            }
            text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
            return {};
        },
        "N|E|O");
}

}  // namespace

void addLineOptions(CLI::App& app, LineSettings& line, const std::string& when) {
    app.add_option("--baud", line.baud, "baud rate" + when)->transform(baudRate())->capture_default_str();
    app.add_option("--data", line.dataBits, "data bits" + when)->check(CLI::Range(5U, 8U))->capture_default_str();
    app.add_option("--parity", line.parity, "parity" + when + ": N, E or O")
        ->transform(parityLetter())
        ->capture_default_str();
    app.add_option("--stop", line.stopBits, "stop bits" + when)->check(CLI::IsMember({1U, 2U}))->capture_default_str();
}

CLI::Validator portPath() {
    return CLI::Validator(
        [](std::string& text) -> std::string { return text.empty() ? "the port path is empty" : std::string(); },
        "PATH");
}

}  // namespace kavrol::tools
