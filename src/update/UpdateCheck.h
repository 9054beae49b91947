#pragma once

#include <QString>

#include <functional>

class Dialogs;
class Program;
class WindowHost;

// Help > Check for updated version: the foreground check, under the wait pointer. Returns at once;
// `done` runs once the check has told what it found, or was cancelled.
void mnuCheckForUpdatedVersion_Click(Program &program, WindowHost &host,
                                     const std::function<void()> &done = {});

// The version a download list publishes for the tool whose home page has `homePath`: the digits
// and dots right after the first "<cell>" that follows the tool's marker. "" when the document
// is under 10 characters or does not name the tool.
QString publishedVersion(const QString &document, const QString &homePath);

// Compares the running version with the one the tools site publishes and says which is newer,
// offering the home page when the site has a newer one. Nothing waits for the site or for the
// boxes, so that an archive run under way goes on; a notice offers Cancel while the site is
// asked, which ends the check without a word. `done` runs when the check is over.
void checkForUpdatedVersion_Foreground(Program &program, const QString &address,
                                       const std::function<void()> &done);

// The published version of the tool whose home page is `address`, padded, from the download list
// `document`; "" when the list was not had or does not name the tool.
QString GetLatestVersion(Program &program, const QString &address, const QString &document);

// Every dot-separated component left-padded with zeros to at least four digits, so that versions
// compare as texts in the order of the versions; "" for a text under four characters. A text of
// four or more characters without a dot fails (Failure 9).
QString padVersion(const QString &version);
// The same, telling a failure in a box and giving "".
QString PadVersionString(Dialogs &dialogs, const QString &version);
