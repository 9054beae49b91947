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

// Creates the served product's components by class identifier. A class that is not registered,
// or whose library or entry points cannot be loaded, cannot be created: the result is null.
class Components {
public:
    virtual ~Components() = default;
    virtual std::unique_ptr<OrvelStatusObject> createStatusObject() = 0;
};

// The platform's component loader, finding the classes through `registry`, which must outlive it.
std::unique_ptr<Components> makeComponents(const Registry &registry);
