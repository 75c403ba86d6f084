#include "core/environment.h"
#include "core/globals.h"
#include "sim/fake_platform.h"
#include "support/log_capture.h"
#include "support/qt_printers.h"

#include <QDebug>

#include <gtest/gtest.h>

#include <tuple>

namespace {

void dropMessage(QtMsgType, const QMessageLogContext&, const QString&) { }

QStringList paths()
{
    return { LOG_FILE, CONFIG_FILE, TEST_FILE, MODULES_FILE };
}

auto switches()
{
    return std::tie(envIntervalMs, envEnabled, tarveloEnabled, envQueryRequest);
}

// One in-process run of the daemon must leave nothing behind for the next:
// paths, port layer, switches and message handler are those of before.
TEST(EnvironmentScope, PutsTheEnvironmentInForceAndEverythingBackAfterwards)
{
    const QStringList before { QStringLiteral("log.0"), QStringLiteral("ini.0"), QStringLiteral("marker.0"),
        QStringLiteral("modules.0") };
    std::tie(LOG_FILE, CONFIG_FILE, TEST_FILE, MODULES_FILE)
        = std::make_tuple(before[0], before[1], before[2], before[3]);
    const auto switchesBefore = std::make_tuple(1234, true, false, true);
    switches() = switchesBefore;
    FakePlatform outerBus, bus;
    const ScopedPortIo outer(outerBus);
    const LogCapture log;

    DaemonEnvironment environment;
    environment.logFile = QStringLiteral("log.1");
    environment.configFile = QStringLiteral("ini.1");
    environment.testFile = QStringLiteral("marker.1");
    environment.modulesFile = QStringLiteral("modules.1");
    environment.portIo = &bus;
    {
        const EnvironmentScope scope(environment);
        EXPECT_EQ(paths(),
            (QStringList { QStringLiteral("log.1"), QStringLiteral("ini.1"), QStringLiteral("marker.1"),
                QStringLiteral("modules.1") }));
        EXPECT_EQ(&portIo(), &bus);
        // Kept for the configuration readers of the run to set.
        EXPECT_EQ(switches(), switchesBefore);
        switches() = std::make_tuple(5, false, true, false);
        // Until the run installs its own, the handler of before stays.
        qInfo() << "inside";
        qInstallMessageHandler(dropMessage);
    }
    EXPECT_EQ(paths(), before);
    EXPECT_EQ(&portIo(), &outerBus);
    EXPECT_EQ(switches(), switchesBefore);
    qInfo() << "after";
    EXPECT_EQ(log.lines(), (QStringList { QStringLiteral("[INFO ] inside"), QStringLiteral("[INFO ] after") }));
}

} // namespace
