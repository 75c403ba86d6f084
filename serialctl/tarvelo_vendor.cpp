#include "serialctl/tarvelo_vendor.h"

#include "core/config.h"
#include "serialctl/dcon_reply.h"

#include <QDebug>
#include <QRegularExpression>
#include <QSerialPort>

#include <utility>

const std::map<std::string, std::string> tarvelo_ids = {
    {"VLK2.3", "Valkerinde2.3"},
    {"PQM", "RD_PQM"},
    {"Z5", "Z555"},
};

namespace {

// Every watchdog exchange waits this long for the write and again for the
// first reply byte, so a silent board costs about 400 ms per command.
constexpr int kExchangeTimeoutMs = 200;
constexpr int kSendWriteTimeoutMs = 100;

// QString::arg() counts "%" followed by an optional "L" and a digit as a
// place marker. Without one it would log a warning on every single feed of
// a template that simply takes no address.
bool hasPlaceMarker(const QString& text)
{
    static const QRegularExpression marker(QStringLiteral("%L?\\d"));
    return text.contains(marker);
}

QString fillLowestMarker(const QString& text, int value)
{
    return hasPlaceMarker(text) ? text.arg(value, 2, 16, QLatin1Char('0')) : text;
}

QByteArray requestLine(const QString& command)
{
    // One carriage return ends the request; the board wants no line feed.
    return (command + QLatin1Char('\r')).toUtf8();
}

} // namespace

QString dconAddressText(int address)
{
    return QStringLiteral("%1").arg(address, 2, 16, QLatin1Char('0')).toUpper();
}

QString expandDconTemplate(const QString& text, int address)
{
    return fillLowestMarker(text, address).toUpper();
}

QString expandDconSetTemplate(const QString& text, int address, uint8_t timeoutSec)
{
    return fillLowestMarker(fillLowestMarker(text, address), timeoutSec).toUpper();
}

TarveloVendor::TarveloVendor(QString portName, int baudRate, int address)
    : portName(std::move(portName))
    , baudRate(baudRate)
    , address(address)
{
}

TarveloVendor::~TarveloVendor() = default;

void TarveloVendor::setDconCommands(QString start, QString stop, QString feed)
{
    qDebug() << "TarveloVendor::setDconCommands(). start: " << start;
    dconStartCmd = std::move(start);
    dconStopCmd = std::move(stop);
    dconFeedCmd = std::move(feed);
}

QString TarveloVendor::exchangeDcon(QString command, int timeoutMs)
{
    if (command.isEmpty())
        return QString();

    QSerialPort port;
    port.setPortName(portName);
    port.setBaudRate(baudRate, QSerialPort::AllDirections);
    if (!port.open(QIODevice::ReadWrite)) {
        qCritical() << "Cant open port: " << portName << "!";
        return QString();
    }
    // A late answer to an earlier request, or noise picked up while nobody
    // listened, must not pass for the reply to this one.
    port.clear(QSerialPort::Input);

    port.write(requestLine(command));
    if (!port.waitForBytesWritten(timeoutMs))
        return QString();
    if (!port.waitForReadyRead(timeoutMs))
        return QString();

    bool cutOff = false;
    const QByteArray reply = readUntilQuiet(port, QuietReplyLimits(), &cutOff);
    port.close();

    if (cutOff)
        qWarning() << "DCON reply on" << portName << "cut off after" << reply.size()
                   << "bytes: the board did not fall silent";
    return replyText(reply);
}

void TarveloVendor::sendDcon(QString command)
{
    if (command.isEmpty())
        return;

    QSerialPort port;
    port.setPortName(portName);
    port.setBaudRate(baudRate, QSerialPort::AllDirections);
    if (!port.open(QIODevice::ReadWrite))
        return;
    port.write(requestLine(command));
    port.waitForBytesWritten(kSendWriteTimeoutMs);
    port.close();
}

bool identificationCode(const QString& reply, int address, QString* code)
{
    // The reply must come from our address, written exactly as we wrote it;
    // a board elsewhere on the line or an error reply does not count.
    const QString prefix = QLatin1Char('!') + dconAddressText(address);
    if (!reply.startsWith(prefix, Qt::CaseSensitive))
        return false;
    *code = reply.mid(prefix.size());
    return true;
}

QString TarveloVendor::identifyAndReadModel()
{
    const QString reply = exchangeDcon(QStringLiteral("&%1M").arg(dconAddressText(address)), kExchangeTimeoutMs);

    QString code;
    if (!identificationCode(reply, address, &code)) {
        qCritical() << "Unknown device";
        return QString();
    }

    // A code outside the table still identifies a board; it only keeps the
    // names it had.
    const auto row = tarvelo_ids.find(code.toStdString());
    if (row != tarvelo_ids.end()) {
        modelName = row->second;
        modelCode = row->first;
    }
    return code;
}

bool TarveloVendor::probe(uint16_t)
{
    identity = identifyAndReadModel();
    return !identity.isEmpty() && identity != QLatin1String("Unknown");
}

void TarveloVendor::sendTemplate(const QString& text)
{
    // The board's answer carries nothing the daemon acts on.
    if (!text.isEmpty())
        exchangeDcon(expandDconTemplate(text, address), kExchangeTimeoutMs);
}

void TarveloVendor::wdt_start(uint16_t, uint8_t timeoutSec)
{
    // Start and set are independent commands: either may be configured
    // alone, and a board that ignored the first still gets the second.
    if (!dconStartCmd.isEmpty()) {
        const QString request = expandDconTemplate(dconStartCmd, address);
        exchangeDcon(request, kExchangeTimeoutMs);
        qDebug() << "TarveloVendor::start: " << request;
    }
    if (!dconSetCmd.isEmpty())
        exchangeDcon(expandDconSetTemplate(dconSetCmd, address, timeoutSec), kExchangeTimeoutMs);
}

void TarveloVendor::wdt_stop(uint16_t)
{
    sendTemplate(dconStopCmd);
}

void TarveloVendor::wdt_feed(uint16_t, uint8_t)
{
    // The feed command carries no timeout: the board keeps the one set at
    // start.
    sendTemplate(dconFeedCmd);
}

std::shared_ptr<IVendorStrategy> createTarveloVendor(const QSettings& settings)
{
    const int address = static_cast<int>(
        readHex(configValue(settings, QStringLiteral("Vendor_Tarvelo/Address"), QStringLiteral("1")).toString()));
    const int baudRate =
        configValue(settings, QStringLiteral("Vendor_Tarvelo/Baud"), QStringLiteral("9600")).toString().toInt();
    const QString port =
        configText(settings, QStringLiteral("Vendor_Tarvelo/Port"), QStringLiteral("/dev/ttyS0"));

    auto board = std::make_shared<TarveloVendor>(port, baudRate, address);
    board->setDconCommands(configText(settings, QStringLiteral("Vendor_Tarvelo/StartCmd")),
                           configText(settings, QStringLiteral("Vendor_Tarvelo/StopCmd")),
                           configText(settings, QStringLiteral("Vendor_Tarvelo/FeedCmd")));
    return board;
}
