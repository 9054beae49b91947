#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <cstddef>

class Passphrase;
struct evp_cipher_ctx_st;
struct evp_mac_ctx_st;

// The AES-256 entry encryption that the common ZIP tools read (the "AE-2" form). An encrypted
// entry is stored with method 99 and an extra field naming the encryption and its real method;
// its data is a random salt, a password verifier, the compressed data encrypted with AES-256 in
// the format's counter mode, and an authentication code (HMAC-SHA1) over the encrypted data. The
// CRC field holds 0, so the entry tells nothing of its content. Every entry gets keys of its own,
// derived from the passphrase and a fresh salt (PBKDF2-HMAC-SHA1, the format's 1000 rounds): the
// counter starts at 1 for every entry, so two entries must never share a key.
namespace ZipEncryption {
constexpr quint16 method = 99;
// Version 5.1 of the format rules: what a reader needs for AES.
constexpr quint16 versionNeeded = 51;
// The general purpose flag that marks an entry encrypted.
constexpr quint16 encryptedFlag = 1;
constexpr size_t saltLength = 16;
constexpr size_t verifierLength = 2;
constexpr size_t macLength = 10;
// What an encrypted entry's data holds beyond the compressed data.
constexpr size_t overhead = saltLength + verifierLength + macLength;
// The extra field of an encrypted entry, for its local header and its central record.
QByteArray extraField(quint16 realMethod);
} // namespace ZipEncryption

// The salt and keys of one entry. Deriving them is the slow part of encrypting (about a
// millisecond, by the format's design), so it is done on the compression workers, in parallel;
// the keys are wiped when they go.
class EntryKeys {
public:
    // Draws a fresh salt and derives the keys from it. Throws std::runtime_error.
    explicit EntryKeys(const Passphrase &passphrase);
    ~EntryKeys();
    EntryKeys(const EntryKeys &) = delete;
    EntryKeys &operator=(const EntryKeys &) = delete;

private:
    friend class EntryEncryptor;
    unsigned char m_salt[ZipEncryption::saltLength];
    // AES key, HMAC key, verifier, in this order.
    unsigned char m_material[32 + 32 + ZipEncryption::verifierLength];
};

// Encrypts entries one after the other as their data is written, piece by piece, in order: the
// thread that writes the archive owns it. Failures are returned, never thrown: a piece that
// cannot be encrypted costs its entry, never an unencrypted entry in its place.
class EntryEncryptor {
public:
    EntryEncryptor() = default;
    ~EntryEncryptor();
    EntryEncryptor(const EntryEncryptor &) = delete;
    EntryEncryptor &operator=(const EntryEncryptor &) = delete;

    // Starts an entry; `prefix` receives what comes before its encrypted data (salt, verifier).
    bool begin(const EntryKeys &keys, QByteArray &prefix);
    // Encrypts `length` bytes in place, continuing the entry's key stream.
    bool encrypt(char *data, size_t length);
    // Ends the entry; `mac` receives the authentication code that follows its data.
    bool finish(QByteArray &mac);

private:
    // Makes key stream for `wanted` more bytes, or as much as the buffer holds.
    bool refill(size_t wanted);

    evp_cipher_ctx_st *m_cipher = nullptr;
    evp_mac_ctx_st *m_mac = nullptr;
    quint64 m_counter = 0;
    // Key stream made ahead, many blocks in one call; `m_used` of its `m_available` bytes are
    // spent.
    static constexpr size_t streamLength = 16 << 10;
    unsigned char m_stream[streamLength];
    size_t m_available = 0;
    size_t m_used = 0;
};
