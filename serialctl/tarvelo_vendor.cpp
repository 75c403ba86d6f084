#include "serialctl/tarvelo_vendor.h"

#include "serialctl/dcon_link.h"
#include "strategy/ini_values.h"

#include <QDebug>
#include <QRegularExpression>
#include <QSerialPort>

#include <utility>

const std::map<std::string, std::string> tarvelo_ids = {
    { "VLK2.3", "Valkerinde2.3" },
    { "PQM", "RD_PQM" },
    { "Z5", "Z555" },
};

namespace {

// Every watchdog exchange waits this long for the write and again for the
// first reply byte, so a silent board costs about 400 ms per command.
constexpr int kExchangeTimeoutMs = 200;
constexpr int kSendWriteTimeoutMs = 100;

// A place marker is "%" and a number from 1 to 99, of at most two digits as
// QString::arg() reads them ("%123" is marker 12 and a 3). QString::arg()
// itself would also fill "%0" and its locale form "%L1", which are parts of
// a board's command like any other text, so the markers are found here.
// Returns the marker's number at @p i and its length, or 0.
int markerAt(const QString& text, int i, int* length)
{
    const auto digit = [&text](int at) {
        return at < text.size() && text[at] >= QLatin1Char('0') && text[at] <= QLatin1Char('9')
            ? text[at].unicode() - '0'
            : -1;
    };
    if (text[i] != QLatin1Char('%') || digit(i + 1) <= 0)
        return 0;
    const int second = digit(i + 2);
    *length = second < 0 ? 2 : 3;
    return second < 0 ? digit(i + 1) : digit(i + 1) * 10 + second;
}

int lowestMarker(const QString& text)
{
    int lowest = 0;
    for (int i = 0; i < text.size(); ++i) {
        int length = 0;
        const int number = markerAt(text, i, &length);
        if (number != 0 && (lowest == 0 || number < lowest))
            lowest = number;
    }
    return lowest;
}

// Every occurrence of the lowest-numbered marker gets @p value as at least
// two hexadecimal digits; a text without a marker stays as it is.
QString fillLowestMarker(const QString& text, int value)
{
    const int lowest = lowestMarker(text);
    if (lowest == 0)
        return text;
    const QString filled = QStringLiteral("%1").arg(value, 2, 16, QLatin1Char('0'));
    QString result;
    for (int i = 0; i < text.size();) {
        int length = 0;
        if (markerAt(text, i, &length) == lowest) {
            result += filled;
            i += length;
        } else {
            result += text[i++];
        }
    }
    return result;
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

TarveloVendor::TarveloVendor(DconLinkSettings link)
    : link(std::move(link))
{
}

TarveloVendor::TarveloVendor(QString portName, int baudRate, int address)
    : TarveloVendor(DconLinkSettings { std::move(portName), baudRate, address })
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
    setUpDconPort(port, link);
    if (!port.open(QIODevice::ReadWrite)) {
        qCritical() << "Cant open port: " << link.portName << "!";
        return QString();
    }
    // The board's answers to the watchdog commands are not read, so a late
    // one needs no waiting out here; the monitor, which reads its answers,
    // waits out what a silent feed may still bring.
    const DconExchange exchange = exchangeDconLine(port, command, DconTiming { timeoutMs, timeoutMs, false });
    port.close();

    if (exchange.cutOff)
        qWarning() << "DCON reply on" << link.portName << "cut off after" << exchange.replyBytes
                   << "bytes: the board did not fall silent";
    return exchange.reply;
}

void TarveloVendor::sendDcon(QString command)
{
    if (command.isEmpty())
        return;

    QSerialPort port;
    setUpDconPort(port, link);
    if (!port.open(QIODevice::ReadWrite))
        return;
    port.write(dconRequestLine(command));
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
    const QString reply = exchangeDcon(QStringLiteral("&%1M").arg(dconAddressText(link.address)), kExchangeTimeoutMs);

    QString code;
    if (!identificationCode(reply, link.address, &code)) {
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
        exchangeDcon(expandDconTemplate(text, link.address), kExchangeTimeoutMs);
}

void TarveloVendor::wdt_start(uint16_t, uint8_t timeoutSec)
{
    // Start and set are independent commands: either may be configured
    // alone, and a board that ignored the first still gets the second.
    if (!dconStartCmd.isEmpty()) {
        const QString request = expandDconTemplate(dconStartCmd, link.address);
        exchangeDcon(request, kExchangeTimeoutMs);
        qDebug() << "TarveloVendor::start: " << request;
    }
    if (!dconSetCmd.isEmpty())
        exchangeDcon(expandDconSetTemplate(dconSetCmd, link.address, timeoutSec), kExchangeTimeoutMs);
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
