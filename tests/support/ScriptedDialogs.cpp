#include "support/TestEnvironment.h"

DialogAnswer ScriptedDialogs::messageBox(const QString &text, MessageButtons buttons,
                                         const QString &title)
{
    texts.push_back(text);
    if (!answers.empty()) {
        const DialogAnswer answer = answers.front();
        answers.pop_front();
        return answer;
    }
    return buttons == MessageButtons::YesNo || buttons == MessageButtons::YesNoDefaultNo
               ? DialogAnswer::Yes
               : DialogAnswer::OK;
}

QString ScriptedDialogs::inputBox(const QString &prompt, const QString &title,
                                  const QString &preset)
{
    texts.push_back(prompt);
    presets.push_back(preset);
    if (inputs.empty())
        return QString();
    const QString text = inputs.front();
    inputs.pop_front();
    return text;
}

QString ScriptedDialogs::browseForFolder(const QString &title, const QString &startFolder)
{
    texts.push_back(title);
    startFolders.push_back(startFolder);
    if (inputs.empty())
        return QString();
    const QString text = inputs.front();
    inputs.pop_front();
    return text;
}

namespace {
// Takes its Cancel back when the notice goes.
class ScriptedBusy : public BusyNotice {
public:
    explicit ScriptedBusy(std::function<void()> &cancel)
        : m_cancel(cancel)
    {
    }
    ~ScriptedBusy() override { m_cancel = nullptr; }

private:
    std::function<void()> &m_cancel;
};
} // namespace

std::unique_ptr<BusyNotice> ScriptedDialogs::showBusy(const QString &text,
                                                      const std::function<void()> &cancel)
{
    cancelBusy = cancel;
    return std::make_unique<ScriptedBusy>(cancelBusy);
}
