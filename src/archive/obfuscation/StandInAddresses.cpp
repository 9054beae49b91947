// The stand-ins of addresses: in networks kept for documentation or reserved, the networks of
// the originals kept together.
#include "archive/obfuscation/StandInMap.h"

#include "archive/obfuscation/Characters.h"
#include "archive/obfuscation/StandInDraws.h"

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

} // namespace obfuscation
