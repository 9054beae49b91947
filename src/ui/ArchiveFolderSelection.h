#pragma once

#include <QString>

class Dialogs;
class Program;
class WindowHost;

// The platform's folder browser, opened at `startFolder`; the chosen folder, or "" when cancelled.
QString BrowseForFolder(Dialogs &dialogs, const QString &startFolder);

// The Browse button: a writable folder chosen in the browser becomes the archive folder.
void cmdBrowseForFolder_Click(Program &program, WindowHost &host);
// The UNC button: a folder typed as a path, checked for existence and write access while the
// window says so; Cancel or Escape stops waiting for the check.
void cmdEnterUNC_Click(Program &program, WindowHost &host);
