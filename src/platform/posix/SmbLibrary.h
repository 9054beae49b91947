#pragma once

// The SMB client library, opened when a share is first reached rather than when the program
// starts: it brings more than a hundred libraries with it, whose loading cost every run some
// 40 ms, shares or not. The library's calls below go to its entry points under their own names.

#include <QString>

#include <cerrno>
#include <functional>
#include <libsmbclient.h>
#include <type_traits>

#define SORVIK_SMB_CALLS(X)                                                                        \
    X(smbc_new_context)                                                                            \
    X(smbc_init_context)                                                                           \
    X(smbc_free_context)                                                                           \
    X(smbc_setDebug)                                                                               \
    X(smbc_setLogCallback)                                                                         \
    X(smbc_setOptionUserData)                                                                      \
    X(smbc_getOptionUserData)                                                                      \
    X(smbc_setFunctionAuthDataWithContext)                                                         \
    X(smbc_setTimeout)                                                                             \
    X(smbc_setPort)                                                                                \
    X(smbc_setOptionUseKerberos)                                                                   \
    X(smbc_setOptionFallbackAfterKerberos)                                                         \
    X(smbc_setOptionNoAutoAnonymousLogin)                                                          \
    X(smbc_setOptionUseCCache)                                                                     \
    X(smbc_setOptionOpenShareMode)                                                                 \
    X(smbc_getFunctionPurgeCachedServers)                                                          \
    X(smbc_getFunctionStat)                                                                        \
    X(smbc_getFunctionOpen)                                                                        \
    X(smbc_getFunctionRead)                                                                        \
    X(smbc_getFunctionWrite)                                                                       \
    X(smbc_getFunctionClose)                                                                       \
    X(smbc_getFunctionUnlink)                                                                      \
    X(smbc_getFunctionRename)                                                                      \
    X(smbc_getFunctionMkdir)                                                                       \
    X(smbc_getFunctionChmod)                                                                       \
    X(smbc_getFunctionOpendir)                                                                     \
    X(smbc_getFunctionReaddirPlus2)                                                                \
    X(smbc_getFunctionClosedir)

namespace SmbLibrary {

// What the calling thread is told each time a call to a server came back with the server's
// answer (anything but the library's own time-out): a job of many slow calls is not taken for a
// silent server (see SmbWorker).
extern thread_local std::function<void()> t_answered;

// A call to a server, its answer told to t_answered.
template <typename Function> struct Told {
    Function function;
    template <typename... Arguments> auto operator()(Arguments... arguments) const
    {
        const auto result = function(arguments...);
        const int error = errno;
        bool failed = false;
        if constexpr (std::is_pointer_v<decltype(result)>)
            failed = result == nullptr;
        else
            failed = result < 0;
        if (t_answered && !(failed && (error == ETIMEDOUT || error == EAGAIN)))
            t_answered();
        errno = error;
        return result;
    }
};

// The library's smbc_getFunction... entry points, handing out the calls as Told ones.
template <typename Getter> struct Telling {
    Getter getter;
    auto operator()(SMBCCTX *context) const
    {
        return Told<decltype(getter(context))>{getter(context)};
    }
};

struct Calls {
#define SORVIK_SMB_MEMBER(name) decltype(&::name) name = nullptr;
    SORVIK_SMB_CALLS(SORVIK_SMB_MEMBER)
#undef SORVIK_SMB_MEMBER
};

// Opens the library, once for the process; why it cannot be, or empty when it is open.
const QString &open();
// Its entry points, once open() has said nothing.
const Calls &calls();

} // namespace SmbLibrary

#ifndef SORVIK_SMB_LIBRARY_ITSELF
#define SORVIK_SMB_REDIRECT(name) (SmbLibrary::calls().name)
#define SORVIK_SMB_TELLING(name) (SmbLibrary::Telling<decltype(&::name)>{SmbLibrary::calls().name})
#define smbc_new_context SORVIK_SMB_REDIRECT(smbc_new_context)
#define smbc_init_context SORVIK_SMB_REDIRECT(smbc_init_context)
#define smbc_free_context SORVIK_SMB_REDIRECT(smbc_free_context)
#define smbc_setDebug SORVIK_SMB_REDIRECT(smbc_setDebug)
#define smbc_setLogCallback SORVIK_SMB_REDIRECT(smbc_setLogCallback)
#define smbc_setOptionUserData SORVIK_SMB_REDIRECT(smbc_setOptionUserData)
#define smbc_getOptionUserData SORVIK_SMB_REDIRECT(smbc_getOptionUserData)
#define smbc_setFunctionAuthDataWithContext SORVIK_SMB_REDIRECT(smbc_setFunctionAuthDataWithContext)
#define smbc_setTimeout SORVIK_SMB_REDIRECT(smbc_setTimeout)
#define smbc_setPort SORVIK_SMB_REDIRECT(smbc_setPort)
#define smbc_setOptionUseKerberos SORVIK_SMB_REDIRECT(smbc_setOptionUseKerberos)
#define smbc_setOptionFallbackAfterKerberos SORVIK_SMB_REDIRECT(smbc_setOptionFallbackAfterKerberos)
#define smbc_setOptionNoAutoAnonymousLogin SORVIK_SMB_REDIRECT(smbc_setOptionNoAutoAnonymousLogin)
#define smbc_setOptionUseCCache SORVIK_SMB_REDIRECT(smbc_setOptionUseCCache)
#define smbc_setOptionOpenShareMode SORVIK_SMB_REDIRECT(smbc_setOptionOpenShareMode)
#define smbc_getFunctionPurgeCachedServers SORVIK_SMB_TELLING(smbc_getFunctionPurgeCachedServers)
#define smbc_getFunctionStat SORVIK_SMB_TELLING(smbc_getFunctionStat)
#define smbc_getFunctionOpen SORVIK_SMB_TELLING(smbc_getFunctionOpen)
#define smbc_getFunctionRead SORVIK_SMB_TELLING(smbc_getFunctionRead)
#define smbc_getFunctionWrite SORVIK_SMB_TELLING(smbc_getFunctionWrite)
#define smbc_getFunctionClose SORVIK_SMB_TELLING(smbc_getFunctionClose)
#define smbc_getFunctionUnlink SORVIK_SMB_TELLING(smbc_getFunctionUnlink)
#define smbc_getFunctionRename SORVIK_SMB_TELLING(smbc_getFunctionRename)
#define smbc_getFunctionMkdir SORVIK_SMB_TELLING(smbc_getFunctionMkdir)
#define smbc_getFunctionChmod SORVIK_SMB_TELLING(smbc_getFunctionChmod)
#define smbc_getFunctionOpendir SORVIK_SMB_TELLING(smbc_getFunctionOpendir)
#define smbc_getFunctionReaddirPlus2 SORVIK_SMB_TELLING(smbc_getFunctionReaddirPlus2)
#define smbc_getFunctionClosedir SORVIK_SMB_TELLING(smbc_getFunctionClosedir)
#endif
