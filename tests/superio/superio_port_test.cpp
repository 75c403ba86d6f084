#include "superio/superio_port.h"

#include "port_traces.h"

#include <deque>

namespace {

// Answers reads from a script and notes, for every write, how many log
// lines had been written before it.
class ScriptedBus : public FakePlatform {
public:
    std::deque<uint8_t> answers;
    const LogCapture* log = nullptr;
    std::vector<int> logLinesAtWrite;

protected:
    uint8_t read(uint16_t) override
    {
        if (answers.empty())
            return 0xFF;
        const uint8_t value = answers.front();
        answers.pop_front();
        return value;
    }
    void write(uint16_t, uint8_t) override { logLinesAtWrite.push_back(log ? log->lines().size() : 0); }
};

TEST(SuperIoPort, RegisterAccessGoesToTheIndexPortThenTheDataPort)
{
    ScriptedBus bus;
    ScopedPortIo installed(bus);
    bus.answers = { 0x5A };

    sio_write(0x4E, 0x07, 0x08);
    EXPECT_EQ(sio_read(0x2E, 0x30), 0x5A);

    EXPECT_EQ(bus.trace, seq({ regWrite(0x4E, 0x07, 0x08), { portWrite(0x2E, 0x30), portRead(0x2F, 0x5A) } }));
}

TEST(SuperIoPort, ChipIdIsHighByteFromRegister20ThenLowByteFrom21)
{
    const struct {
        uint8_t high, low;
        uint16_t id;
        const char* code;
    } rows[] = {
        { 0x07, 0x04, 0x0704, "0x0704" },
        { 0xB4, 0x50, 0xB450, "0xb450" },
        { 0xFF, 0xFF, 0xFFFF, "0xffff" },
        { 0x00, 0x00, 0x0000, "0x0000" },
        { 0x00, 0x0A, 0x000A, "0x000a" },
        { 0xC5, 0x63, 0xC563, "0xc563" },
    };
    for (const auto& row : rows) {
        ScriptedBus bus;
        ScopedPortIo installed(bus);
        bus.answers = { row.high, row.low };
        const uint16_t id = sio_read_chip_id(0x2E);
        EXPECT_EQ(id, row.id) << row.code;
        EXPECT_EQ(bus.trace, idRead(0x2E, row.id)) << row.code;
        EXPECT_EQ(sio_model_code(id), row.code);
    }
}

TEST(SuperIoPort, EmptyCommandListTouchesNoPortAndLogsNothing)
{
    ScriptedBus bus;
    ScopedPortIo installed(bus);
    LogCapture log;
    sio_run_commands(0x2E, {});
    EXPECT_TRUE(bus.trace.empty());
    EXPECT_TRUE(log.lines().isEmpty());
}

TEST(SuperIoPort, CommandListIsWrittenInOrderAndLoggedOnlyAfterTheLastWrite)
{
    ScriptedBus bus;
    ScopedPortIo installed(bus);
    LogCapture log;
    bus.log = &log;
    // A device selection in the middle and a repeated register: written as
    // they stand, neither reordered nor merged.
    const RegList cmds { { 0xF6, 0x1E }, { 0x07, 0x08 }, { 0x00, 0x00 }, { 0xF6, 0xFF } };

    sio_run_commands(0x4E, cmds);

    EXPECT_EQ(bus.trace, regWrites(0x4E, cmds));
    EXPECT_EQ(bus.logLinesAtWrite, std::vector<int>(8, 0));
    EXPECT_EQ(log.lines(),
        (QStringList { commandLine("reg: f6  val: 1e"), commandLine("reg: 7  val: 8"), commandLine("reg: 0  val: 0"),
            commandLine("reg: f6  val: ff") }));
}

} // namespace
