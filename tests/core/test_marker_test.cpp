#include "core/test_marker.h"
#include "support/daemon_harness.h"
#include "support/log_capture.h"

#include <QFile>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// The owner the marker must have is a parameter: a file of this test's own
// user stands for root's, and a marker that requires another owner sees the
// same file as a foreign one, so the checks run whoever runs the suite.
class TestMarkerTest : public ::testing::Test {
protected:
    void createFile(const QString& path)
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.close();
    }

    DaemonHarness harness;
    LogCapture log;
    const QString marker = harness.path(QStringLiteral("WDT_TEST"));
    const uid_t me = ::geteuid();
    TestMarker check { marker, me };
    TestMarker requiringAnotherOwner { marker, me + 1 };
};

TEST_F(TestMarkerTest, RegularFileOfTheRequiredOwnerIsHonoured)
{
    EXPECT_EQ(check.check(), TestMarker::State::Absent);
    createFile(marker);
    EXPECT_EQ(check.check(), TestMarker::State::Honoured);
    EXPECT_TRUE(log.lines().isEmpty());
}

TEST_F(TestMarkerTest, ForeignMarkersAreIgnoredLeftAloneAndReportedOncePerFile)
{
    const struct {
        const char* kind;
        const char* reason;
    } rows[] = { { "user", "владелец файла не root" }, { "symlink", "это символическая ссылка" },
        { "directory", "это не обычный файл" }, { "hard link", "у файла больше одной жёсткой ссылки" } };
    for (const auto& row : rows) {
        const std::string kind = row.kind;
        TestMarker& checked = kind == "user" ? requiringAnotherOwner : check;
        if (kind == "user") {
            createFile(marker);
        } else if (kind == "symlink") {
            const QString target = harness.path(QStringLiteral("root-owned"));
            createFile(target);
            ASSERT_TRUE(QFile::link(target, marker));
        } else if (kind == "hard link") {
            const QString other = harness.path(QStringLiteral("root-owned"));
            createFile(other);
            ASSERT_EQ(::link(QFile::encodeName(other).constData(), QFile::encodeName(marker).constData()), 0);
        } else {
            ASSERT_EQ(::mkdir(QFile::encodeName(marker).constData(), 0755), 0);
        }
        const LogCapture rowLog;
        for (int tick = 0; tick < 3; ++tick)
            EXPECT_EQ(checked.check(), TestMarker::State::Ignored) << kind;
        ASSERT_EQ(rowLog.lines().size(), 1) << kind;
        EXPECT_EQ(rowLog.lines().first(),
            QStringLiteral("[WARN ] Файл тестового режима \"%1\" проигнорирован: %2 - кормление продолжается.")
                .arg(marker, QString::fromUtf8(row.reason)));
        EXPECT_TRUE(QFileInfo(marker).exists() || QFileInfo(marker).isSymLink()) << kind;
        ::unlink(QFile::encodeName(marker).constData());
        ::rmdir(QFile::encodeName(marker).constData());
        EXPECT_EQ(checked.check(), TestMarker::State::Absent);
    }
}

TEST_F(TestMarkerTest, AnotherForeignFileIsReportedAgain)
{
    createFile(marker);
    requiringAnotherOwner.check();
    const QString other = harness.path(QStringLiteral("other"));
    createFile(other);
    ASSERT_EQ(::rename(QFile::encodeName(other).constData(), QFile::encodeName(marker).constData()), 0);
    requiringAnotherOwner.check();
    requiringAnotherOwner.check();
    EXPECT_EQ(log.count(QStringLiteral("проигнорирован")), 2);
}

} // namespace
