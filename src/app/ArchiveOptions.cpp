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
const QString obfuscateKey = QStringLiteral("Obfuscate");
const QString wordsKey = QStringLiteral("ObfuscateWords");
const QString safeKey = QStringLiteral("ObfuscateSafe");
const QStringList keys{passphraseKey, daysKey, countKey, obfuscateKey, wordsKey, safeKey};

// A value as the settings file spells it.
QString textOf(const ArchiveOptions &options, const QString &key)
{
    if (key == passphraseKey)
        return options.PassphraseFile;
    if (key == obfuscateKey)
        return options.Obfuscate ? QStringLiteral("true") : QStringLiteral("false");
    if (key == wordsKey)
        return options.ObfuscateWords;
    if (key == safeKey)
        return options.ObfuscateSafe;
    return QString::number(key == daysKey ? options.KeepDays : options.KeepCount);
}

// Hands a stored value to `take`, which keeps it or says why it cannot; a value that is no text
// (in a form only the settings store writes) is a problem too.
void readValue(const SettingsFile::Group &values, const QString &key, StoredArchiveOptions &stored,
               const std::function<QString(const QString &)> &take)
{
    const QVariant value = settingValue(values.values, key);
    if (!value.isValid())
        return;
    const QString why = value.typeId() == QMetaType::QString
                            ? take(value.toString())
                            : QStringLiteral("it is not written as text");
    if (!why.isEmpty())
        stored.problems.push_back(
            {key, QStringLiteral("the setting %1 in [%2] of %3 cannot be "
                                 "read: %4")
                      .arg(key, group, shownPath(settingValue(values.files, key)), why)});
}

std::function<QString(const QString &)> wholeNumber(int &target)
{
    return [&target](const QString &text) {
        static const QRegularExpression digits(QStringLiteral("^[0-9]{1,9}\\z"));
        const int value = digits.match(text).hasMatch() ? text.toInt() : -1;
        if (value < 0 || value > archiveOptionLimit)
            return QStringLiteral("\"%1\" is not a whole number from 0 to %2")
                .arg(text, QString::number(archiveOptionLimit));
        target = value;
        return QString();
    };
}

std::function<QString(const QString &)> yesOrNo(bool &target)
{
    return [&target](const QString &text) {
        const QString word = text.toLower();
        if (word != QLatin1String("true") && word != QLatin1String("false") &&
            word != QLatin1String("1") && word != QLatin1String("0"))
            return QStringLiteral("\"%1\" is neither true nor false").arg(text);
        target = word == QLatin1String("true") || word == QLatin1String("1");
        return QString();
    };
}

std::function<QString(const QString &)> asWritten(QString &target)
{
    return [&target](const QString &text) {
        target = text;
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
    QStringList misplaced;
    try {
        values = file.readGroupFrom(group);
        misplaced = file.misplaced(group, keys);
    } catch (const Failure &failure) {
        for (const QString &key : keys)
            stored.problems.push_back(
                {key, QStringLiteral("the setting %1 in [%2] cannot be read: %3")
                          .arg(key, group, failure.description())});
        return stored;
    }
    // A key that is none of ours would be passed over without a word: the encryption or the
    // cleaning a misspelt one asked for would not happen.
    for (auto value = values.values.cbegin(); value != values.values.cend(); ++value)
        if (std::none_of(keys.begin(), keys.end(), [&](const QString &key) {
                return key.compare(value.key(), Qt::CaseInsensitive) == 0;
            }))
            stored.problems.push_back(
                {value.key(),
                 QStringLiteral("the setting %1 in [%2] of %3 is none of that group's (%4): "
                                "a misspelt one would be passed over")
                     .arg(value.key(), group, shownPath(settingValue(values.files, value.key())),
                          keys.join(QStringLiteral(", "))),
                 true});
    // Nor one of ours in another group: "[Achive]" would pass its passphrase over.
    for (const QString &where : misplaced)
        stored.problems.push_back(
            {where.section(QLatin1Char(' '), 0, 0),
             QStringLiteral("the setting %1, not in [%2]: it would be passed over")
                 .arg(where, group),
             true});
    ArchiveOptions &options = stored.options;
    readValue(values, passphraseKey, stored, asWritten(options.PassphraseFile));
    readValue(values, daysKey, stored, wholeNumber(options.KeepDays));
    readValue(values, countKey, stored, wholeNumber(options.KeepCount));
    readValue(values, obfuscateKey, stored, yesOrNo(options.Obfuscate));
    readValue(values, wordsKey, stored, asWritten(options.ObfuscateWords));
    readValue(values, safeKey, stored, asWritten(options.ObfuscateSafe));
    stored.files = values.files;
    if (passphrase && !options.PassphraseFile.isEmpty() && stored.readable(passphraseKey)) {
        try {
            stored.passphrase = readPassphraseFile(options.PassphraseFile);
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
    for (const QString &key : keys) {
        const QVariant stored = settingValue(current, key);
        const bool same = stored.isValid() ? stored.typeId() == QMetaType::QString &&
                                                 stored.toString() == textOf(options, key)
                                           : textOf(options, key) == textOf({}, key);
        if (!same)
            changed.insert(key, textOf(options, key));
    }
    if (!changed.isEmpty())
        file.writeGroup(group, changed);
}
