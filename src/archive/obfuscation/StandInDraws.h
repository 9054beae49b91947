#pragma once

// The map's keyed draws, for the files that give stand-ins.
#include "archive/obfuscation/StandInMap.h"
#include "common/Failure.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cerrno>
#include <cstring>

namespace obfuscation {

// The keyed draws for one value: HMAC-SHA256 of the secret over the space, the value and the
// candidates drawn one after the other, block after block as many bytes as are asked for.
class StandInMap::Draws {
public:
    Draws(const EVP_MAC_CTX *keyed, Space space, const std::string &key)
        : m_keyed(keyed)
    {
        m_message = tagOf(space);
        m_message += '\0';
        m_message += key;
        m_message.append(4, '\0');
    }
    ~Draws() { OPENSSL_cleanse(m_block, sizeof m_block); }
    uint8_t byte()
    {
        if (m_used == sizeof m_block) {
            std::memcpy(m_message.data() + m_message.size() - 4, &m_blockNumber, 4);
            ++m_blockNumber;
            // A copy of the keyed context: the key is set up once, not once a value.
            EVP_MAC_CTX *mac = EVP_MAC_CTX_dup(m_keyed);
            size_t length = 0;
            const bool made =
                mac &&
                EVP_MAC_update(mac, reinterpret_cast<const unsigned char *>(m_message.data()),
                               m_message.size()) &&
                EVP_MAC_final(mac, m_block, &length, sizeof m_block) && length == sizeof m_block;
            EVP_MAC_CTX_free(mac);
            if (!made)
                throw Failure(EIO, QStringLiteral("the keyed hash of a stand-in failed"));
            m_used = 0;
        }
        return m_block[m_used++];
    }
    // A number below `n`: two bytes where they suffice (the slight bias of a remainder does not
    // matter to a stand-in), eight where not.
    uint64_t below(uint64_t n)
    {
        uint64_t value = 0;
        for (int i = 0; i < (n <= 65536 ? 2 : 8); ++i)
            value = value << 8 | byte();
        return value % n;
    }

private:
    const EVP_MAC_CTX *m_keyed;
    std::string m_message;
    unsigned char m_block[32];
    size_t m_used = sizeof m_block;
    uint32_t m_blockNumber = 0;
};

} // namespace obfuscation
