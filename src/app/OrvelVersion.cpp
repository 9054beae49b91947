#include "app/OrvelVersion.h"

#include "platform/ReadRegistryValue.h"
#include "platform/Registry.h"

namespace {

// Its leading decimal digits, as a number; no digits give 0.
qint16 leadingDecimal(const QString &digits)
{
    int value = 0;
    for (const QChar c : digits) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            break;
        value = value * 10 + (c.unicode() - '0');
    }
    return qint16(value);
}

quint32 readNumber(const Registry &registry, const char *name)
{
    const QVariant value = ReadRegistryValue(registry, RegistryRoot::LocalMachine,
                                             QStringLiteral("Software\\Quenvo\\"),
                                             QLatin1String(name), RegistryKind::Number, QVariant());
    return value.isValid() ? quint32(value.toInt()) : 0;
}

} // namespace

OrvelVersionInfo decodeOrvelVersion(quint32 versionNumber, quint32 buildNumber)
{
    const QString version =
        QString::number(versionNumber, 16).toUpper().rightJustified(8, QLatin1Char('0'));
    const QString build =
        QString::number(buildNumber, 16).toUpper().rightJustified(8, QLatin1Char('0'));

    OrvelVersionInfo info;
    info.Major = leadingDecimal(version.left(4));
    info.Minor = leadingDecimal(version.mid(4));
    info.BuildMajor = leadingDecimal(build.left(4));
    info.BuildMinor = qint16(quint16(build.mid(4).toUInt(nullptr, 16)));
    info.VersionText = QStringLiteral("%1.%2(%3.%4)")
                           .arg(info.Major)
                           .arg(info.Minor)
                           .arg(info.BuildMajor)
                           .arg(info.BuildMinor);
    return info;
}

OrvelVersionInfo GetOrvelVersion(const Registry &registry)
{
    return decodeOrvelVersion(readNumber(registry, "Version Number"),
                              readNumber(registry, "Build Number"));
}
