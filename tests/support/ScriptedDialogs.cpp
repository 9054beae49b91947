#include "support/TestEnvironment.h"

// The first of `queue`, taken off it; `none` when it is empty.
template <typename T> static T taken(std::deque<T> &queue, T none)
{
    if (queue.empty())
        return none;
    T first = queue.front();
    queue.pop_front();
    return first;
}

DialogAnswer ScriptedDialogs::messageBox(const QString &text, MessageButtons buttons,
                                         const QString &title)
{
    texts.push_back(text);
    const bool yesNo =
        buttons == MessageButtons::YesNo || buttons == MessageButtons::YesNoDefaultNo;
    return taken(answers, yesNo ? DialogAnswer::Yes : DialogAnswer::OK);
}

QString ScriptedDialogs::inputBox(const QString &prompt, const QString &title,
                                  const QString &preset)
{
    texts.push_back(prompt);
    presets.push_back(preset);
    return taken(inputs, QString());
}

QString ScriptedDialogs::browseForFolder(const QString &title, const QString &startFolder)
{
    texts.push_back(title);
    startFolders.push_back(startFolder);
    return taken(inputs, QString());
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
