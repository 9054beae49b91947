#pragma once

#include <QString>

class Dialogs;
class Program;
class RunHost;

// Help > Check for updated version: the foreground check, under the wait pointer.
void mnuCheckForUpdatedVersion_Click(Program &program, RunHost &host);

// The version a download list publishes for the tool whose home page has `homePath`: the digits
// and dots right after the first "<cell>" that follows the tool's marker. "" when the document
// is under 10 characters or does not name the tool.
QString publishedVersion(const QString &document, const QString &homePath);

// Compares the running version with the one the tools site publishes and says which is newer,
// offering the home page when the site has a newer one.
void checkForUpdatedVersion_Foreground(Program &program, const QString &address);

// The published version of the tool whose home page is `address`, padded; "" when the download
// list cannot be had or does not name the tool.
QString GetLatestVersion(Program &program, const QString &address);

// Every dot-separated component left-padded with zeros to at least four digits, so that versions
// compare as texts in the order of the versions; "" for a text under four characters. A text of
// four or more characters without a dot fails (Failure 9).
QString padVersion(const QString &version);
// The same, telling a failure in a box and giving "".
QString PadVersionString(Dialogs &dialogs, const QString &version);
