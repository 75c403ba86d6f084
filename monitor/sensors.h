#pragma once

#include "monitor/environment_monitor.h"
#include "serialctl/dcon_link.h"

#include <QMap>
#include <QSerialPort>
#include <QSettings>
#include <QString>

// One channel of the board: what to send, how to show the answer, and the
// last answer it gave.
struct Terminal {
    // -1: not configured (key missing or empty); 0: configured.
    int status = -1;
    // Sent to the board after every "%1" became the board's address.
    QString command;
    // Shows a reading in the log; every "%1" becomes the value. Empty: the
    // value alone.
    QString format;
    // The last value read, normalised; empty until the first good reading.
    QString value;
    // The same as a number; 0 for texts such as S or R.
    float number = 0;
    // The key without "Cmds" ("Term0"), and the readings that failed.
    QString name;
    int failures = 0;
};

// The environment monitor of the serial controller board. The channels come
// from the model's section of the configuration file: up to six named static
// channels read once after start-up, and up to sixteen Term and sixteen Cool
// channels read on every monitoring request. Each reading is one command and
// one reply on the board's serial line, through a port of the monitor's own
// that is open only while a command runs.
class Sensors : public EnvironmentMonitor {
public:
    Sensors(QString model, const QString& configPath);
    Sensors(const Sensors&) = delete;
    Sensors& operator=(const Sensors&) = delete;

    int channelCount(Table table) const override;
    void readChannel(Table table, int index) override;
    int readingWorstCaseMs() const override;
    std::vector<ChannelState> channelStates() const override;

    // Fills the channel's command with the address, exchanges it, and stores
    // and logs the value. False, with the channel unchanged, when the board
    // gave no reply or one without a value.
    bool readTerminal(Terminal& terminal);
    // One command line out, one reply line back (trimmed). @p response is
    // written only when the call returns true.
    bool sendCommand(const QString& command, QString& response);

    QString replaceAddress(const QString& commandTemplate) const;
    QString replaceValue(const QString& text, int value) const;
    QString formatValue(const QString& value, const QString& format) const;
    // The value of a reply, normalised; empty when the reply has none.
    QString parseResponse(const QString& response, const QString& commandTemplate) const;

    // The channel defined by @p key ("Section/Key"); status -1 when the key
    // is missing or empty.
    Terminal loadConfigComand(const QString& key) const;

    const QMap<int, Terminal>& staticTable() const { return staticTerminals; }
    const QMap<int, Terminal>& dynamicTable() const { return dynamicTerminals; }
    int busAddress() const { return link.address; }
    int lineSpeed() const { return link.baudRate; }
    QString serialPortName() const { return link.portName; }

private:
    void loadModelStaticCommands();
    void loadModelDynamicCommands();
    QMap<int, Terminal>& terminals(Table table);

    QMap<int, Terminal> dynamicTerminals;
    QMap<int, Terminal> staticTerminals;
    QString model;
    QString configPath;
    QSettings settings;
    DconLinkSettings link;
    QSerialPort port;
};
