#include "core/candidates.h"
#include "serialctl/tarvelo_vendor.h"
#include "sim/board_simulator.h"
#include "strategy/superio_manager.h"
#include "support/log_capture.h"
#include "support/qt_printers.h"
#include "support/test_application.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Reply = BoardSimulator::Reply;
using std::chrono::milliseconds;
using namespace std::string_literals;

const milliseconds kBound { 10000 };

// A board on a pseudo-terminal and a strategy talking to it.
class TarveloBoard : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(board.ok()); }

    QString port() const { return QString::fromStdString(board.portName()); }
    TarveloVendor vendorAt(int address) const { return TarveloVendor(port(), 9600, address); }

    TestApplication app;
    BoardSimulator board;
    LogCapture log;
    TarveloVendor vendor { port(), 9600, 1 };
};

QString cantOpen(const QString& port)
{
    return QStringLiteral("[CRIT ] Cant open port:  \"%1\" !").arg(port);
}

// ---- Template expansion ------------------------------------------------------

TEST(TarveloTemplates, AddressGoesIntoTheLowestMarkerAndEverythingIsUpperCase)
{
    const struct {
        const char* text;
        int address;
        const char* request;
    } rows[] = {
        { "~%1HIT", 1, "~01HIT" },
        { "~%1hit", 10, "~0AHIT" },
        { "$%1wd", 255, "$FFWD" },
        { "#%1", 256, "#100" },
        { "%1:%1", 1, "01:01" },
        { "~%2x%1", 1, "~%2X01" },
        { "hit", 1, "HIT" },
        { "", 1, "" },
        // Only %1 to %99 are markers, of at most two digits; the rest is
        // text of the command.
        { "~%0x%1", 1, "~%0X01" },
        { "~%L1f", 1, "~%L1F" },
        { "~%L1f%2", 1, "~%L1F01" },
        { "~%05x", 1, "~%05X" },
        { "%99/%12/%99", 10, "%99/0A/%99" },
        { "~%123", 1, "~013" },
        { "%%1", 1, "%01" },
        { "50%", 1, "50%" },
    };
    for (const auto& row : rows)
        EXPECT_EQ(expandDconTemplate(QString::fromUtf8(row.text), row.address), QString::fromUtf8(row.request))
            << row.text << " @" << row.address;
}

TEST(TarveloTemplates, SetTemplateTakesTheAddressThenTheTimeout)
{
    const struct {
        const char* text;
        int address;
        uint8_t timeoutSec;
        const char* request;
    } rows[] = {
        { "~%1wt%2", 1, 60, "~01WT3C" },
        { "~%1wt%2", 1, 255, "~01WTFF" },
        { "~%1wt%2", 10, 0, "~0AWT00" },
        { "~%2wt%1", 1, 7, "~07WT01" },
        { "~%1wt", 1, 60, "~01WT" },
        { "set", 1, 60, "SET" },
        { "~%0wt%1%2", 1, 60, "~%0WT013C" },
        { "~%L2%1wt%3", 1, 60, "~%L201WT3C" },
    };
    for (const auto& row : rows)
        EXPECT_EQ(expandDconSetTemplate(QString::fromUtf8(row.text), row.address, row.timeoutSec),
            QString::fromUtf8(row.request))
            << row.text;
}

TEST(TarveloTemplates, TemplateWithoutMarkerLogsNothing)
{
    LogCapture log;
    EXPECT_EQ(expandDconTemplate(QStringLiteral("hit"), 1), QStringLiteral("HIT"));
    EXPECT_EQ(expandDconSetTemplate(QStringLiteral("~%1set"), 1, 60), QStringLiteral("~01SET"));
    EXPECT_EQ(log.lines(), QStringList());
}

// ---- The link ----------------------------------------------------------------

TEST_F(TarveloBoard, RequestIsTheCommandAsUtf8AndOneCarriageReturn)
{
    board.fallback(Reply::line("!01"));
    EXPECT_EQ(vendor.exchangeDcon(QStringLiteral("$01m Ж"), 200), QStringLiteral("!01"));
    EXPECT_EQ(board.received(), "$01m \xD0\x96\r");
    vendor.sendDcon(QStringLiteral("~01F"));
    ASSERT_TRUE(board.waitForRequests(2, kBound));
    EXPECT_EQ(board.received(), "$01m \xD0\x96\r~01F\r");
    EXPECT_EQ(log.lines(), QStringList());
}

TEST_F(TarveloBoard, ReplyIsTrimmedCutAtNulAndAssembledFromPieces)
{
    const struct {
        Reply reply;
        const char* text;
    } rows[] = {
        { Reply::line("!01VLK2.3"), "!01VLK2.3" },
        { Reply::bytes(" \t!01 A B\r\n"), "!01 A B" },
        { Reply::bytes("!01AB\0CD\r"s), "!01AB" },
        { Reply::bytes("\0!01AB\r"s), "" },
        { Reply::bytes("\r\n \t"), "" },
        { Reply::bytes("\xD0\xBE\xD0\xBA\r"), "ок" },
        { Reply::split({ "!0", "1V", "LK2", ".3\r\n" }, milliseconds(3)), "!01VLK2.3" },
        { Reply::line("!01Z5").after(milliseconds(60)), "!01Z5" },
        { Reply::bytes(BoardSimulator::garbage(12)), nullptr },
    };
    for (const auto& row : rows) {
        board.fallback(row.reply);
        const QString expected = row.text ? QString::fromUtf8(row.text)
                                          : QString::fromUtf8(BoardSimulator::garbage(12).c_str(), 12).trimmed();
        EXPECT_EQ(vendor.exchangeDcon(QStringLiteral("Q"), 200), expected) << (row.text ? row.text : "garbage");
        ASSERT_TRUE(board.waitUntilIdle(kBound));
    }
    EXPECT_EQ(log.lines(), QStringList());
}

TEST_F(TarveloBoard, ReplyEndsAtTheFirstQuietGapAndLaterBytesNeverReachTheNextExchange)
{
    board.reply("first", Reply::split({ "!01A\r", "STALE\r" }, milliseconds(150)));
    board.reply("late", Reply::line("LATE").after(milliseconds(350)));
    board.reply("next", Reply::line("FRESH"));

    EXPECT_EQ(vendor.exchangeDcon(QStringLiteral("first"), 200), QStringLiteral("!01A"));
    ASSERT_TRUE(board.waitUntilIdle(kBound));
    EXPECT_EQ(vendor.exchangeDcon(QStringLiteral("next"), 200), QStringLiteral("FRESH"));

    EXPECT_EQ(vendor.exchangeDcon(QStringLiteral("late"), 200), QString());
    ASSERT_TRUE(board.waitUntilIdle(kBound));
    EXPECT_EQ(vendor.exchangeDcon(QStringLiteral("next"), 200), QStringLiteral("FRESH"));
    EXPECT_EQ(log.lines(), QStringList());
}

TEST_F(TarveloBoard, SilentBoardGivesAnEmptyReplyWithoutAMessage)
{
    EXPECT_EQ(vendor.exchangeDcon(QStringLiteral("~01F"), 200), QString());
    EXPECT_EQ(board.requestTexts(), std::vector<std::string> { "~01F" });
    EXPECT_EQ(log.lines(), QStringList());
}

TEST_F(TarveloBoard, FloodIsCutAtTheByteBound)
{
    board.fallback(Reply::bytes(std::string(10000, 'A')));
    const QString reply = vendor.exchangeDcon(QStringLiteral("Q"), 200);
    board.cancelOutput();
    EXPECT_EQ(reply, QString(4096, QLatin1Char('A')));
    EXPECT_EQ(log.lines(),
        QStringList { QStringLiteral("[WARN ] DCON reply on \"%1\" cut off after 4096 bytes: the board did not "
                                     "fall silent")
                          .arg(port()) });
}

TEST_F(TarveloBoard, EndlessTrickleIsCutAtTheTimeBound)
{
    // Without a bound on the collection time this exchange never returns.
    board.fallback(Reply::stream("x", milliseconds(2)));
    const QString reply = vendor.exchangeDcon(QStringLiteral("Q"), 200);
    board.cancelOutput();
    EXPECT_FALSE(reply.isEmpty());
    EXPECT_LT(reply.size(), 4096);
    EXPECT_EQ(reply, QString(reply.size(), QLatin1Char('x')));
    ASSERT_EQ(log.lines().size(), 1);
    EXPECT_TRUE(log.lines()[0].startsWith(QStringLiteral("[WARN ] DCON reply on"))) << log.lines()[0].toStdString();
}

TEST_F(TarveloBoard, MissingDeviceIsReportedOncePerExchangeEveryTime)
{
    board.closeLine();
    EXPECT_EQ(vendor.exchangeDcon(QStringLiteral("~01F"), 200), QString());
    EXPECT_EQ(vendor.exchangeDcon(QStringLiteral("~01F"), 200), QString());
    vendor.sendDcon(QStringLiteral("~01F"));
    EXPECT_EQ(log.lines(), (QStringList { cantOpen(port()), cantOpen(port()) }));

    board.reopenLine();
    board.fallback(Reply::line("!01"));
    EXPECT_EQ(vendor.exchangeDcon(QStringLiteral("~01F"), 200), QStringLiteral("!01"));
    EXPECT_EQ(log.lines().size(), 2);
}

TEST_F(TarveloBoard, EmptyCommandTouchesNoDevice)
{
    board.closeLine();
    EXPECT_EQ(vendor.exchangeDcon(QString(), 200), QString());
    vendor.sendDcon(QString());
    EXPECT_EQ(log.lines(), QStringList());
}

// ---- Identification ----------------------------------------------------------

TEST_F(TarveloBoard, IdentificationTakesTheCodeAfterTheExactPrefix)
{
    const struct {
        int address;
        Reply reply;
        const char* code;
        const char* modelName;
        const char* modelCode;
        bool unknownDevice;
    } rows[] = {
        { 1, Reply::line("!01VLK2.3"), "VLK2.3", "Valkerinde2.3", "VLK2.3", false },
        { 1, Reply::line("!01PQM"), "PQM", "RD_PQM", "PQM", false },
        { 1, Reply::line("!01Z5"), "Z5", "Z555", "Z5", false },
        { 1, Reply::bytes(" !01Z5 \r\n"), "Z5", "Z555", "Z5", false },
        { 1, Reply::line("!01 Z5"), " Z5", "Generic_Tarvelo", "***", false },
        { 1, Reply::line("!01vlk2.3"), "vlk2.3", "Generic_Tarvelo", "***", false },
        { 1, Reply::line("!01RX-7 plus"), "RX-7 plus", "Generic_Tarvelo", "***", false },
        { 1, Reply::line("!01"), "", "Generic_Tarvelo", "***", false },
        { 1, Reply::line("!02Z5"), "", "Generic_Tarvelo", "***", true },
        { 1, Reply::line("?01"), "", "Generic_Tarvelo", "***", true },
        { 1, Reply::line("!0"), "", "Generic_Tarvelo", "***", true },
        { 10, Reply::line("!0aZ5"), "", "Generic_Tarvelo", "***", true },
        { 10, Reply::line("!0AZ5"), "Z5", "Z555", "Z5", false },
        { 256, Reply::line("!100PQM"), "PQM", "RD_PQM", "PQM", false },
    };
    for (const auto& row : rows) {
        board.clearRecord();
        board.fallback(row.reply);
        TarveloVendor identified = vendorAt(row.address);
        const int linesBefore = log.lines().size();

        EXPECT_EQ(identified.identifyAndReadModel(), QString::fromUtf8(row.code)) << row.code;
        EXPECT_EQ(identified.model(), row.modelName) << row.code;
        EXPECT_EQ(identified.model_code(), row.modelCode) << row.code;
        EXPECT_EQ(
            board.requestTexts(), std::vector<std::string> { "&" + dconAddressText(row.address).toStdString() + "M" });
        EXPECT_EQ(log.lines().mid(linesBefore),
            row.unknownDevice ? QStringList { QStringLiteral("[CRIT ] Unknown device") } : QStringList())
            << row.code;
        ASSERT_TRUE(board.waitUntilIdle(kBound));
    }
    EXPECT_EQ(board.received(), "&100M\r");
}

TEST_F(TarveloBoard, ProbeFindsAnyCodeButUnknown)
{
    const struct {
        const char* reply;
        bool found;
    } rows[] = { { "!01Z5", true }, { "!01RX-7", true }, { "!01Unknown", false }, { "!01unknown", true },
        { "!01", false }, { "!02Z5", false } };
    for (const auto& row : rows) {
        board.fallback(Reply::line(row.reply));
        EXPECT_EQ(vendor.probe(0x2E), row.found) << row.reply;
        ASSERT_TRUE(board.waitUntilIdle(kBound));
    }
}

TEST_F(TarveloBoard, SilentSecondIdentificationKeepsTheNamesOfTheFirst)
{
    board.replies("&01M", { Reply::line("!01PQM"), Reply::silence() });
    EXPECT_TRUE(vendor.probe(0x4E));
    EXPECT_FALSE(vendor.probe(0x4E));
    EXPECT_EQ(vendor.model(), "RD_PQM");
    EXPECT_EQ(vendor.model_code(), "PQM");
    EXPECT_EQ(log.lines(), QStringList { QStringLiteral("[CRIT ] Unknown device") });
}

TEST_F(TarveloBoard, IdentificationWithoutDeviceLogsBothFailures)
{
    board.closeLine();
    EXPECT_FALSE(vendor.probe(0x2E));
    EXPECT_EQ(log.lines(), (QStringList { cantOpen(port()), QStringLiteral("[CRIT ] Unknown device") }));
}

// ---- The watchdog strategy ---------------------------------------------------

TEST_F(TarveloBoard, StartSendsStartThenSetEachOnItsOwn)
{
    const struct {
        const char* start;
        const char* set;
        std::vector<std::string> requests;
        QStringList lines;
    } rows[] = {
        { "~%1ws", "~%1wt%2", { "~01WS", "~01WT3C" }, { QStringLiteral("[DEBUG] TarveloVendor::start:  \"~01WS\"") } },
        { "~%1ws", "", { "~01WS" }, { QStringLiteral("[DEBUG] TarveloVendor::start:  \"~01WS\"") } },
        { "", "~%1wt%2", { "~01WT3C" }, {} },
        { "", "", {}, {} },
    };
    // A silent board: neither command depends on an answer to the other.
    for (const auto& row : rows) {
        board.clearRecord();
        const int linesBefore = log.lines().size();
        IVendorStrategy& strategy = vendor;
        strategy.setDconCommands(QString::fromUtf8(row.start), QString(), QString(), QString::fromUtf8(row.set));
        vendor.wdt_start(0x2E, 60);
        ASSERT_TRUE(board.waitForRequests(row.requests.size(), kBound));
        EXPECT_EQ(board.requestTexts(), row.requests) << row.start << row.set;
        EXPECT_EQ(log.lines().mid(linesBefore), row.lines) << row.start << row.set;
    }
}

TEST_F(TarveloBoard, FeedAndStopSendTheirTemplatesWhateverTheTimeout)
{
    board.fallback(Reply::line("!01"));
    vendor.setDconCommands(QStringLiteral("~%1ws"), QStringLiteral("~%1wp"), QStringLiteral("~%1wf"));
    for (const uint8_t timeoutSec : { 7, 1, 255, 0 })
        vendor.wdt_feed(0x2E, timeoutSec);
    vendor.wdt_stop(0x2E);
    EXPECT_EQ(board.received(), "~01WF\r~01WF\r~01WF\r~01WF\r~01WP\r");
}

TEST_F(TarveloBoard, OwnSetterLeavesTheSetTemplateAndLogsTheStart)
{
    board.fallback(Reply::line("!01"));
    IVendorStrategy& strategy = vendor;
    strategy.setDconCommands(
        QStringLiteral("old"), QStringLiteral("old"), QStringLiteral("old"), QStringLiteral("~%1wt%2"));
    EXPECT_EQ(log.lines(), QStringList());

    vendor.setDconCommands(QStringLiteral("~%1ws"), QStringLiteral("~%1wp"), QStringLiteral("~%1wf"));
    EXPECT_EQ(
        log.lines(), QStringList { QStringLiteral("[DEBUG] TarveloVendor::setDconCommands(). start:  \"~%1ws\"") });
    vendor.wdt_start(0, 255);
    vendor.wdt_feed(0, 255);
    vendor.wdt_stop(0);
    EXPECT_EQ(board.requestTexts(), (std::vector<std::string> { "~01WS", "~01WTFF", "~01WF", "~01WP" }));
}

TEST_F(TarveloBoard, HandOverThroughTheManagerReplacesAllTemplatesEmptyOnesIncluded)
{
    auto shared = std::make_shared<TarveloVendor>(port(), 9600, 1);
    shared->setDconCommands(QStringLiteral("~%1ws"), QStringLiteral("~%1wp"), QStringLiteral("~%1wf"));
    SuperIOManager manager;
    manager.current = shared;
    const int linesBefore = log.lines().size();
    manager.setDconCommands(QString(), QString(), QString(), QString());
    EXPECT_EQ(log.lines().size(), linesBefore);

    // Nothing left to send: not even the device is opened.
    board.closeLine();
    shared->wdt_start(0, 7);
    shared->wdt_feed(0, 7);
    shared->wdt_stop(0);
    EXPECT_EQ(log.lines().size(), linesBefore);
}

TEST_F(TarveloBoard, CreatedFromTheBoardSection)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("wdt.ini"));
    {
        QSettings ini(path, QSettings::IniFormat);
        ini.setValue(QStringLiteral("Vendor_Tarvelo/Address"), QStringLiteral("10"));
        ini.setValue(QStringLiteral("Vendor_Tarvelo/Baud"), QStringLiteral("115200"));
        ini.setValue(QStringLiteral("Vendor_Tarvelo/Port"), port());
        ini.setValue(QStringLiteral("Vendor_Tarvelo/StartCmd"), QStringLiteral("~%1ws"));
        ini.setValue(QStringLiteral("Vendor_Tarvelo/FeedCmd"), QStringLiteral("~%1wf"));
    }
    const QSettings settings(path, QSettings::IniFormat);
    board.fallback(Reply::line("!10Z5"));

    const auto created = createTarveloVendor(settings);
    ASSERT_NE(created, nullptr);
    EXPECT_EQ(created->name(), "Tarvelo");
    EXPECT_EQ(created->model(), "Generic_Tarvelo");
    EXPECT_EQ(created->model_code(), "***");
    EXPECT_EQ(
        log.lines(), QStringList { QStringLiteral("[DEBUG] TarveloVendor::setDconCommands(). start:  \"~%1ws\"") });

    EXPECT_TRUE(created->probe(0x2E));
    created->wdt_start(0x2E, 7);
    created->wdt_feed(0x2E, 7);
    created->wdt_stop(0x2E);
    EXPECT_EQ(board.requestTexts(), (std::vector<std::string> { "&10M", "~10WS", "~10WF" }));
    EXPECT_EQ(created->model(), "Z555");
}

} // namespace
