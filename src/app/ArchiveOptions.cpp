#include "app/ArchiveOptions.h"

#include "app/Program.h"
#include "common/Failure.h"

#include <QFile>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSettings>

#include <algorithm>
#include <functional>

namespace {

const QString group = QStringLiteral("Archive");
const QString passphraseKey = QStringLiteral("PassphraseFile");
const QString daysKey = QStringLiteral("KeepDays");
const QString countKey = QStringLiteral("KeepCount");

QString settingOf(const QString &key)
{
    return group + QLatin1Char('/') + key;
}

// A value as the settings file spells it.
QString textOf(const ArchiveOptions &options, const QString &key)
{
    if (key == passphraseKey)
        return options.PassphraseFile;
    return QString::number(key == daysKey ? options.KeepDays : options.KeepCount);
}

// Hands a stored value to `take`, which keeps it or says why it cannot; a value that is no text
// (the settings store makes a list of a text with a comma outside quotes) is a problem too.
void readValue(const QSettings &settings, const QString &key, StoredArchiveOptions &stored,
               const std::function<QString(const QString &)> &take)
{
    const QVariant value = settings.value(settingOf(key));
    if (!value.isValid())
        return;
    const QString why = value.typeId() == QMetaType::QString
                            ? take(value.toString())
                            : QStringLiteral("it is a list, not one value (a value that holds a "
                                             "comma is written in double quotes)");
    if (!why.isEmpty())
        stored.problems.push_back({key, QStringLiteral("the setting %1 in [%2] of %3 cannot be "
                                                       "read: %4")
                                            .arg(key, group, settings.fileName(), why)});
}

std::function<QString(const QString &)> wholeNumber(int &target)
{
    return [&target](const QString &text) {
        static const QRegularExpression digits(QStringLiteral("^[0-9]{1,9}$"));
        const int value = digits.match(text).hasMatch() ? text.toInt() : -1;
        if (value < 0 || value > archiveOptionLimit)
            return QStringLiteral("\"%1\" is not a whole number from 0 to %2")
                .arg(text, QString::number(archiveOptionLimit));
        target = value;
        return QString();
    };
}

} // namespace

bool StoredArchiveOptions::readable(const QString &key) const
{
    return std::none_of(problems.begin(), problems.end(),
                        [&](const ArchiveOptionProblem &p) { return p.key == key; });
}

StoredArchiveOptions LoadArchiveOptions(Program &program)
{
    const QString name = program.executableName();
    const QSettings settings(QSettings::IniFormat, QSettings::UserScope, name, name);
    StoredArchiveOptions stored;
    if (settings.status() != QSettings::NoError) {
        for (const QString &key : {passphraseKey, daysKey, countKey})
            stored.problems.push_back(
                {key, QStringLiteral("the setting %1 in [%2] cannot be read: the settings file %3 "
                                     "%4")
                          .arg(key, group, settings.fileName(),
                               settings.status() == QSettings::FormatError
                                   ? QStringLiteral("is not in the settings format")
                                   : QStringLiteral("cannot be read"))});
        return stored;
    }
    readValue(settings, passphraseKey, stored, [&](const QString &text) {
        stored.options.PassphraseFile = text;
        return QString();
    });
    readValue(settings, daysKey, stored, wholeNumber(stored.options.KeepDays));
    readValue(settings, countKey, stored, wholeNumber(stored.options.KeepCount));
    return stored;
}

void SaveArchiveOptions(Program &program, const ArchiveOptions &options)
{
    const QString name = program.executableName();
    QSettings current(QSettings::IniFormat, QSettings::UserScope, name, name);
    // Nothing to write when OK changed nothing: the file is then left as it is.
    QStringList changed;
    for (const QString &key : {passphraseKey, daysKey, countKey}) {
        const QVariant stored = current.value(settingOf(key));
        const bool same = stored.isValid() ? stored.typeId() == QMetaType::QString &&
                                                 stored.toString() == textOf(options, key)
                                           : textOf(options, key) == textOf({}, key);
        if (!same)
            changed << key;
    }
    if (changed.isEmpty())
        return;

    // As the archive folder setting is saved: a copy of the settings is changed and put in place
    // whole, or not at all, so a full disk never leaves the file empty.
    const QString path = current.fileName();
    const QString draft = path + QStringLiteral(".new");
    QFile::remove(draft);
    if (QFile::exists(path) && !QFile::copy(path, draft))
        throw Failure(75,
                      QStringLiteral("Cannot save the archive options: cannot copy %1").arg(path));
    {
        QSettings settings(draft, QSettings::IniFormat);
        for (const QString &key : changed)
            settings.setValue(settingOf(key), textOf(options, key));
        settings.sync();
        if (settings.status() != QSettings::NoError) {
            QFile::remove(draft);
            throw Failure(75, QStringLiteral("Cannot save the archive options to %1").arg(path));
        }
    }
    QFile written(draft);
    QSaveFile target(path);
    const bool saved = written.open(QIODevice::ReadOnly) && target.open(QIODevice::WriteOnly) &&
                       target.write(written.readAll()) >= 0 && target.commit();
    QFile::remove(draft);
    if (!saved)
        throw Failure(75, QStringLiteral("Cannot save the archive options to %1: %2")
                              .arg(path, target.errorString()));
}
