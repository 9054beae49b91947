#include "support/TestEnvironment.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <cstdio>

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;

namespace {
QtMessageHandler toolkitHandler = nullptr;

// Qt's own word that an object was used from a thread not its own, or a socket after its end:
// whatever test made it happen fails, in every test program.
void failOnCrossings(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    static const QRegularExpression crossing(
        u"different thread|another thread|outside the GUI thread|QBasicTimer|"
        "QSocketNotifier: Invalid socket|threads started with QThread"_s);
    if (type != QtDebugMsg && type != QtInfoMsg && crossing.match(message).hasMatch())
        ADD_FAILURE() << "the toolkit says: " << message.toStdString();
    toolkitHandler(type, context, message);
}
} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Messages about the offscreen platform's limits are noise in test output.
    qputenv("QT_LOGGING_RULES", "qt.qpa.*=false");
    toolkitHandler = qInstallMessageHandler(failOnCrossings);
    makeTestRoot();
    // A runtime folder of the test program's own, so that Qt has one without saying so at every
    // start; what the program keeps there goes with the test root.
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
        const QString runtime = testRoot() + u"/runtime"_s;
        QDir().mkpath(runtime);
        QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
    }
    // The test programs do not lie beside the program's helpers, as the program does.
    if (qEnvironmentVariableIsEmpty("SORVIK_FORMATTER_HELPER"))
        qputenv("SORVIK_FORMATTER_HELPER", SORVIK_BIN_DIR "/sorvik-diag-formatter");
    if (qEnvironmentVariableIsEmpty("SORVIK_SHARE_READER"))
        qputenv("SORVIK_SHARE_READER", SORVIK_BIN_DIR "/sorvik-share-reader");
    // Between tests the home is a folder of the test program's own, which nothing may write: a
    // window that stores its place after its test has given back the environment would write
    // into the real account's settings.
    const QString outside = testRoot() + u"/outside-tests"_s;
    for (const char *name : {"HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME"})
        qputenv(name, QFile::encodeName(outside + u'/' + QLatin1String(name)));
    testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    const int status = RUN_ALL_TESTS();
    const QStringList written = QDir(outside).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    if (!written.isEmpty())
        std::fprintf(stderr, "written outside any test's folders: %s\n",
                     qPrintable(outside + u'/' + written.join(u' ')));
    return written.isEmpty() ? status : 1;
}
