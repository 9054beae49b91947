#include "archive/obfuscation/StandInMap.h"

#include "archive/obfuscation/Characters.h"
#include "archive/obfuscation/Rules.h"
#include "archive/obfuscation/StandInDraws.h"

#include <openssl/core_names.h>
#include <openssl/params.h>

#include <functional>

namespace obfuscation {

using namespace chars;

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
        m_known.add(uint8_t(space), *added.first);
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
    // Nor the value itself, which would leave it to be read, unless nothing else is left.
    const auto taken = [&](const std::string &c) { return c == key || table.reverse.count(c); };
    for (int attempt = 1; attempt < 32 && taken(candidate); ++attempt)
        candidate = draw(&draws, std::string());
    // Few are left of this shape: the next free one in order after the last draw.
    const std::string first = candidate;
    while (taken(candidate)) {
        candidate = draw(nullptr, candidate);
        if (candidate.empty() || candidate == first) {
            if (table.reverse.count(key))
                throw Failure(ENOSPC, QStringLiteral("every stand-in of a value's shape is taken"));
            candidate = key;
            break;
        }
    }
    add(space, key, candidate);
    m_changed = true;
    return candidate;
}

std::string StandInMap::name(std::string_view lowered, Found found)
{
    // Known already, and nothing to note: no lock.
    if (found == Found::ByRule)
        if (const auto known = m_known.find(uint8_t(Space::Name), lowered))
            return std::string(*known);
    std::unique_lock lock(m_mutex);
    std::string key(lowered);
    if (found != Found::ByRule) {
        const auto [noted, added] = m_literals.try_emplace(key, found == Found::ByPattern);
        if (added || (found == Found::ByPattern && !std::exchange(noted->second, true)))
            m_changed = true;
    }
    // The first digit of a run keeps whether it is 0, as a number's stand-in does: a run that
    // did not begin with "00" must not read as dialled abroad once replaced.
    const auto leading = [&](size_t i) { return i == 0 || !digit(at(key, i - 1)); };
    // After "user" a word such as "name" would not be taken for a name: never drawn.
    const auto next = [&](Draws *draws, const std::string &previous) {
        std::string out = key;
        if (draws) {
            for (size_t i = 0; i < out.size(); ++i) {
                const unsigned char u = static_cast<unsigned char>(out[i]);
                if (lower(u) || u >= 0x80)
                    out[i] = char('a' + draws->below(26));
                else if (digit(u) && !(leading(i) && u == '0'))
                    out[i] = char((leading(i) ? '1' + draws->below(9) : '0' + draws->below(10)));
            }
            return out;
        }
        // Counted like a number, from the last letter or digit.
        out = previous;
        for (size_t i = out.size(); i-- > 0;) {
            const unsigned char u = static_cast<unsigned char>(key[i]);
            if (!(lower(u) || u >= 0x80 || digit(u)) || (leading(i) && u == '0'))
                continue;
            const char last = digit(u) ? '9' : 'z';
            if (out[i] != last) {
                ++out[i];
                return out;
            }
            out[i] = digit(u) ? (leading(i) ? '1' : '0') : 'a';
        }
        return out;
    };
    return allocate(lock, Space::Name, key, [&](Draws *draws, const std::string &previous) {
        std::string out = next(draws, previous);
        // Drawn again; but where every other stand-in of the shape is taken, such a word (or
        // one that reads as something else) is still better than none.
        while (draws && (rules::notAnAccount(out) || rules::readsAsSomethingElse(out)))
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

std::vector<StandInMap::LiteralStandIn> StandInMap::literalStandIns() const
{
    const std::lock_guard lock(m_mutex);
    std::vector<LiteralStandIn> out;
    const Table &names = m_tables[size_t(Space::Name)];
    for (const auto &[key, within] : m_literals)
        if (const auto found = names.forward.find(key); found != names.forward.end())
            out.push_back({found->second, within});
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
