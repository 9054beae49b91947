#include "archive/obfuscation/StandInMap.h"

#include "archive/obfuscation/Characters.h"
#include "archive/obfuscation/Rules.h"
#include "common/Failure.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <cerrno>
#include <cstring>
#include <functional>

namespace obfuscation {

using namespace chars;

namespace {

std::string dotted(uint32_t address, int numbers = 4)
{
    std::string out;
    for (int i = 0; i < numbers; ++i) {
        if (i)
            out += '.';
        out += std::to_string(address >> (24 - 8 * i) & 0xff);
    }
    return out;
}

std::string hexOf(const uint8_t *bytes, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

uint64_t fromHex(std::string_view text)
{
    uint64_t value = 0;
    for (const char c : text)
        value = value << 4 | uint64_t(digit(c) ? c - '0' : toLower(c) - 'a' + 10);
    return value;
}

} // namespace

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

StandInMap::StandInMap(std::string secret)
{
    EVP_MAC *hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    m_keyed = hmac ? EVP_MAC_CTX_new(hmac) : nullptr;
    EVP_MAC_free(hmac);
    char digest[] = "SHA256";
    const OSSL_PARAM parameters[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0), OSSL_PARAM_END};
    const bool keyed =
        m_keyed && EVP_MAC_init(m_keyed, reinterpret_cast<const unsigned char *>(secret.data()),
                                secret.size(), parameters);
    OPENSSL_cleanse(secret.data(), secret.size());
    if (!keyed)
        throw Failure(EIO, QStringLiteral("the keyed hash for stand-ins cannot be set up"));
    // The numbers' permutation has a key of its own, drawn from the secret.
    Draws draws(m_keyed, Space::Number, std::string());
    char key[16];
    for (char &c : key)
        c = char(draws.byte());
    m_numbers = std::make_unique<NumberPermutation>(std::string_view(key, sizeof key));
    OPENSSL_cleanse(key, sizeof key);
}

StandInMap::~StandInMap()
{
    EVP_MAC_CTX_free(m_keyed);
}

void StandInMap::add(Space space, std::string key, std::string standIn)
{
    Table &table = m_tables[size_t(space)];
    const auto added = table.forward.emplace(std::move(key), std::move(standIn));
    if (!added.second)
        return;
    table.reverse.emplace(added.first->second, added.first->first);
    if (space == Space::Name || space == Space::Number)
        m_known.add(uint8_t(space), added.first->first, added.first->second);
}

std::string
StandInMap::allocate(std::unique_lock<std::mutex> &lock, Space space, const std::string &key,
                     const std::function<std::string(Draws *, const std::string &)> &draw)
{
    Table &table = m_tables[size_t(space)];
    if (const auto found = table.forward.find(key); found != table.forward.end())
        return found->second;
    // The keyed hash is what a new value costs: drawn without the lock the other workers wait
    // on, then looked at again, since one of them may have given it meanwhile.
    lock.unlock();
    Draws draws(m_keyed, space, key);
    std::string candidate = draw(&draws, std::string());
    lock.lock();
    if (const auto found = table.forward.find(key); found != table.forward.end())
        return found->second;
    for (int attempt = 1; attempt < 32 && table.reverse.count(candidate); ++attempt)
        candidate = draw(&draws, std::string());
    // Few are left of this shape: the next free one in order after the last draw.
    const std::string first = candidate;
    while (table.reverse.count(candidate)) {
        candidate = draw(nullptr, candidate);
        if (candidate.empty() || candidate == first)
            throw Failure(ENOSPC, QStringLiteral("every stand-in of a value's shape is taken"));
    }
    add(space, key, candidate);
    m_changed = true;
    return candidate;
}

std::string StandInMap::name(std::string_view lowered, bool literal)
{
    // Known already, and nothing to note: no lock.
    if (!literal)
        if (const auto known = m_known.find(uint8_t(Space::Name), lowered))
            return std::string(*known);
    std::unique_lock lock(m_mutex);
    std::string key(lowered);
    if (literal && m_literals.insert(key).second)
        m_changed = true;
    // After "user" a word such as "name" would not be taken for a name: never drawn.
    const auto next = [&](Draws *draws, const std::string &previous) {
        std::string out = key;
        if (draws) {
            for (char &c : out) {
                const unsigned char u = static_cast<unsigned char>(c);
                if (lower(u) || u >= 0x80)
                    c = char('a' + draws->below(26));
                else if (digit(u))
                    c = char('0' + draws->below(10));
            }
            return out;
        }
        // Counted like a number, from the last letter or digit.
        out = previous;
        for (size_t i = out.size(); i-- > 0;) {
            const unsigned char u = static_cast<unsigned char>(key[i]);
            if (!(lower(u) || u >= 0x80 || digit(u)))
                continue;
            const char last = digit(u) ? '9' : 'z';
            if (out[i] != last) {
                ++out[i];
                return out;
            }
            out[i] = digit(u) ? '0' : 'a';
        }
        return out;
    };
    return allocate(lock, Space::Name, key, [&](Draws *draws, const std::string &previous) {
        std::string out = next(draws, previous);
        // Drawn again; but where every other stand-in of the shape is taken, such a word is
        // still better than none.
        while (draws && rules::notAnAccount(out))
            out = next(draws, out);
        return out;
    });
}

std::string StandInMap::number(std::string_view digits)
{
    if (const auto known = m_known.find(uint8_t(Space::Number), digits))
        return std::string(*known);
    const std::string key(digits);
    const std::optional<std::string> image = m_numbers->forward(key);
    std::unique_lock lock(m_mutex);
    Table &table = m_tables[size_t(Space::Number)];
    if (const auto found = table.forward.find(key); found != table.forward.end())
        return found->second;
    // No other number has this image; a stand-in drawn for one by a map of old could.
    if (image && !table.reverse.count(*image)) {
        add(Space::Number, key, *image);
        m_changed = true;
        return *image;
    }
    const size_t lead = std::min(key.find_first_not_of('0'), key.size());
    return allocate(lock, Space::Number, key, [&](Draws *draws, const std::string &previous) {
        std::string out = previous.empty() ? key : previous;
        if (draws) {
            for (size_t i = lead; i < out.size(); ++i)
                out[i] = char(i == lead ? '1' + draws->below(9) : '0' + draws->below(10));
            return out;
        }
        for (size_t i = out.size(); i-- > lead;) {
            if (out[i] != '9') {
                ++out[i];
                return out;
            }
            out[i] = i == lead ? '1' : '0';
        }
        return out;
    });
}

uint32_t StandInMap::ipv4(uint32_t address, std::string_view spelling)
{
    std::unique_lock lock(m_mutex);
    // Indexed draws: a random index first, then the following ones.
    const auto indexed = [](uint64_t size, const std::function<std::string(uint64_t)> &render) {
        return [size, render](Draws *draws, const std::string &previous) {
            if (draws)
                return render(draws->below(size));
            const size_t dot = previous.rfind('.');
            const uint64_t index = std::stoull(previous.substr(dot + 1));
            return render((index + 1) % size);
        };
    };
    // 3,840 networks of 65,536 addresses in 240.0.0.0/4, none in 255.0.0.0/8: a stand-in must
    // not look like a netmask or the broadcast address, which are left as they are.
    const std::string net16 =
        allocate(lock, Space::IPv4Net16, dotted(address, 2),
                 indexed(3840, [](uint64_t i) { return "n." + std::to_string(i); }));
    const std::string net24 =
        allocate(lock, Space::IPv4Net24, dotted(address, 3),
                 indexed(256, [&](uint64_t i) { return net16 + "." + std::to_string(i); }));
    const unsigned host = address & 0xff;
    // An address written otherwise than plainly has a stand-in of its own, so that each
    // spelling comes back as it was.
    const std::string key =
        spelling.empty() ? dotted(address) : dotted(address) + "#" + std::string(spelling);
    const std::string full =
        allocate(lock, Space::IPv4, key, [&](Draws *draws, const std::string &previous) {
            // The network's and the broadcast address stay what they are.
            if ((host == 0 || host == 255) && spelling.empty())
                return previous.empty() ? net24 + "." + std::to_string(host) : std::string();
            const unsigned next =
                draws ? unsigned(1 + draws->below(254))
                      : unsigned(std::stoul(previous.substr(previous.rfind('.') + 1))) % 254 + 1;
            return net24 + "." + std::to_string(next);
        });
    // "n.<net16>.<net24>.<host>"
    uint32_t numbers[3];
    size_t from = 2;
    for (uint32_t &n : numbers) {
        const size_t dot = full.find('.', from);
        n = uint32_t(std::stoul(full.substr(from, dot - from)));
        from = dot + 1;
    }
    return 0xf0000000u | numbers[0] << 16 | numbers[1] << 8 | numbers[2];
}

std::array<uint8_t, 16> StandInMap::ipv6(const std::array<uint8_t, 16> &address,
                                         std::string_view spelling)
{
    std::unique_lock lock(m_mutex);
    const auto group = [](uint64_t size, const std::string &parent) {
        return [size, parent](Draws *draws, const std::string &previous) {
            const uint64_t index =
                draws ? draws->below(size)
                      : (fromHex(previous.substr(previous.rfind(':') + 1)) + 1) % size;
            const uint8_t bytes[2] = {uint8_t(index >> 8), uint8_t(index)};
            return parent + ":" + hexOf(bytes, 2);
        };
    };
    const std::string net48 =
        allocate(lock, Space::IPv6Net48, hexOf(address.data(), 6), group(65536, "n"));
    const std::string net64 =
        allocate(lock, Space::IPv6Net64, hexOf(address.data(), 8), group(65536, net48));
    const std::string key = hexOf(address.data(), 16) +
                            (spelling.empty() ? std::string() : "#" + std::string(spelling));
    const std::string full =
        allocate(lock, Space::IPv6, key, [&](Draws *draws, const std::string &) {
            if (!draws)
                return std::string(); // 2^64 to draw from: a draw always finds one
            uint8_t bytes[8];
            for (uint8_t &b : bytes)
                b = draws->byte();
            return net64 + ":" + hexOf(bytes, 8);
        });
    // "n:PPPP:SSSS:IIIIIIIIIIIIIIII" in 2001:db8::/32
    std::array<uint8_t, 16> out{0x20, 0x01, 0x0d, 0xb8};
    const std::string digits = full.substr(2, 4) + full.substr(7, 4) + full.substr(12);
    for (size_t i = 0; i < 12; ++i)
        out[4 + i] = uint8_t(fromHex(std::string_view(digits).substr(2 * i, 2)));
    return out;
}

uint64_t StandInMap::mac(uint64_t address, std::string_view spelling)
{
    std::unique_lock lock(m_mutex);
    uint8_t original[6];
    for (int i = 0; i < 6; ++i)
        original[i] = uint8_t(address >> (40 - 8 * i));
    const std::string full = allocate(
        lock, Space::Mac,
        hexOf(original, 6) + (spelling.empty() ? std::string() : "#" + std::string(spelling)),
        [&](Draws *draws, const std::string &) {
            if (!draws)
                return std::string(); // 2^46 to draw from
            // With a letter in it, so that it carries the capitals or small letters it is
            // written in back to the original (one draw in some 350 has none).
            std::string out;
            while (out.find_first_of("abcdef") == std::string::npos) {
                uint8_t bytes[6];
                for (uint8_t &b : bytes)
                    b = draws->byte();
                // Locally administered: no maker's number; a group address stays one.
                bytes[0] = uint8_t((bytes[0] & 0xfc) | 0x02 | (original[0] & 0x01));
                out = hexOf(bytes, 6);
            }
            return out;
        });
    return fromHex(full);
}

std::optional<uint32_t> StandInMap::originalIpv4(uint32_t standIn) const
{
    if (standIn >> 28 != 0xf)
        return std::nullopt;
    auto original = this->original(Space::IPv4, "n." + std::to_string(standIn >> 16 & 0xfff) + "." +
                                                    std::to_string(standIn >> 8 & 0xff) + "." +
                                                    std::to_string(standIn & 0xff));
    if (!original)
        return std::nullopt;
    original->resize(std::min(original->find('#'), original->size()));
    uint32_t value = 0;
    for (size_t from = 0, dot = 0; dot != std::string::npos; from = dot + 1) {
        dot = original->find('.', from);
        value = value << 8 | uint32_t(std::stoul(original->substr(from, dot - from)));
    }
    return value;
}

std::optional<std::array<uint8_t, 16>>
StandInMap::originalIpv6(const std::array<uint8_t, 16> &standIn) const
{
    if (standIn[0] != 0x20 || standIn[1] != 0x01 || standIn[2] != 0x0d || standIn[3] != 0xb8)
        return std::nullopt;
    auto original = this->original(Space::IPv6, "n:" + hexOf(standIn.data() + 4, 2) + ":" +
                                                    hexOf(standIn.data() + 6, 2) + ":" +
                                                    hexOf(standIn.data() + 8, 8));
    if (original)
        original->resize(std::min(original->find('#'), original->size()));
    if (!original || original->size() != 32)
        return std::nullopt;
    std::array<uint8_t, 16> out;
    for (size_t i = 0; i < 16; ++i)
        out[i] = uint8_t(fromHex(std::string_view(*original).substr(2 * i, 2)));
    return out;
}

std::optional<uint64_t> StandInMap::originalMac(uint64_t standIn) const
{
    uint8_t bytes[6];
    for (int i = 0; i < 6; ++i)
        bytes[i] = uint8_t(standIn >> (40 - 8 * i));
    const auto original = this->original(Space::Mac, hexOf(bytes, 6));
    if (!original)
        return std::nullopt;
    return fromHex(std::string_view(*original).substr(0, 12));
}

std::optional<std::string> StandInMap::original(Space space, std::string_view standIn) const
{
    const std::lock_guard lock(m_mutex);
    const Table &table = m_tables[size_t(space)];
    const auto found = table.reverse.find(standIn);
    if (found == table.reverse.end())
        return std::nullopt;
    return std::string(found->second);
}

void StandInMap::spell(Space space, std::string standIn, std::string original)
{
    const std::lock_guard lock(m_mutex);
    if (m_tables[size_t(space)].spellings.emplace(std::move(standIn), std::move(original)).second)
        m_changed = true;
}

std::optional<std::string> StandInMap::spelling(Space space, std::string_view standIn) const
{
    const std::lock_guard lock(m_mutex);
    const Table &table = m_tables[size_t(space)];
    const auto found = table.spellings.find(std::string(standIn));
    if (found == table.spellings.end())
        return std::nullopt;
    return std::string(found->second);
}

std::vector<std::string> StandInMap::literalStandIns() const
{
    const std::lock_guard lock(m_mutex);
    std::vector<std::string> out;
    const Table &names = m_tables[size_t(Space::Name)];
    for (const std::string &key : m_literals)
        if (const auto found = names.forward.find(key); found != names.forward.end())
            out.push_back(found->second);
    return out;
}

bool StandInMap::changed() const
{
    const std::lock_guard lock(m_mutex);
    return m_changed;
}

size_t StandInMap::valueCount() const
{
    const std::lock_guard lock(m_mutex);
    size_t count = 0;
    for (const Table &table : m_tables)
        count += table.forward.size();
    return count;
}

} // namespace obfuscation
