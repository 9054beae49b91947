#include "support/TestEnvironment.h"

#include <QApplication>
#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Messages about the offscreen platform's limits are noise in test output.
    qputenv("QT_LOGGING_RULES", "qt.qpa.*=false");
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
    testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
