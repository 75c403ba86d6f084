#include "monitor/sensors.h"

#include "serialctl/dcon_link.h"
#include "strategy/ini_values.h"

#include <QDebug>
#include <QRegularExpression>

#include <climits>
#include <cmath>
#include <utility>

namespace {

const QString kPlaceholder = QStringLiteral("%1");

// The board's commands are short; writing one takes a few ms at 9600 baud.
// A board that has not begun to answer 200 ms later is taken as absent. The
// monitor reads what the board answers, so a late answer to an unanswered
// request is waited out before the next one.
constexpr DconTiming kChannelTiming { 100, 200, true };
// Opening and closing the port, beyond the waits of the exchange.
constexpr int kPortOpenCloseMs = 20;

// A reply is "!", the two hex digits of the answering module's address and a
// value token; anything around it is ignored. The alternatives are tried in
// order, so a token that starts with a digit is read by the hex alternative
// and stops before a decimal point: only signed tokens are decimal numbers.
const QRegularExpression& responseGrammar()
{
    static const QRegularExpression grammar(
        QStringLiteral(R"(!([0-9A-F]{2})(0x[0-9A-F]+|[0-9A-F]+h?|[+\-]?\d+\.?\d*|[+\-]?\d+|S|R))"));
    return grammar;
}

bool isHexDigits(const QString& text)
{
    static const QRegularExpression hexDigits(QStringLiteral("^[0-9A-F]+$"));
    return hexDigits.match(text).hasMatch();
}

// The token as a number; false when it is none, or an integer beyond 32 bits.
bool convertToken(const QString& token, double* number)
{
    bool ok = false;
    if (token.startsWith(QLatin1String("0x")))
        *number = token.toInt(&ok, 16);
    else if (token.endsWith(QLatin1Char('h')))
        *number = token.chopped(1).toInt(&ok, 16);
    else if (isHexDigits(token))
        *number = token.toInt(&ok, 16);
    else
        *number = token.toDouble(&ok);
    return ok;
}

QString normalised(double number)
{
    // Checked before the cast: a double outside the int range has no int
    // truncation to compare with.
    if (number >= INT_MIN && number <= INT_MAX && number == std::trunc(number))
        return QString::number(static_cast<int>(number));
    static const QRegularExpression trailingZeros(QStringLiteral(R"(\.?0+$)"));
    return QString::number(number, 'f', 6).remove(trailingZeros);
}

QString withPlaceholder(QString text, const QString& replacement)
{
    return text.replace(kPlaceholder, replacement);
}

// "format:<format>" for the configuration lines, or nothing without one.
QString formatItem(const Terminal& terminal)
{
    return terminal.format.isEmpty() ? QString() : QStringLiteral("format:") + terminal.format;
}

} // namespace

Sensors::Sensors(QString model, const QString& configPath)
    : model(std::move(model))
    , configPath(configPath)
    , settings(configPath, QSettings::IniFormat)
{
    settings.setIniCodec("UTF-8");
    loadModelDynamicCommands();
    loadModelStaticCommands();
    link = readDconLinkSettings(settings);
    setUpDconPort(port, link);
}

Terminal Sensors::loadConfigComand(const QString& key) const
{
    // A value with an unquoted comma comes back whole, with a warning, rather
    // than as an empty text that would drop the channel.
    const QString text = configText(settings, key);
    Terminal terminal;
    if (text.isEmpty())
        return terminal;

    terminal.status = 0;
    // The command cannot hold a colon, the format can: split at the first.
    // A colon in front is part of the command, not an empty command.
    const int colon = text.indexOf(QLatin1Char(':'));
    if (colon > 0) {
        terminal.command = text.left(colon);
        terminal.format = text.mid(colon + 1);
    } else {
        terminal.command = text;
    }
    return terminal;
}

void Sensors::loadModelStaticCommands()
{
    static const char* const names[] = { "HitWDT", "Odm", "Green", "Mute", "Errors", "Error" };
    for (const char* name : names) {
        const int key = staticTerminals.size();
        const Terminal terminal
            = loadConfigComand(model + QLatin1Char('/') + QLatin1String(name) + QLatin1String("Cmds"));
        if (terminal.status == -1)
            continue;
        staticTerminals.insert(key, terminal);
        staticTerminals[key].name = QLatin1String(name);
        qDebug() << "Configured " << key << "for device" << model << "command:" << terminal.command
                 << formatItem(terminal);
    }
}

void Sensors::loadModelDynamicCommands()
{
    auto load = [this](const char* kind, int number, int key) {
        const Terminal terminal = loadConfigComand(
            model + QLatin1Char('/') + QLatin1String(kind) + QString::number(number) + QLatin1String("Cmds"));
        if (terminal.status == -1)
            return;
        dynamicTerminals.insert(key, terminal);
        dynamicTerminals[key].name = QLatin1String(kind) + QString::number(number);
        qDebug() << "Configured terminal" << key << "for device" << model << "command:" << terminal.command
                 << formatItem(terminal);
    };

    constexpr int kChannelsPerKind = 16;
    for (int i = 0; i < kChannelsPerKind; ++i)
        load("Term", i, i);
    // The Cool channels follow the highest Term key, not the Term count: with
    // a gap in the Term numbers (Term0 and Term2) the count would put Cool0
    // on Term2's key and lose that channel. Without gaps both are the same.
    const int firstCoolKey = dynamicTerminals.isEmpty() ? 0 : dynamicTerminals.lastKey() + 1;
    for (int i = 0; i < kChannelsPerKind; ++i)
        load("Cool", i, firstCoolKey + i);

    qDebug() << "GenericDevice created:"
             << "type=" << model << "terminals=" << dynamicTerminals.size();
}

QString Sensors::replaceAddress(const QString& commandTemplate) const
{
    // Lower-case digits, and the rest of the command left as configured.
    return withPlaceholder(commandTemplate, QStringLiteral("%1").arg(link.address, 2, 16, QLatin1Char('0')));
}

QString Sensors::replaceValue(const QString& text, int value) const
{
    return withPlaceholder(text, QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0')));
}

QString Sensors::formatValue(const QString& value, const QString& format) const
{
    return format.isEmpty() ? value : withPlaceholder(format, value);
}

QString Sensors::parseResponse(const QString& response, const QString& commandTemplate) const
{
    const QRegularExpressionMatch match = responseGrammar().match(response);
    if (!match.hasMatch()) {
        qDebug() << "Failed to parse response:" << response << "with command template:" << commandTemplate;
        return QString();
    }
    // The module address of the reply is not compared with ours: a board
    // answers for its modules under their own addresses.
    const QString token = match.captured(2);
    double number = 0;
    if (!convertToken(token, &number))
        return token;
    return normalised(number);
}

bool Sensors::sendCommand(const QString& command, QString& response)
{
    // A port that did not open is reported like a write that did not
    // complete, without writing to it (which only makes Qt warn).
    if (!port.open(QIODevice::ReadWrite)) {
        qDebug() << "Failed to write command";
        return false;
    }
    const DconExchange exchange = exchangeDconLine(port, command, kChannelTiming);
    port.close();
    switch (exchange.outcome) {
    case DconExchange::Outcome::NotWritten:
        qDebug() << "Failed to write command";
        return false;
    case DconExchange::Outcome::NoReply:
        qDebug() << "Timeout waiting for response";
        return false;
    case DconExchange::Outcome::Reply:
        break;
    }
    response = exchange.reply;
    if (exchange.cutOff)
        qWarning() << "Sensor reply on" << link.portName << "cut off: the board did not fall silent";
    return true;
}

bool Sensors::readTerminal(Terminal& terminal)
{
    QString response;
    if (!sendCommand(replaceAddress(terminal.command), response))
        return false;
    const QString value = parseResponse(response, terminal.command);
    if (value.isEmpty())
        return false;

    terminal.value = value;
    terminal.number = value.toFloat();
    qInfo() << formatValue(terminal.value, terminal.format);
    return true;
}

QMap<int, Terminal>& Sensors::terminals(Table table)
{
    return table == Table::Static ? staticTerminals : dynamicTerminals;
}

int Sensors::channelCount(Table table) const
{
    return (table == Table::Static ? staticTerminals : dynamicTerminals).size();
}

void Sensors::readChannel(Table table, int index)
{
    // A failed channel is tried again at the next query; the others go on.
    QMap<int, Terminal>& channels = terminals(table);
    if (index < 0 || index >= channels.size())
        return;
    Terminal& terminal = (channels.begin() + index).value();
    if (!readTerminal(terminal))
        ++terminal.failures;
}

std::vector<EnvironmentMonitor::ChannelState> Sensors::channelStates() const
{
    std::vector<ChannelState> states;
    for (const Table table : { Table::Static, Table::Dynamic }) {
        for (const Terminal& terminal : table == Table::Static ? staticTerminals : dynamicTerminals) {
            ChannelState state;
            state.table = table;
            state.name = terminal.name;
            state.read = !terminal.value.isEmpty();
            state.value = terminal.number;
            state.failures = terminal.failures;
            states.push_back(state);
        }
    }
    return states;
}

int Sensors::readingWorstCaseMs() const
{
    return dconExchangeWorstCaseMs(kChannelTiming) + kPortOpenCloseMs;
}
