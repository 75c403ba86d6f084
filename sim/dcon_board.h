#pragma once

#include "sim/watchdog_countdown.h"

#include <chrono>
#include <optional>
#include <string>

// The controller board's side of the DCON line, as a simulator plays it:
// identification, a small watchdog command set and a few environment
// channels whose values drift with time. AA is the board's address, two hex
// digits (either case); nn a number in hex.
//
//   &AAM     !AA<model code>   identification
//   ~AAWS    !AA   arm the watchdog with the timeout last set (60 s at power-on)
//   ~AAWTnn  !AA   set the timeout to nn seconds (1..FF), restart the count when armed
//   ~AAWF    !AA   feed: restart the count (nothing when not armed)
//   ~AAWP    !AA   disarm
//   $AARH    !AAnn       watchdog resets so far
//   $AART0   !AA+dd.dd   CPU temperature, °C
//   $AART1   !AA+dd.dd   board temperature, °C
//   $AARF0   !AAnnnn     fan speed, rpm
//
// Any other command addressed to the board gets "?AA"; a request for
// another address goes unanswered.
class DconBoard {
public:
    using Clock = WatchdogCountdown::Clock;

    static constexpr std::chrono::seconds kPowerOnTimeout { 60 };

    DconBoard(
        std::string modelCode, int address, WatchdogCountdown& watchdog, Clock::time_point poweredOn = Clock::now());

    /// The reply to one request (without its carriage return), or nothing.
    std::optional<std::string> answer(const std::string& request, Clock::time_point now = Clock::now());

    // Channel values at @p elapsed since power-on.
    static double cpuTemperature(std::chrono::duration<double> elapsed);
    static double boardTemperature(std::chrono::duration<double> elapsed);
    static int fanSpeed(std::chrono::duration<double> elapsed);

private:
    std::optional<std::string> command(const std::string& body, Clock::time_point now);

    const std::string modelCode;
    const std::string addressText;
    WatchdogCountdown& watchdog;
    const Clock::time_point poweredOn;
    std::chrono::seconds timeout = kPowerOnTimeout;
};
