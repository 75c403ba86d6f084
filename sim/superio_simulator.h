#pragma once

#include "sim/fake_platform.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

// One Super I/O chip behind its index/data port pair, as the configuration
// ports show it. Locked, it ignores everything but its vendor's enter key on
// the index port and reads as an empty bus (0xFF). Unlocked, it answers its
// chip id at registers 0x20/0x21 and keeps a register file per logical
// device (register 0x07 selects the device; registers below 0x30 are shared
// by all devices, as on the real parts) until its exit sequence locks it.
class SimulatedSuperIo {
public:
    // How the chip leaves configuration mode.
    enum class Exit {
        IndexKey, // a key byte written to the index port (Fintek, Nuvoton)
        ConfigControl, // bit 1 written to register 0x02 (ITE)
    };

    SimulatedSuperIo(
        uint16_t base, uint16_t chipId, std::vector<uint8_t> enterKey, Exit exitBy, uint8_t exitKey = 0xAA);

    // The chips of the three vendors with their keys.
    static std::unique_ptr<SimulatedSuperIo> fintek(uint16_t base, uint16_t chipId);
    static std::unique_ptr<SimulatedSuperIo> ite(uint16_t base, uint16_t chipId);
    static std::unique_ptr<SimulatedSuperIo> nuvoton(uint16_t base, uint16_t chipId);
    // A Nuvoton or Winbond part of the kind that opens only with 0x87
    // written twice, as many of their datasheets give the key, and never
    // with the single 0xA5.
    static std::unique_ptr<SimulatedSuperIo> nuvotonKey8787(uint16_t base, uint16_t chipId);

    uint16_t base() const { return chipBase; }
    bool decodes(uint16_t port) const;
    bool unlocked() const { return configMode; }
    // Configuration sessions closed by the exit sequence so far; safe to
    // read from another thread while the chip is in use.
    int sessions() const { return closedSessions; }

    // The register file: a register never written reads 0x00.
    uint8_t reg(uint8_t device, uint8_t index) const;
    void setReg(uint8_t device, uint8_t index, uint8_t value);
    uint8_t selectedDevice() const { return device; }

    void write(uint16_t port, uint8_t value);
    uint8_t read(uint16_t port);

    // Called on the writing thread after a write reached the register file
    // of a logical device (selecting a device or leaving configuration mode
    // does not), with the register's new value.
    std::function<void(uint8_t device, uint8_t index, uint8_t value)> onRegisterWrite;
    // Called on the writing thread when the exit sequence has locked the chip.
    std::function<void()> onSessionClosed;

private:
    uint8_t& cell(uint8_t device, uint8_t index);
    void keyByte(uint8_t value);
    void closeSession();

    const uint16_t chipBase;
    const uint16_t chipId;
    const std::vector<uint8_t> enterKey;
    const Exit exitBy;
    const uint8_t exitKey;

    bool configMode = false;
    size_t keyProgress = 0;
    uint8_t index = 0;
    uint8_t device = 0;
    std::map<uint16_t, uint8_t> registers;
    std::atomic<int> closedSessions { 0 };
};

// The port layer with any number of simulated chips (or none) at their
// bases. Every access is recorded in order, like the plain fake; a port that
// no chip decodes reads 0xFF, as a bus with nothing on it does.
class SuperIoBus : public FakePlatform {
public:
    SimulatedSuperIo& add(std::unique_ptr<SimulatedSuperIo> chip);

    // Called on the accessing thread after each access was recorded and
    // answered, for tests that act at a given point of a sequence.
    std::function<void(const PortAccess& access)> onAccess;

protected:
    void write(uint16_t port, uint8_t value) override;
    uint8_t read(uint16_t port) override;
    void accessed(const PortAccess& access) override;

private:
    SimulatedSuperIo* chipAt(uint16_t port) const;

    std::vector<std::unique_ptr<SimulatedSuperIo>> chips;
};
