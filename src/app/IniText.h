#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

// The text of the settings file, read the way Windows reads its own INI files: "[group]" lines,
// then "key=value" lines, whose value is what stands after the "=", blanks around it aside and
// one pair of enclosing quotes taken off. No backslash escapes: \\fileserver\support\orvel\ reads
// as typed. Lines starting with ";" or "#" are comments; keys before any group are in "General";
// a key given twice counts as given last. Any other line makes the file one nobody can tell the
// meaning of (problem()).
//
// The previous release wrote its values with the settings store's escapes (\\ for a backslash,
// \" for a quote, values with a comma in quotes, "@@" for a leading "@", "@Variant(...)" for
// anything but text). A value written exactly as that store writes some text that holds no
// control character, and one of its typed forms, still reads as that store read it; nobody types
// a path that way by hand, and it is what a file of the previous release holds.
class IniText {
public:
    explicit IniText(const QByteArray &bytes = QByteArray());

    // The values of one group, by key: text, or what a typed form holds.
    QVariantMap group(const QString &name) const;
    // The groups the text has, each once, as first written.
    QStringList groupNames() const;
    // Gives keys of one group these values, changing only their lines (a key that is missing is
    // added at the end of its group, a group that is missing at the end of the file); comments,
    // blank lines, the other keys and groups stay as they were. False when every value was stored
    // already (as text, a number is the same as its digits). Throws Failure for a value no line
    // can hold.
    bool set(const QString &group, const QVariantMap &values);
    // The first line that is no group, key=value, comment or blank line; empty when there is none.
    const QString &problem() const { return m_problem; }

    QByteArray bytes() const;

private:
    struct Line {
        QString group;
        bool header = false;
        QString key; // empty: no value on this line
        QString value;
        QString problem; // what is wrong with the line
    };
    Line parsed(qsizetype index, const QString &group) const;

    QStringList m_lines; // each without its line feed
    bool m_byteOrderMark = false;
    bool m_finalBreak = true;
    QString m_problem;
};

// How the text after "=" reads, and the text that reads as `value`: the value itself where it
// reads back unchanged, else in quotes, else in the previous release's escaped or typed form.
// iniWritten throws Failure when none of them would.
QVariant iniValue(QStringView written);
QString iniWritten(const QVariant &value);

// Keys and groups are found whatever their letter case, as Windows finds them: "keepdays" is
// KeepDays. Read values keep the spelling last given, one for all spellings.
template <typename Map> auto findSetting(const Map &map, const QString &key)
{
    auto it = map.begin();
    while (it != map.end() && it.key().compare(key, Qt::CaseInsensitive) != 0)
        ++it;
    return it;
}
template <typename Map>
typename Map::mapped_type settingValue(const Map &map, const QString &key,
                                       const typename Map::mapped_type &fallback = {})
{
    const auto it = findSetting(map, key);
    return it == map.end() ? fallback : it.value();
}
template <typename Map>
void putSetting(Map &map, const QString &key, const typename Map::mapped_type &value)
{
    for (const QString &other : map.keys())
        if (other.compare(key, Qt::CaseInsensitive) == 0)
            map.remove(other);
    map.insert(key, value);
}
