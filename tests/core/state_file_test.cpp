#include "core/state_file.h"
#include "support/log_capture.h"
#include "support/qt_printers.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

using Step = void (SupervisorObserver::*)();

QByteArray contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(none)");
}

// Each way a run can end, as the file keeps it, and the line the next start
// logs of it.
TEST(StateFile, WhatARunLeavesAndWhatTheNextStartSays)
{
    const struct {
        std::vector<Step> steps;
        QByteArray file;
        const char* nextStart; // null: nothing logged
    } rows[] = {
        { {}, "(none)", nullptr },
        { { &SupervisorObserver::armed, &SupervisorObserver::fed }, "state=armed\n",
            "[WARN ] Предыдущий запуск не был остановлен при взведённом Watchdog: зависание, сбой, потеря питания или "
            "сброс." },
        { { &SupervisorObserver::armed, &SupervisorObserver::feedingStopped }, "state=test-mode\n",
            "[WARN ] Предыдущий запуск: кормление остановлено тестовым режимом, Watchdog перезагрузил машину." },
        { { &SupervisorObserver::armed, &SupervisorObserver::feedGateClosed },
            "state=check-failed\ncheck=PidFile\nreason=процесс 42 не существует\n",
            "[WARN ] Предыдущий запуск: кормление остановлено проверкой \"PidFile\" (процесс 42 не существует), "
            "Watchdog перезагрузил машину." },
        { { &SupervisorObserver::armed, &SupervisorObserver::feedingStopped, &SupervisorObserver::stopped },
            "state=stopped\n", "[INFO ] Предыдущий запуск завершился штатно." },
    };
    for (const auto& row : rows) {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("state"));
        {
            const LogCapture log;
            StateFile file(path,
                [] { return std::make_pair(QStringLiteral("PidFile"), QStringLiteral("процесс 42\nне существует")); });
            for (const Step step : row.steps)
                (file.*step)();
            EXPECT_TRUE(log.lines().isEmpty());
        }
        EXPECT_EQ(contents(path), row.file);
        const LogCapture log;
        StateFile::logPrevious(StateFile::read(path));
        EXPECT_EQ(log.lines(), row.nextStart ? QStringList { QString::fromUtf8(row.nextStart) } : QStringList());
    }
}

// The file lives where the administrator says, but a link planted at its
// name is replaced, not followed, and a directory that is missing costs one
// warning however often the state changes.
TEST(StateFile, APlantedLinkIsReplacedAndAFailureIsToldOnce)
{
    QTemporaryDir dir;
    const QString target = dir.filePath(QStringLiteral("elsewhere"));
    const QString path = dir.filePath(QStringLiteral("state"));
    ASSERT_TRUE(QFile::link(target, path));
    StateFile file(path, {});
    file.armed();
    EXPECT_FALSE(QFileInfo(path).isSymLink());
    EXPECT_FALSE(QFile::exists(target));
    EXPECT_EQ(contents(path), "state=armed\n");

    const LogCapture log;
    StateFile lost(dir.filePath(QStringLiteral("missing/state")), {});
    lost.armed();
    lost.stopped();
    EXPECT_EQ(log.count(QStringLiteral("[WARN ] Файл состояния")), 1);
}

} // namespace
