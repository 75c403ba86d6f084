#include "sim/dcon_board.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <utility>

namespace {

constexpr double kPi = 3.14159265358979323846;

std::string upper(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
    return text;
}

std::string hex(unsigned long value, int digits)
{
    char text[32];
    std::snprintf(text, sizeof text, "%0*lX", digits, value);
    return text;
}

// Signed, so that the reply reads as a decimal number, not as hex digits.
std::string signedDecimal(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%+.2f", value);
    return text;
}

double wave(double seconds, double period)
{
    return std::sin(2 * kPi * seconds / period);
}

} // namespace

DconBoard::DconBoard(std::string modelCode, int address, WatchdogCountdown& watchdog, Clock::time_point poweredOn)
    : modelCode(std::move(modelCode))
    , addressText(hex(static_cast<unsigned long>(address), 2))
    , watchdog(watchdog)
    , poweredOn(poweredOn)
{
}

// Slow enough to look like a machine warming up and cooling down, fast
// enough that two readings a few seconds apart differ.
double DconBoard::cpuTemperature(std::chrono::duration<double> elapsed)
{
    return 44.0 + 6.0 * wave(elapsed.count(), 60.0) + 0.8 * wave(elapsed.count(), 7.0);
}

double DconBoard::boardTemperature(std::chrono::duration<double> elapsed)
{
    return 35.0 + 2.0 * wave(elapsed.count(), 90.0);
}

int DconBoard::fanSpeed(std::chrono::duration<double> elapsed)
{
    // The fan follows the CPU.
    return static_cast<int>(std::lround(1500.0 + 40.0 * (cpuTemperature(elapsed) - 44.0)));
}

std::optional<std::string> DconBoard::answer(const std::string& request, Clock::time_point now)
{
    const std::string text = upper(request);
    if (text.size() < 3 || text.find_first_of("&~$") != 0 || text.compare(1, addressText.size(), addressText) != 0)
        return std::nullopt;
    if (const auto reply = command(text.substr(1 + addressText.size()), now))
        return '!' + addressText + *reply;
    return '?' + addressText;
}

std::optional<std::string> DconBoard::command(const std::string& body, Clock::time_point now)
{
    const std::chrono::duration<double> elapsed = now - poweredOn;
    if (body == "M")
        return modelCode;
    if (body == "WS") {
        watchdog.load(timeout, now);
        return std::string();
    }
    if (body.rfind("WT", 0) == 0) {
        const std::string digits = body.substr(2);
        if (digits.empty() || digits.size() > 2 || digits.find_first_not_of("0123456789ABCDEF") != std::string::npos)
            return std::nullopt;
        const auto seconds = std::chrono::seconds(std::stoi(digits, nullptr, 16));
        if (seconds.count() == 0)
            return std::nullopt;
        timeout = seconds;
        if (watchdog.state().armed)
            watchdog.load(timeout, now);
        return std::string();
    }
    if (body == "WF") {
        if (watchdog.state().armed)
            watchdog.load(timeout, now);
        return std::string();
    }
    if (body == "WP") {
        watchdog.disarm();
        return std::string();
    }
    if (body == "RH")
        return hex(watchdog.state().resets, 2);
    if (body == "RT0")
        return signedDecimal(cpuTemperature(elapsed));
    if (body == "RT1")
        return signedDecimal(boardTemperature(elapsed));
    if (body == "RF0")
        return hex(static_cast<unsigned long>(fanSpeed(elapsed)), 4);
    return std::nullopt;
}
