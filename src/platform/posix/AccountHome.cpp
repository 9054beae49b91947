#include "platform/AccountHome.h"

#include <QtGlobal>

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

void takeHomeFromAccount()
{
    // A home that is no full path would be taken from wherever the program was started.
    if (qgetenv("HOME").startsWith('/'))
        return;
    passwd entry{};
    passwd *found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(::geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found &&
        found->pw_dir && found->pw_dir[0] == '/')
        ::setenv("HOME", found->pw_dir, 1);
}
