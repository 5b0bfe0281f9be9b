// `cmake --install` into a prefix chosen at install time: everything, the bin link included,
// lands under it, and the link is relative, so the installed program starts from there.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <unistd.h>

namespace {

TEST(Install, EverythingLandsUnderThePrefixGivenAtInstallTime)
{
    QTemporaryDir dir;
    const QString prefix = dir.filePath("prefix");
    QProcess install;
    install.start(QStringLiteral(KORVANE_CMAKE), {"--install", QStringLiteral(KORVANE_BUILD_DIR), "--prefix", prefix});
    ASSERT_TRUE(install.waitForFinished(120000));
    ASSERT_EQ(install.exitCode(), 0) << install.readAllStandardError().toStdString();
    // Every path the install reports lies under the prefix.
    const QStringList lines = QString::fromLocal8Bit(install.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
    for (const QString &line : lines) {
        if (line.startsWith("-- Installing: ") || line.startsWith("-- Up-to-date: ")) {
            EXPECT_TRUE(line.mid(15).startsWith(prefix + "/")) << line.toStdString();
        }
    }

    const QFileInfo link(prefix + "/bin/korvane");
    ASSERT_TRUE(link.isSymLink());
    char target[4096] = {};
    ASSERT_GT(::readlink(QFile::encodeName(link.filePath()).constData(), target, sizeof target - 1), 0);
    EXPECT_NE(target[0], '/') << "a relative link: " << target;
    EXPECT_EQ(link.canonicalFilePath(), QFileInfo(prefix).canonicalFilePath() + "/" KORVANE_APPDIR_IN_PREFIX "/korvane");

    QProcess version;
    version.start(link.absoluteFilePath(), {"--version"});
    ASSERT_TRUE(version.waitForFinished(60000));
    EXPECT_EQ(version.readAllStandardOutput(), QByteArray("korvane " KORVANE_VERSION "\n"));
}

} // namespace
