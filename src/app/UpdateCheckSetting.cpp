#include "app/UpdateCheckSetting.h"

#include "app/SettingsFile.h"
#include "common/ControlText.h"
#include "common/Failure.h"

UpdateCheckSetting readUpdateCheckSetting(const QString &application)
{
    UpdateCheckSetting setting;
    SettingsFile::Group read;
    try {
        read = SettingsFile(application).readGroupFrom(QStringLiteral("Update"));
    } catch (const Failure &failure) {
        setting.check = false;
        setting.problem = failure.description();
        return setting;
    }
    const QVariant value = settingValue(read.values, QStringLiteral("Check"));
    if (!value.isValid())
        return setting;
    setting.file = settingValue(read.files, QStringLiteral("Check"));
    const QString text = value.typeId() == QMetaType::QString ? value.toString() : QString();
    setting.check = text.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0;
    if (!setting.check && text.compare(QLatin1String("false"), Qt::CaseInsensitive) != 0)
        setting.problem =
            QStringLiteral("the setting Check in [Update] of %1 cannot be read: \"%2\" "
                           "is neither true nor false")
                .arg(shownPath(setting.file), text);
    return setting;
}
