#pragma once

#include <cstdint>

/**
 * Byte-wide x86 port I/O, the only way the daemon reaches a Super I/O chip.
 *
 * Production uses the processor's in/out instructions; tests and the
 * simulator install a layer that records every access and answers reads like
 * a simulated chip. Only the configuration-space helpers of superio_port call
 * it; the vendor drivers call only those helpers.
 */
class PortIo {
public:
    virtual ~PortIo() = default;

    virtual void outb(uint8_t value, uint16_t port) = 0;
    virtual uint8_t inb(uint16_t port) = 0;
};

/// The processor's own port I/O. Without I/O privilege an in/out instruction
/// kills the process, so start-up obtains iopl(3) before anything calls it.
PortIo& systemPortIo();

/// The port layer in use: the system one unless another was installed.
PortIo& portIo();

/// Installs @p replacement (not owned); nullptr restores the system layer.
/// Returns the layer installed before.
PortIo* setPortIo(PortIo* replacement);

/// Installs a port layer for the lifetime of the object, then puts back the
/// one installed before.
class ScopedPortIo {
public:
    explicit ScopedPortIo(PortIo& replacement)
        : previous(setPortIo(&replacement))
    {
    }
    ~ScopedPortIo() { setPortIo(previous); }
    ScopedPortIo(const ScopedPortIo&) = delete;
    ScopedPortIo& operator=(const ScopedPortIo&) = delete;

private:
    PortIo* const previous;
};
