#include "app/RunHost.h"

#include "app/Program.h"

void stopIfCancelled(const Program &program)
{
    if (program.cancelRequested())
        throw RunCancelled{};
}
