#pragma once

// The SMB client library, opened when a share is first reached rather than when the program
// starts: it brings more than a hundred libraries with it, whose loading cost every run some
// 40 ms, shares or not. The library's calls below go to its entry points under their own names.

#include <QString>

#include <libsmbclient.h>

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
#define smbc_getFunctionPurgeCachedServers SORVIK_SMB_REDIRECT(smbc_getFunctionPurgeCachedServers)
#define smbc_getFunctionStat SORVIK_SMB_REDIRECT(smbc_getFunctionStat)
#define smbc_getFunctionOpen SORVIK_SMB_REDIRECT(smbc_getFunctionOpen)
#define smbc_getFunctionRead SORVIK_SMB_REDIRECT(smbc_getFunctionRead)
#define smbc_getFunctionWrite SORVIK_SMB_REDIRECT(smbc_getFunctionWrite)
#define smbc_getFunctionClose SORVIK_SMB_REDIRECT(smbc_getFunctionClose)
#define smbc_getFunctionUnlink SORVIK_SMB_REDIRECT(smbc_getFunctionUnlink)
#define smbc_getFunctionRename SORVIK_SMB_REDIRECT(smbc_getFunctionRename)
#define smbc_getFunctionMkdir SORVIK_SMB_REDIRECT(smbc_getFunctionMkdir)
#define smbc_getFunctionChmod SORVIK_SMB_REDIRECT(smbc_getFunctionChmod)
#define smbc_getFunctionOpendir SORVIK_SMB_REDIRECT(smbc_getFunctionOpendir)
#define smbc_getFunctionReaddirPlus2 SORVIK_SMB_REDIRECT(smbc_getFunctionReaddirPlus2)
#define smbc_getFunctionClosedir SORVIK_SMB_REDIRECT(smbc_getFunctionClosedir)
#endif
