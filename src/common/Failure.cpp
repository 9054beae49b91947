#include "common/Failure.h"

#include <new>

Failure::Failure(int number, QString description)
    : m_number(number)
    , m_description(std::move(description))
    , m_what(m_description.toUtf8())
{
}

Failure invalidArgument(const QString &what)
{
    return Failure(5, QStringLiteral("Invalid procedure call or argument: %1").arg(what));
}

bool trap(const std::function<void()> &step, const std::function<void(const Failure &)> &report)
{
    try {
        step();
        return true;
    } catch (const Failure &failure) {
        report(failure);
    } catch (const std::bad_alloc &) {
        report(Failure(7, QStringLiteral("Out of memory")));
    } catch (const std::exception &e) {
        report(Failure(0, QString::fromLocal8Bit(e.what())));
    }
    return false;
}

bool trapSilently(const std::function<void()> &step)
{
    return trap(step, [](const Failure &) {});
}

QString cutShortWhileRead(quint64 read, quint64 size)
{
    return QStringLiteral("the file was cut short while it was read: %1 of %2 bytes")
        .arg(read)
        .arg(size);
}

QString cutShortAndWrittenAgain()
{
    return QStringLiteral("the file was cut short and written again while it was read");
}
