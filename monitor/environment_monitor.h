#pragma once

/**
 * The environment monitor of the serial controller board, as the daemon core
 * sees it: one query over the static channels, one over the dynamic ones.
 * Both run on the daemon's thread and never overlap with a watchdog call.
 */
class EnvironmentMonitor {
public:
    virtual ~EnvironmentMonitor() = default;
    virtual void queryStaticSensors() = 0;
    virtual void queryDynamicSensors() = 0;
};
