// The registry-file parser takes any bytes: whatever it builds, looking keys up must hold.
#include "platform/posix/RegFile.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const RegFile hive =
        RegFile::parse(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    for (const quint32 root : {RegistryRoot::ClassesRoot, RegistryRoot::LocalMachine})
        for (const char *key : {"", "SOFTWARE\\Quenvo", "Software\\Quenvo\\QuenvoLogMgr\\1.0\\",
                                "CLSID\\{60EB7702-6A7A-11D1-8029-00C04FAD610B}\\InprocServer32"})
            if (const RegFile::Values *values = hive.key(root, QLatin1String(key)))
                for (auto it = values->cbegin(); it != values->cend(); ++it)
                    (void)it.value().data.size();
    return 0;
}
