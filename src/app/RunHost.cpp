#include "app/RunHost.h"

#include <chrono>
#include <exception>
#include <future>

void whilePumping(RunHost &host, const std::function<void()> &work)
{
    std::future<void> done = std::async(std::launch::async, work);
    while (done.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready)
        host.pumpEvents();
    done.get();
}
