#pragma once

#include "serialctl/dcon_link.h"
#include "strategy/vendor_strategy.h"

#include <QString>

#include <cstdint>
#include <map>
#include <string>

// Model code the board reports -> model name, which also names the model's
// configuration section.
extern const std::map<std::string, std::string> tarvelo_ids;

/// The DCON address as the board writes it: upper-case hex, at least two
/// digits ("01", "0A", "FF", "100").
QString dconAddressText(int address);

/// A command template turned into a request: the address in place of the
/// lowest-numbered "%n" marker, then everything in upper case.
QString expandDconTemplate(const QString& text, int address);

/// The same for the set template: the address in the lowest-numbered marker,
/// the timeout in seconds (as two or more hex digits) in the next one.
QString expandDconSetTemplate(const QString& text, int address, uint8_t timeoutSec);

/// The model code in the reply to an identification request sent to
/// @p address: what follows "!" and the address, written exactly as the
/// request wrote it. False when the reply does not start so: no reply, an
/// error reply, or the reply of a board at another address.
bool identificationCode(const QString& reply, int address, QString* code);

// The watchdog of the serial controller board. Every operation is one DCON
// request/reply exchange on a device opened and closed around it; the
// commands themselves are templates from the configuration.
class TarveloVendor : public IVendorStrategy {
public:
    explicit TarveloVendor(DconLinkSettings link);
    TarveloVendor(QString portName, int baudRate, int address);
    ~TarveloVendor() override;

    bool probe(uint16_t port) override;
    void wdt_start(uint16_t port, uint8_t timeoutSec) override;
    void wdt_stop(uint16_t port) override;
    void wdt_feed(uint16_t port, uint8_t timeoutSec) override;
    std::string name() const override { return "Tarvelo"; }
    std::string model() const override { return modelName; }
    std::string model_code() const override { return modelCode; }
    // The board takes no Super I/O configuration.
    void setConfig(const VendorConfig&) override { }

    // The four-template setter of the interface stays reachable beside the
    // board's own three-template one, which leaves the set template alone.
    using IVendorStrategy::setDconCommands;
    void setDconCommands(QString start, QString stop, QString feed);

    /// One request line out, the trimmed reply back; empty when there was
    /// no reply or the device could not be opened.
    QString exchangeDcon(QString command, int timeoutMs);
    /// One request line out, nothing read back.
    void sendDcon(QString command);
    /// Asks the board for its model; returns the reported model code, or an
    /// empty text when no board answered from this address.
    QString identifyAndReadModel();

private:
    void sendTemplate(const QString& text);

    QString identity = QStringLiteral("Unknown");
    std::string modelName = "Generic_Tarvelo";
    std::string modelCode = "***";
    DconLinkSettings link;
};
