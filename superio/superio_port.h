#pragma once

#include "strategy/vendor_strategy.h"

#include <cstdint>
#include <map>
#include <string>

// Configuration-space access of a Super I/O chip through its index/data port
// pair: the index port is the base the chip decodes (0x2E or 0x4E on most
// boards), the data port sits at base + 1. These helpers are the only code
// that touches the ports; the vendor drivers call nothing else.
//
// Register access reaches the chip only between the vendor's enter and exit
// sequences, and a sequence must not be interleaved with another one on the
// same chip: a foreign index write between our index write and its data
// access sends the data to the wrong register.

/// A chip table: chip id (or masked id) to model name.
using ChipTable = std::map<uint16_t, std::string>;

/// One byte to the index port, as the vendors' enter and exit keys are sent.
void sio_write_index(uint16_t port, uint8_t value);
/// Register @p reg of the selected device <- @p val.
void sio_write(uint16_t port, uint8_t reg, uint8_t val);
uint8_t sio_read(uint16_t port, uint8_t reg);
/// Registers 0x20 (high byte, read first) and 0x21 (low byte).
uint16_t sio_read_chip_id(uint16_t port);
/// Writes every command of @p cmds in order, then logs each one at critical
/// level as "reg: f6  val: 1e".
void sio_run_commands(uint16_t port, const RegList& cmds);
/// The body of a start or stop: the configured list when there is one
/// (written and logged), else the driver's built-in writes (not logged).
void sio_run_body(uint16_t port, const RegList& configured, const RegList& builtIn);
/// "0x" and four lower-case hexadecimal digits: 0xb450.
std::string sio_model_code(uint16_t chipId);

/// The identification step shared by the drivers: on a table match for
/// @p key the model fields name the chip and the result is true; otherwise
/// the fields keep what they held and the result is false, leaving the
/// decision to the vendor's own acceptance rule.
bool sio_match_table(
    const ChipTable& table, uint16_t key, uint16_t chipId, std::string& modelName, std::string& modelCode);
