#include "archive/ZipEncryption.h"

#include "archive/LittleEndian.h"
#include "platform/PassphraseFile.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace {

constexpr int iterations = 1000;
constexpr size_t keyLength = 32;
constexpr size_t blockLength = 16;
// The format's "vendor version" 2: the CRC is not stored.
constexpr quint16 vendorVersion = 2;
constexpr quint8 strength256 = 3;

} // namespace

QByteArray ZipEncryption::extraField(quint16 realMethod)
{
    QByteArray field;
    put16(field, 0x9901);
    put16(field, 7);
    put16(field, vendorVersion);
    field.append("AE", 2);
    field.append(char(strength256));
    put16(field, realMethod);
    return field;
}

EntryKeys::EntryKeys(const Passphrase &passphrase)
{
    if (RAND_bytes(m_salt, int(sizeof m_salt)) != 1)
        throw std::runtime_error("no random salt could be drawn for its encryption");
    if (PKCS5_PBKDF2_HMAC(passphrase.data(), int(passphrase.size()), m_salt, int(sizeof m_salt),
                          iterations, EVP_sha1(), int(sizeof m_material), m_material) != 1)
        throw std::runtime_error("the keys for its encryption could not be derived");
}

EntryKeys::~EntryKeys()
{
    OPENSSL_cleanse(m_material, sizeof m_material);
}

EntryEncryptor::~EntryEncryptor()
{
    EVP_CIPHER_CTX_free(m_cipher);
    EVP_MAC_CTX_free(m_mac);
    OPENSSL_cleanse(m_stream, sizeof m_stream);
}

bool EntryEncryptor::begin(const EntryKeys &keys, QByteArray &prefix)
{
    if (!m_cipher && !(m_cipher = EVP_CIPHER_CTX_new()))
        return false;
    if (!m_mac) {
        EVP_MAC *hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
        m_mac = hmac ? EVP_MAC_CTX_new(hmac) : nullptr;
        EVP_MAC_free(hmac);
        if (!m_mac)
            return false;
    }
    // The format's counter mode: AES of a block counter, little-endian, starting at 1, each block
    // of key stream XORed with the data. ECB gives the AES of the counter blocks built here.
    char digest[] = "SHA1";
    const OSSL_PARAM parameters[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_end()};
    if (EVP_EncryptInit_ex(m_cipher, EVP_aes_256_ecb(), nullptr, keys.m_material, nullptr) != 1 ||
        EVP_CIPHER_CTX_set_padding(m_cipher, 0) != 1 ||
        EVP_MAC_init(m_mac, keys.m_material + keyLength, keyLength, parameters) != 1)
        return false;
    m_counter = 1;
    m_used = m_available = 0;
    prefix = QByteArray(reinterpret_cast<const char *>(keys.m_salt), sizeof keys.m_salt);
    prefix.append(reinterpret_cast<const char *>(keys.m_material + 2 * keyLength),
                  ZipEncryption::verifierLength);
    return true;
}

bool EntryEncryptor::refill(size_t wanted)
{
    // Only as much as the data needs: a small entry does not pay for a whole buffer.
    const size_t blocks = std::min(streamLength, wanted + blockLength - 1) / blockLength;
    unsigned char counters[streamLength];
    for (size_t block = 0; block < blocks; ++block) {
        quint64 counter = m_counter++;
        unsigned char *at = counters + block * blockLength;
        for (size_t i = 0; i < 8; ++i, counter >>= 8)
            at[i] = static_cast<unsigned char>(counter);
        std::memset(at + 8, 0, blockLength - 8);
    }
    int produced = 0;
    if (EVP_EncryptUpdate(m_cipher, m_stream, &produced, counters, int(blocks * blockLength)) !=
            1 ||
        size_t(produced) != blocks * blockLength)
        return false;
    m_available = size_t(produced);
    m_used = 0;
    return true;
}

bool EntryEncryptor::encrypt(char *data, size_t length)
{
    unsigned char *bytes = reinterpret_cast<unsigned char *>(data);
    for (size_t done = 0; done < length;) {
        if (m_used == m_available && !refill(length - done))
            return false;
        const size_t n = std::min(length - done, m_available - m_used);
        size_t i = 0;
        // Eight bytes at a time; the compiler makes one load and XOR of each.
        for (; i + 8 <= n; i += 8) {
            quint64 word, key;
            std::memcpy(&word, bytes + done + i, 8);
            std::memcpy(&key, m_stream + m_used + i, 8);
            word ^= key;
            std::memcpy(bytes + done + i, &word, 8);
        }
        for (; i < n; ++i)
            bytes[done + i] ^= m_stream[m_used + i];
        m_used += n;
        done += n;
    }
    return length == 0 || EVP_MAC_update(m_mac, bytes, length) == 1;
}

bool EntryEncryptor::finish(QByteArray &mac)
{
    unsigned char code[EVP_MAX_MD_SIZE];
    size_t length = 0;
    OPENSSL_cleanse(m_stream, m_available);
    m_used = m_available = 0;
    if (EVP_MAC_final(m_mac, code, &length, sizeof code) != 1 || length < ZipEncryption::macLength)
        return false;
    mac = QByteArray(reinterpret_cast<const char *>(code), ZipEncryption::macLength);
    return true;
}
