#include "support/daemon_harness.h"

#include "core/globals.h"

#include <QFile>
#include <QLoggingCategory>
#include <QTextStream>

#include <csignal>
#include <pthread.h>
#include <unistd.h>

DaemonHarness::DaemonHarness()
{
    LOG_FILE = path(QStringLiteral("wdt-daemon.log"));
    CONFIG_FILE = path(QStringLiteral("wdt.ini"));
    TEST_FILE = path(QStringLiteral("WDT_TEST"));
    MODULES_FILE = path(QStringLiteral("modules"));
    envIntervalMs = 60000;
    envEnabled = false;
    tarveloEnabled = false;
    envQueryRequest = false;
}

DaemonHarness::~DaemonHarness()
{
    qInstallMessageHandler(nullptr);
    QLoggingCategory::setFilterRules(QString());
}

void DaemonHarness::writeConfig(const QString& ini) const
{
    QFile file(CONFIG_FILE);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(ini.toUtf8());
}

QString DaemonHarness::path(const QString& name) const
{
    return dir.filePath(name);
}

int DaemonHarness::run(const DaemonParts& parts)
{
    char name[] = "wdt-daemon";
    char* argv[] = {name, nullptr};
    return runDaemon(1, argv, parts);
}

QStringList DaemonHarness::logLines() const
{
    QFile file(LOG_FILE);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

QStringList DaemonHarness::messages() const
{
    QStringList result;
    for (const QString& line : logLines())
        result << line.mid(20);
    return result;
}

std::shared_ptr<FakeStrategy> DaemonHarness::fake(const std::string& vendor, const std::string& model,
                                                  const std::string& code)
{
    return std::make_shared<FakeStrategy>(vendor, journal, model, code);
}

SignalSender::SignalSender(std::function<bool()> condition, int signalNumber, std::chrono::milliseconds settle,
                           std::chrono::milliseconds deadline)
{
    thread = std::thread([this, condition = std::move(condition), signalNumber, settle, deadline] {
        // Keep the signals off this thread: the daemon's thread takes them.
        sigset_t mask;
        sigemptyset(&mask);
        sigaddset(&mask, SIGINT);
        sigaddset(&mask, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &mask, nullptr);

        const auto end = std::chrono::steady_clock::now() + deadline;
        while (!finished) {
            if (condition()) {
                conditionMet = true;
                std::this_thread::sleep_for(settle);
                ::kill(::getpid(), signalNumber);
                return;
            }
            if (std::chrono::steady_clock::now() > end) {
                ::kill(::getpid(), SIGTERM);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
}

SignalSender::~SignalSender()
{
    finished = true;
    thread.join();
}

std::function<bool()> journalHas(const std::shared_ptr<Journal>& journal, const std::string& prefix, int times)
{
    return [journal, prefix, times] { return journal->count(prefix) >= times; };
}
