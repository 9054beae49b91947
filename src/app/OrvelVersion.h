#pragma once

#include <QString>

class Registry;

// The served product's version, decoded from its two registry numbers.
struct OrvelVersionInfo {
    qint16 Major = 0;
    qint16 Minor = 0;
    qint16 BuildMajor = 0;
    qint16 BuildMinor = 0;
    QString VersionText;
};

// Reads "Version Number" and "Build Number" under HKEY_LOCAL_MACHINE "Software\Quenvo\". A missing
// value counts as 0. Has no trap of its own: a failure reaches the caller.
OrvelVersionInfo GetOrvelVersion(const Registry &registry);

// The decoding itself: each number's eight hexadecimal digits split into halves; the halves read
// as decimal (leading digits only), except the build's lower half, read as signed hexadecimal.
OrvelVersionInfo decodeOrvelVersion(quint32 versionNumber, quint32 buildNumber);
