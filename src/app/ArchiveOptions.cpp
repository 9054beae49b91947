#include "app/ArchiveOptions.h"

#include "app/Program.h"
#include "app/SettingsFile.h"
#include "common/ControlText.h"
#include "common/Failure.h"

#include <QRegularExpression>

#include <algorithm>
#include <functional>

namespace {

const QString group = QStringLiteral("Archive");
const QString passphraseKey = QStringLiteral("PassphraseFile");
const QString daysKey = QStringLiteral("KeepDays");
const QString countKey = QStringLiteral("KeepCount");

// A value as the settings file spells it.
QString textOf(const ArchiveOptions &options, const QString &key)
{
    if (key == passphraseKey)
        return options.PassphraseFile;
    return QString::number(key == daysKey ? options.KeepDays : options.KeepCount);
}

// Hands a stored value to `take`, which keeps it or says why it cannot; a value that is no text
// (in a form only the settings store writes) is a problem too.
void readValue(const SettingsFile::Group &values, const QString &key, StoredArchiveOptions &stored,
               const std::function<QString(const QString &)> &take)
{
    const QVariant value = values.values.value(key);
    if (!value.isValid())
        return;
    const QString why = value.typeId() == QMetaType::QString
                            ? take(value.toString())
                            : QStringLiteral("it is not written as text");
    if (!why.isEmpty())
        stored.problems.push_back(
            {key, QStringLiteral("the setting %1 in [%2] of %3 cannot be "
                                 "read: %4")
                      .arg(key, group, shownPath(values.files.value(key)), why)});
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

StoredArchiveOptions LoadArchiveOptions(Program &program, bool passphrase)
{
    const SettingsFile file(program.executableName());
    StoredArchiveOptions stored;
    SettingsFile::Group values;
    try {
        values = file.readGroupFrom(group);
    } catch (const Failure &failure) {
        for (const QString &key : {passphraseKey, daysKey, countKey})
            stored.problems.push_back(
                {key, QStringLiteral("the setting %1 in [%2] cannot be read: %3")
                          .arg(key, group, failure.description())});
        return stored;
    }
    readValue(values, passphraseKey, stored, [&](const QString &text) {
        stored.options.PassphraseFile = text;
        return QString();
    });
    readValue(values, daysKey, stored, wholeNumber(stored.options.KeepDays));
    readValue(values, countKey, stored, wholeNumber(stored.options.KeepCount));
    stored.files = values.files;
    if (passphrase && !stored.options.PassphraseFile.isEmpty() && stored.readable(passphraseKey)) {
        try {
            stored.passphrase = readPassphraseFile(stored.options.PassphraseFile);
        } catch (const Failure &failure) {
            stored.problems.push_back({passphraseKey, failure.description()});
        }
    }
    return stored;
}

void SaveArchiveOptions(Program &program, const ArchiveOptions &options)
{
    SettingsFile file(program.executableName());
    const QVariantMap current = file.readGroup(group);
    // Only what OK changed is written: an absent value stays absent while it is the default, and
    // nothing changed leaves the file as it is.
    QVariantMap changed;
    for (const QString &key : {passphraseKey, daysKey, countKey}) {
        const QVariant stored = current.value(key);
        const bool same = stored.isValid() ? stored.typeId() == QMetaType::QString &&
                                                 stored.toString() == textOf(options, key)
                                           : textOf(options, key) == textOf({}, key);
        if (!same)
            changed.insert(key, textOf(options, key));
    }
    if (!changed.isEmpty())
        file.writeGroup(group, changed);
}
