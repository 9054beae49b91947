#pragma once

#include "archive/EntryTransform.h"

#include <chrono>
#include <future>
#include <memory>
#include <mutex>

// An entry's rewriting that holds the compression workers on it until the test opens it: what
// the workers have not written by then waits, however fast they run. Entries are written in
// order, so nothing added after the gated entry is written before it opens either.
class WorkerGate : public EntryTransform {
public:
    void open()
    {
        std::call_once(m_once, [this] { m_open.set_value(); });
    }
    size_t longestLine() const override { return 64; }
    QString rewrite(const char *data, size_t length, std::string &out) override
    {
        // A test that never opens it fails with its entry left out instead of hanging.
        if (m_opened.wait_for(std::chrono::seconds(60)) != std::future_status::ready)
            return QStringLiteral("the test never opened the gate");
        out.append(data, length);
        return {};
    }
    void finished(bool) override {}

private:
    std::once_flag m_once;
    std::promise<void> m_open;
    std::shared_future<void> m_opened = m_open.get_future().share();
};

// Opens the gate when it goes: an archive that ends waits for the workers its gate holds.
struct GateOpenedAtEnd {
    std::shared_ptr<WorkerGate> gate = std::make_shared<WorkerGate>();
    ~GateOpenedAtEnd() { gate->open(); }
};
