#include "core/command_line.h"

#include "core/config_check.h"

#include <QFileInfo>

namespace {

constexpr int kUsageErrorExitCode = 2;

QString programName(int argc, const char* const* argv)
{
    const QString name = argc > 0 && argv[0] ? QFileInfo(QString::fromLocal8Bit(argv[0])).fileName() : QString();
    return name.isEmpty() ? QStringLiteral("wdt-daemon") : name;
}

QString helpText(const QString& program, const QString& configFile)
{
    return QStringLiteral("Usage: %1 [--check [FILE]]\n"
                          "Hardware watchdog daemon: finds the watchdog of this machine, arms it and feeds it\n"
                          "until SIGINT or SIGTERM disarms it. Run as root without options, it starts at once.\n"
                          "\n"
                          "  -h, --help          show this text and exit\n"
                          "  -V, --version       show the version and exit\n"
                          "      --check [FILE]  read FILE (default %2) as the daemon would and report\n"
                          "                      every key, the warnings, the probe order, the intervals and\n"
                          "                      what start, feed and stop would do; touches no hardware.\n"
                          "                      Exit status 0 when there is nothing to warn about, else 1\n"
                          "      --              end of the options\n"
                          "\n"
                          "Exit status: 0 after an orderly stop, 1 when the daemon refuses to start,\n"
                          "2 for an unknown option. See wdt-daemon(8) and wdt.ini(5).\n")
        .arg(program, configFile);
}

void print(std::ostream& stream, const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    stream.write(bytes.constData(), bytes.size());
    stream.flush();
}

} // namespace

CommandLine parseCommandLine(int argc, const char* const* argv)
{
    CommandLine line;
    bool help = false;
    bool version = false;
    bool check = false;
    bool optionsEnded = false;
    // "--check" takes the next argument as its file unless it is an option.
    bool fileWanted = false;
    for (int i = 1; i < argc; ++i) {
        const QString argument = QString::fromLocal8Bit(argv[i]);
        const bool looksLikeOption = argument.startsWith(QLatin1Char('-'));
        if (fileWanted && (optionsEnded || !looksLikeOption)) {
            line.checkFile = argument;
            fileWanted = false;
            continue;
        }
        if (optionsEnded || !looksLikeOption)
            continue;
        if (argument == QLatin1String("--")) {
            optionsEnded = true;
        } else if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            help = true;
        } else if (argument == QLatin1String("--version") || argument == QLatin1String("-V")) {
            version = true;
        } else if (argument == QLatin1String("--check")) {
            check = true;
            fileWanted = line.checkFile.isEmpty();
        } else if (argument.startsWith(QLatin1String("--check="))) {
            check = true;
            line.checkFile = argument.mid(8);
        } else if (line.unknown.isEmpty()) {
            line.unknown = argument;
        }
        if (argument != QLatin1String("--"))
            fileWanted = fileWanted && argument == QLatin1String("--check");
    }
    if (!line.unknown.isEmpty())
        line.action = CommandLine::Action::UsageError;
    else if (help)
        line.action = CommandLine::Action::Help;
    else if (version)
        line.action = CommandLine::Action::Version;
    else if (check)
        line.action = CommandLine::Action::Check;
    return line;
}

int runProgram(int argc, char** argv, const DaemonParts& parts, const DaemonEnvironment& environment, std::ostream& out,
    std::ostream& err)
{
    const CommandLine line = parseCommandLine(argc, argv);
    const QString program = programName(argc, argv);
    switch (line.action) {
    case CommandLine::Action::RunDaemon:
        return runDaemon(argc, argv, parts, environment);
    case CommandLine::Action::Help:
        print(out, helpText(program, environment.configFile));
        return 0;
    case CommandLine::Action::Version:
        print(out, program + QStringLiteral(" ") + QLatin1String(WDT_VERSION) + QLatin1Char('\n'));
        return 0;
    case CommandLine::Action::Check: {
        const ConfigReport report
            = checkConfiguration(line.checkFile.isEmpty() ? environment.configFile : line.checkFile);
        print(out, report.lines.join(QLatin1Char('\n')) + QLatin1Char('\n'));
        return report.exitCode();
    }
    case CommandLine::Action::UsageError:
        print(err,
            program + QStringLiteral(": неизвестный параметр ") + QLatin1Char('"') + line.unknown + QLatin1Char('"')
                + QStringLiteral(" (справка: ") + program + QStringLiteral(" --help)\n"));
        return kUsageErrorExitCode;
    }
    return kUsageErrorExitCode;
}
