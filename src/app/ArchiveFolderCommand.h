#pragma once

#include <QString>

#include <cstdio>

class Program;

// "--archive-folder PATH": stores the archive folder from a shell, for the account that runs the
// program, after the checks the window makes of a folder chosen in it: it exists (a share: it is
// reached, through its logon), it takes a new file, and it is none of the program's own working
// folders. A local path is made absolute first: a scheduled run starts elsewhere. Says on `out`
// what was stored where, or on `err` why nothing was; the running instance's lock is taken first,
// since a window or run that ends stores its own folder. Returns 0 stored, 1 refused, 3 another
// instance runs.
int storeArchiveFolderCommand(Program &program, const QString &typed, std::FILE *out,
                              std::FILE *err);
