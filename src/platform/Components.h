#pragma once

#include <QString>

#include <memory>
#include <optional>

class Registry;

// The served product's status object.
class OrvelStatusObject {
public:
    virtual ~OrvelStatusObject() = default;
    // The product's status (32 while it runs); nothing when the read fails.
    virtual std::optional<qint32> status() = 0;
};

// The served product's diagnostic line formatter: one raw record in, its readable text out. Lines
// and texts are single-byte, one character per byte.
class DiagLineFormatter {
public:
    virtual ~DiagLineFormatter() = default;
    // Throws Failure with the component's description of what is wrong with the line.
    virtual QString FormatLine(const QString &line) = 0;
};

// Creates the served product's components by class identifier. A class that is not registered,
// or whose library or entry points cannot be loaded, cannot be created: the result is null.
class Components {
public:
    virtual ~Components() = default;
    virtual std::unique_ptr<OrvelStatusObject> createStatusObject() = 0;
    virtual std::unique_ptr<DiagLineFormatter> createDiagLineFormatter() = 0;
};

// The platform's component loader, finding the classes through `registry`, which must outlive it.
std::unique_ptr<Components> makeComponents(const Registry &registry);
