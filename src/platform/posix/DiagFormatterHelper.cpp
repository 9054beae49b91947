// sorvik-diag-formatter: runs the served product's diagnostic line formatter for the program, in
// a process of its own, so that a component that crashes or hangs costs the file being formatted,
// not the run. It is a program of its own rather than a forked copy of the program: the program
// has other threads by the time it needs one, and a forked child of a threaded process may find
// the allocator's lock held for ever.
//
//   sorvik-diag-formatter LIBRARY PARENT_PID    (descriptors: see DiagFormatterProtocol.h)
#include "platform/WholeTransfer.h"
#include "platform/posix/DiagFormatterProtocol.h"

#include "orvel_components.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <dlfcn.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace DiagFormatterProtocol;

bool sendAll(const char *data, size_t size)
{
    return transferWhole(size, [&](size_t done) {
               return ::send(socketFd, data + done, size - done, MSG_NOSIGNAL);
           }).bytes == size;
}

bool receiveAll(char *data, size_t size)
{
    return transferWhole(size, [&](size_t done) {
               return ::recv(socketFd, data + done, size - done, 0);
           }).bytes == size;
}

void appendAnswer(std::string &to, int32_t status, const char *data, size_t length)
{
    const Header header{status, uint32_t(std::min<size_t>(length, UINT32_MAX))};
    to.append(reinterpret_cast<const char *>(&header), sizeof header);
    if (header.length)
        to.append(data, header.length);
}

template <typename Function> Function *symbol(void *library, const char *name)
{
    return reinterpret_cast<Function *>(::dlsym(library, name));
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3)
        return 2;
    // The helper never outlives the program, even one killed outright.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != pid_t(std::strtol(argv[2], nullptr, 10)))
        return 0;
    // Whatever else the program left open is none of the helper's business.
    if (::close_range(progressFd + 1, ~0U, 0) != 0) {
        for (int other = progressFd + 1; other < 65536; ++other)
            ::close(other);
    }
    void *const shared = ::mmap(nullptr, sizeof(std::atomic<uint32_t>), PROT_READ | PROT_WRITE,
                                MAP_SHARED, progressFd, 0);
    if (shared == MAP_FAILED)
        return 1;
    auto &progress = *static_cast<std::atomic<uint32_t> *>(shared);

    void *const library = ::dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    auto *const create =
        library
            ? symbol<decltype(orvel_diag_formatter_create)>(library, "orvel_diag_formatter_create")
            : nullptr;
    auto *const format = library ? symbol<decltype(orvel_diag_formatter_format_line)>(
                                       library, "orvel_diag_formatter_format_line")
                                 : nullptr;
    auto *const destroy = library ? symbol<decltype(orvel_diag_formatter_destroy)>(
                                        library, "orvel_diag_formatter_destroy")
                                  : nullptr;
    auto *const release = library ? symbol<decltype(orvel_free)>(library, "orvel_free") : nullptr;
    void *const instance = create && format && destroy && release ? create() : nullptr;

    std::string answers;
    appendAnswer(answers, instance ? 0 : -1, nullptr, 0);
    if (!sendAll(answers.data(), answers.size()) || !instance)
        return 0;
    std::string batch;
    for (;;) {
        uint32_t size = 0;
        if (!receiveAll(reinterpret_cast<char *>(&size), sizeof size))
            break;
        batch.resize(size);
        if (!receiveAll(batch.data(), size))
            break;
        // The program wrote the batch: its numbers are trusted, not checked.
        const char *at = batch.data();
        const auto number = [&] {
            uint32_t n = 0;
            std::memcpy(&n, at, sizeof n);
            at += sizeof n;
            return n;
        };
        const uint32_t count = number();
        answers.clear();
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t length = number();
            const char *const line = at;
            at += length;
            progress.store(i, std::memory_order_relaxed);
            char *text = nullptr;
            char *error = nullptr;
            size_t textLength = 0;
            const int status = format(instance, line, length, &text, &textLength, &error);
            if (status == 0)
                appendAnswer(answers, 0, text, text ? textLength : 0);
            else
                appendAnswer(answers, status, error, error ? std::strlen(error) : 0);
            release(text);
            release(error);
        }
        if (!sendAll(answers.data(), answers.size()))
            break;
    }
    destroy(instance);
    return 0;
}
