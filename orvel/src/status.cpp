// The stand-in's status object. The served product is always running here, unless the
// environment says otherwise: ORVEL_SIM_STATUS=<number> reports that status instead, and
// ORVEL_SIM_STATUS=unreadable makes the read itself fail. Tests use it to play a stopped product.
#include "orvel_components.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

extern "C" int orvel_status_read(int32_t *status)
{
    if (!status)
        return EINVAL;
    const char *forced = std::getenv("ORVEL_SIM_STATUS");
    if (!forced || !*forced) {
        *status = ORVEL_STATUS_RUNNING;
        return 0;
    }
    char *end = nullptr;
    errno = 0;
    const long value = std::strtol(forced, &end, 10);
    if (errno != 0 || *end != '\0' || end == forced)
        return EIO;
    *status = int32_t(value);
    return 0;
}

extern "C" void orvel_free(void *p)
{
    std::free(p);
}
