#include "archive/ZipArchive.h"

// Encryption's two hooks: the keys derived on the workers, the data encrypted where it is written.

using namespace ZipWork;

void ZipArchive::deriveKeys(Entry &entry, const Task &task)
{
    // The format's slow key derivation runs here, on the workers, side by side.
    if (entry.passphrase && task.offset == 0)
        entry.keys = std::make_unique<EntryKeys>(*entry.passphrase);
}

bool ZipArchive::encrypt(Entry &entry, Compressed &piece, QByteArray &mac)
{
    bool encrypted = entry.keys != nullptr;
    if (encrypted && piece.task.offset == 0) {
        QByteArray prefix;
        encrypted = m_encryptor.begin(*entry.keys, prefix);
        m_writer.write(prefix.constData(), size_t(prefix.size()));
        entry.compressedSize += quint64(prefix.size());
    }
    encrypted = encrypted && m_encryptor.encrypt(piece.data.data.data(), piece.data.length) &&
                (!piece.task.last || m_encryptor.finish(mac));
    if (!encrypted && entry.reason.isEmpty())
        entry.reason = QStringLiteral("it could not be encrypted");
    if (piece.task.last)
        entry.keys.reset();
    return encrypted;
}
