// orvel-sim: sets up a served-product environment in a folder, for the demo, the end-to-end tests
// and the benchmarks. The same seed gives the same files, byte for byte.
//
// Leaves ROOT/registry.reg (point SORVIK_REGISTRY at it) and the logging folder ROOT/logs.
#include "orvel_plant.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <string>
#include <vector>
#include <zlib.h>

namespace fs = std::filesystem;

namespace {

const char *const usageText =
    "usage: orvel-sim --root DIR [options]\n"
    "  --version MAJOR.MINOR   served product version (4.0)\n"
    "  --build MAJOR.MINOR     build number (1.52)\n"
    "  --library PATH          components library to register (the one beside orvel-sim)\n"
    "  --no-components         register no components (the product looks stopped)\n"
    "  --no-logging-folder     name no logging folder in the registry\n"
    "  --data N                data_ files (3)\n"
    "  --diag N                diag_ files (3)\n"
    "  --other N               files that are neither (2)\n"
    "  --data-size BYTES       size of each data_ file (65536)\n"
    "  --diag-size BYTES       size of each diag_ file (65536)\n"
    "  --text-style STYLE      what the logs hold: uniform (the default: few message forms),\n"
    "                          varied (many message forms, ids, host names and numbers;\n"
    "                          deflates to about 28%), or mixed (varied text, and data_ files of\n"
    "                          packed binary records or already compressed logs)\n"
    "  --long-line BYTES       one more diag_ file holding a single record of that length\n"
    "  --long-records          every diag_ file holds, among its ordinary lines, a record past\n"
    "                          the 510 characters a readable line keeps and one past 64 KiB\n"
    "  --odd                   add the odd cases: mixed-case names, a name of exactly diag_, a\n"
    "                          3-character name, a subfolder, blank and control lines, over-long\n"
    "                          lines (some past 64 KiB, between short ones), lines that are not\n"
    "                          records\n"
    "  --plant-identifiers LIST  plant known identifiers of every kind and near-misses in a\n"
    "                          data_ and a diag_ file, a host in the registry, a file named after\n"
    "                          a host and the site's words file ROOT/obfuscate-words.txt; LIST\n"
    "                          says where each is\n"
    "  --seed N                seed of the generated content (1)\n";

struct Options {
    fs::path root;
    unsigned major = 4, minor = 0, buildMajor = 1, buildMinor = 52;
    fs::path library;
    bool components = true;
    bool loggingFolder = true;
    enum class TextStyle { Uniform, Varied, Mixed } textStyle = TextStyle::Uniform;
    unsigned long data = 3, diag = 3, other = 2;
    unsigned long long dataSize = 65536, diagSize = 65536, longLine = 0;
    bool odd = false;
    bool longRecords = false;
    fs::path plantList;
    uint64_t seed = 1;
};

[[noreturn]] void usage(const std::string &problem)
{
    std::cerr << "orvel-sim: " << problem << "\n" << usageText;
    std::exit(2);
}

// splitmix64: small, fast, and the same on every platform and library.
class Random {
public:
    explicit Random(uint64_t seed)
        : m_state(seed)
    {
    }
    uint64_t next()
    {
        uint64_t z = (m_state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    uint64_t below(uint64_t n) { return n ? next() % n : 0; }

private:
    uint64_t m_state;
};

bool parsePair(const std::string &text, unsigned &first, unsigned &second)
{
    unsigned a = 0, b = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%u.%u%c", &a, &b, &tail) != 2)
        return false;
    first = a;
    second = b;
    return true;
}

unsigned long long parseNumber(const std::string &option, const std::string &text)
{
    char *end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (errno || end == text.c_str() || *end || text[0] == '-')
        usage(option + " takes a whole number");
    return value;
}

// The product writes each decimal digit of a version part as one hexadecimal digit.
unsigned digitsAsHex(unsigned decimal)
{
    unsigned result = 0, shift = 0;
    do {
        result |= (decimal % 10) << shift;
        decimal /= 10;
        shift += 4;
    } while (decimal && shift < 16);
    return result;
}

std::string regString(const std::string &text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out + '"';
}

std::string hex8(unsigned value)
{
    char text[16];
    std::snprintf(text, sizeof text, "%08x", value);
    return text;
}

fs::path ownFolder()
{
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::current_path() : self.parent_path();
}

Options parse(int argc, char **argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                usage(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--root")
            o.root = value();
        else if (arg == "--version") {
            if (!parsePair(value(), o.major, o.minor) || o.major > 9999 || o.minor > 9999)
                usage("--version takes MAJOR.MINOR, each at most 9999");
        } else if (arg == "--build") {
            if (!parsePair(value(), o.buildMajor, o.buildMinor) || o.buildMajor > 9999 ||
                o.buildMinor > 0xFFFF)
                usage("--build takes MAJOR.MINOR");
        } else if (arg == "--library")
            o.library = value();
        else if (arg == "--no-components")
            o.components = false;
        else if (arg == "--no-logging-folder")
            o.loggingFolder = false;
        else if (arg == "--data")
            o.data = parseNumber(arg, value());
        else if (arg == "--diag")
            o.diag = parseNumber(arg, value());
        else if (arg == "--other")
            o.other = parseNumber(arg, value());
        else if (arg == "--data-size")
            o.dataSize = parseNumber(arg, value());
        else if (arg == "--diag-size")
            o.diagSize = parseNumber(arg, value());
        else if (arg == "--text-style") {
            const std::string style = value();
            if (style == "uniform")
                o.textStyle = Options::TextStyle::Uniform;
            else if (style == "varied")
                o.textStyle = Options::TextStyle::Varied;
            else if (style == "mixed")
                o.textStyle = Options::TextStyle::Mixed;
            else
                usage("--text-style takes uniform, varied or mixed");
        } else if (arg == "--long-records")
            o.longRecords = true;
        else if (arg == "--long-line")
            o.longLine = parseNumber(arg, value());
        else if (arg == "--odd")
            o.odd = true;
        else if (arg == "--plant-identifiers")
            o.plantList = value();
        else if (arg == "--seed")
            o.seed = parseNumber(arg, value());
        else if (arg == "--help") {
            std::cout << usageText;
            std::exit(0);
        } else
            usage("unknown argument " + arg);
    }
    if (o.root.empty())
        usage("--root is required");
    if (o.library.empty())
        o.library = ownFolder() / "libOrvelComponents.so";
    return o;
}

void writeRegistry(const Options &o, const fs::path &logs)
{
    std::ofstream out(o.root / "registry.reg", std::ios::binary | std::ios::trunc);
    out << "Windows Registry Editor Version 5.00\r\n\r\n";
    if (o.components) {
        const std::string library = regString(fs::absolute(o.library).string());
        for (const char *clsid :
             {"{60EB7702-6A7A-11D1-8029-00C04FAD610B}", "{CA877C14-DCEE-459B-89B7-7A9E841558D5}"})
            out << "[HKEY_CLASSES_ROOT\\CLSID\\" << clsid << "\\InprocServer32]\r\n@=" << library
                << "\r\n\r\n";
    }
    if (o.loggingFolder)
        out << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quenvo\\QuenvoLogMgr\\1.0]\r\n"
            << "\"Output Path\"=" << regString(fs::absolute(logs).string()) << "\r\n\r\n";
    out << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quenvo]\r\n"
        << "\"Version Number\"=dword:" << hex8(digitsAsHex(o.major) << 16 | digitsAsHex(o.minor))
        << "\r\n"
        << "\"Build Number\"=dword:"
        << hex8(digitsAsHex(o.buildMajor) << 16 | (o.buildMinor & 0xFFFF)) << "\r\n";
    if (!out.flush())
        throw std::runtime_error("cannot write " + (o.root / "registry.reg").string());
}

// Buffered writing of generated content, in large blocks.
class Output {
public:
    explicit Output(const fs::path &path)
        : m_path(path)
        , m_file(std::fopen(path.c_str(), "wb"))
    {
        if (!m_file)
            throw std::runtime_error("cannot create " + path.string());
        m_buffer.reserve(1 << 20);
    }
    ~Output() noexcept(false) { close(); }
    void put(const std::string &text)
    {
        m_buffer += text;
        m_written += text.size();
        if (m_buffer.size() >= (1 << 20))
            flush();
    }
    unsigned long long written() const { return m_written; }
    void close()
    {
        if (!m_file)
            return;
        flush();
        const bool ok = std::fclose(m_file) == 0;
        m_file = nullptr;
        if (!ok)
            throw std::runtime_error("cannot write " + m_path.string());
    }

private:
    void flush()
    {
        if (!m_buffer.empty() &&
            std::fwrite(m_buffer.data(), 1, m_buffer.size(), m_file) != m_buffer.size())
            throw std::runtime_error("cannot write " + m_path.string());
        m_buffer.clear();
    }
    fs::path m_path;
    FILE *m_file;
    std::string m_buffer;
    unsigned long long m_written = 0;
};

const char *const components[] = {"MsgStore", "CallHandler", "Notifier", "Directory", "Telephony"};
const char *const events[] = {
    "Delivered message %llu to mailbox %llu in %llu ms",
    "Call %llu answered on port %llu after %llu rings",
    "Notification %llu sent to device %llu (attempt %llu)",
    "Directory sync batch %llu: %llu entries, %llu changed",
    "Recording %llu stored for subscriber %llu, %llu bytes",
    "Mailbox %llu quota check: %llu of %llu messages",
};
const char *const diagMessages[] = {
    "Opened message store connection %llu to database node %llu",
    "MWI lamp on for extension %llu after message %llu",
    "Retrying SMTP relay for message %llu, attempt %llu",
    "Port %llu: DTMF digits received, session %llu",
    "Cache miss for subscriber %llu, loading profile %llu",
    "Slow query: %llu ms for mailbox %llu",
};

uint64_t baseMillis(uint64_t seed)
{
    // Early December 2026, moved a little by the seed.
    return 1796371200000ULL + (seed % 86400) * 1000;
}

std::string dataLine(Random &random, uint64_t &millis)
{
    millis += random.below(2000);
    const uint64_t seconds = millis / 1000;
    char stamp[32];
    const time_t t = time_t(seconds);
    tm utc{};
    gmtime_r(&t, &utc);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &utc);
    char message[160];
    std::snprintf(message, sizeof message, events[random.below(6)],
                  (unsigned long long)random.below(100000), (unsigned long long)random.below(5000),
                  (unsigned long long)random.below(3000));
    char line[256];
    std::snprintf(line, sizeof line, "%s.%03llu %-5s [%s] %s\r\n", stamp,
                  (unsigned long long)(millis % 1000), random.below(10) ? "INFO" : "WARN",
                  components[random.below(5)], message);
    return line;
}

std::string hexOf(const std::string &bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string recordHead(Random &random, uint64_t &millis)
{
    millis += random.below(500);
    char head[64];
    std::snprintf(head, sizeof head, "%016" PRIX64 "|%04X|%u|%u|", millis,
                  unsigned(random.below(0x10000)), unsigned(random.below(5)),
                  unsigned(1 + random.below(7)));
    return head;
}

std::string diagLine(Random &random, uint64_t &millis)
{
    char message[160];
    std::snprintf(message, sizeof message, diagMessages[random.below(6)],
                  (unsigned long long)random.below(100000), (unsigned long long)random.below(5000));
    return recordHead(random, millis) + hexOf(message) + "\r\n";
}

template <typename Line>
void fill(const fs::path &path, unsigned long long size, Random &random, Line line)
{
    Output out(path);
    uint64_t millis = baseMillis(random.next());
    // Whole lines only, as the product writes them: the file stops short of the size rather than
    // end in half a record.
    for (std::string next = line(random, millis); out.written() + next.size() <= size;
         next = line(random, millis))
        out.put(next);
    out.close();
}

// Varied text: the logs of a product of many parts, whose lines share little but their frame.
// Every field is drawn afresh; the word lists are long enough that no line form dominates.
const char *const variedLevels[] = {"INFO", "INFO", "INFO", "DEBUG", "WARN", "ERROR", "TRACE"};
const char *const variedSites[] = {"ams", "fra", "lon", "nyc", "sjc", "sin", "syd", "gru"};
const char *const variedRoles[] = {"msg", "tel", "dir", "smtp", "web", "db", "cache", "media"};
const char *const variedDomains[] = {"corp.example", "voice.example.net", "dc2.example.org"};
const char *const variedModules[] = {
    "MsgStore.Queue", "CallHandler.Sip", "Notifier.Push", "Directory.Ldap", "Telephony.Rtp",
    "Transcoder",     "Scheduler",       "Auth.Session",  "Replication",    "MailGateway",
    "WebApi.Rest",    "Storage.Blob",    "Audit",         "License",        "Cluster.Raft"};
const char *const variedWords[] = {
    "mailbox", "greeting", "recording", "subscriber",  "extension",  "voicemail", "transcript",
    "queue",   "session",  "token",     "certificate", "partition",  "replica",   "lease",
    "codec",   "jitter",   "buffer",    "packet",      "trunk",      "gateway",   "relay",
    "profile", "quota",    "index",     "snapshot",    "checkpoint", "schema",    "tenant",
    "device",  "endpoint", "listener",  "handshake",   "cipher",     "route",     "policy"};
const char *const variedVerbs[] = {"opened",  "closed",    "rejected", "accepted", "retried",
                                   "expired", "renewed",   "evicted",  "migrated", "throttled",
                                   "resumed", "suspended", "rebuilt",  "flushed",  "queued",
                                   "dropped", "verified",  "restored", "rotated",  "compacted"};
const char *const variedTemplates[] = {
    "%w %v for user %u from %i:%n (request %x)",
    "%v %w %s after %m ms; %n bytes in, %n bytes out",
    "peer %h %v %w: status %e, retry in %n s",
    "GET /api/v%d/%ws/%n?tenant=%u took %m ms -> %e",
    "%w cache hit ratio %d.%d%% over %n lookups (%n evictions)",
    "transaction %x %v: %n rows, lock wait %m ms, node %h",
    "call %s: codec %w, jitter %d ms, loss %d.%d%%, mos %d.%d",
    "delivered %n messages to %u via %h in %m ms",
    "failed to %w %w on %h: %e (errno %d), will retry",
    "config reload: %n keys changed by %u, checksum %x",
    "heartbeat from %h lag %m ms term %n index %n",
    "%u %v %w %x at %i; agent \"Orvel/%d.%d.%n\"",
    "disk %p usage %d%% (%n MiB free), %n files pending",
    "TLS %w with %h: %v, session %s, resumption %d",
    "job %x step %d/%d %v in %m ms, next run in %n s",
};

std::string variedField(char kind, Random &random)
{
    char text[64];
    switch (kind) {
    case 'w':
        return variedWords[random.below(std::size(variedWords))];
    case 'v':
        return variedVerbs[random.below(std::size(variedVerbs))];
    case 'u':
        std::snprintf(text, sizeof text, "u%06llu", (unsigned long long)random.below(400000));
        break;
    case 'h':
        std::snprintf(text, sizeof text, "%s-%s%02llu.%s", variedSites[random.below(8)],
                      variedRoles[random.below(8)], (unsigned long long)random.below(40),
                      variedDomains[random.below(3)]);
        break;
    case 'i':
        std::snprintf(text, sizeof text, "10.%llu.%llu.%llu", (unsigned long long)random.below(64),
                      (unsigned long long)random.below(256), (unsigned long long)random.below(256));
        break;
    case 'x':
        std::snprintf(text, sizeof text, "%016llx", (unsigned long long)random.next());
        break;
    case 's':
        std::snprintf(text, sizeof text, "%08llx-%04llx",
                      (unsigned long long)random.below(1ull << 32),
                      (unsigned long long)random.below(1 << 16));
        break;
    case 'n':
        std::snprintf(text, sizeof text, "%llu", (unsigned long long)random.below(10000000));
        break;
    case 'm':
        std::snprintf(text, sizeof text, "%llu", (unsigned long long)random.below(30000));
        break;
    case 'd':
        std::snprintf(text, sizeof text, "%llu", (unsigned long long)random.below(100));
        break;
    case 'e':
        std::snprintf(text, sizeof text, "%llu", (unsigned long long)(200 + random.below(400)));
        break;
    case 'p':
        std::snprintf(text, sizeof text, "/srv/orvel/%s/%s%llu", variedRoles[random.below(8)],
                      variedWords[random.below(std::size(variedWords))],
                      (unsigned long long)random.below(16));
        break;
    default:
        return std::string(1, kind);
    }
    return text;
}

std::string variedMessage(Random &random)
{
    std::string message;
    for (const char *c = variedTemplates[random.below(std::size(variedTemplates))]; *c; ++c)
        message += *c == '%' && c[1] ? variedField(*++c, random) : std::string(1, *c);
    return message;
}

std::string variedDataLine(Random &random, uint64_t &millis)
{
    millis += random.below(300);
    const time_t t = time_t(millis / 1000);
    tm utc{};
    gmtime_r(&t, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);
    char head[160];
    std::snprintf(
        head, sizeof head, "%s.%03lluZ %-5s %s [%s] pid=%llu tid=%llu ", stamp,
        (unsigned long long)(millis % 1000), variedLevels[random.below(std::size(variedLevels))],
        variedField('h', random).c_str(), variedModules[random.below(std::size(variedModules))],
        (unsigned long long)(1000 + random.below(4000000)),
        (unsigned long long)random.below(100000));
    return head + variedMessage(random) + "\r\n";
}

std::string variedDiagLine(Random &random, uint64_t &millis)
{
    return recordHead(random, millis) + hexOf(variedMessage(random)) + "\r\n";
}

// Packed binary records, as a product's statistics or call detail files hold them: counters,
// ids and hashes in fixed-size slots.
std::string packedRecords(Random &random, uint64_t &millis)
{
    std::string records;
    for (int i = 0; i < 32; ++i) {
        millis += random.below(50);
        unsigned char record[48];
        for (int b = 0; b < 8; ++b)
            record[b] = (unsigned char)(millis >> (8 * b));
        const uint64_t id = random.below(5000), value = random.next(), hash = random.next();
        for (int b = 0; b < 4; ++b)
            record[8 + b] = (unsigned char)(id >> (8 * b));
        for (int b = 0; b < 4; ++b)
            record[12 + b] = (unsigned char)(random.below(2000) >> (8 * b));
        for (int b = 0; b < 8; ++b)
            record[16 + b] = (unsigned char)(value >> (8 * b));
        for (int b = 0; b < 8; ++b)
            record[24 + b] = (unsigned char)(hash >> (8 * b));
        const uint64_t more = random.next();
        for (int b = 0; b < 8; ++b)
            record[32 + b] = (unsigned char)(more >> (8 * b));
        for (int b = 40; b < 48; ++b)
            record[b] = (unsigned char)random.below(4);
        records.append(reinterpret_cast<const char *>(record), sizeof record);
    }
    return records;
}

// A rotated log as the product keeps it: varied text, gzip-compressed, written whole.
void writeCompressedLog(const fs::path &path, unsigned long long size, Random &random)
{
    Output out(path);
    uint64_t millis = baseMillis(random.next());
    z_stream stream{};
    if (deflateInit2(&stream, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("cannot start compressing " + path.string());
    std::string compressed(1 << 16, '\0');
    while (out.written() < size) {
        std::string text;
        while (text.size() < (1 << 16))
            text += variedDataLine(random, millis);
        stream.next_in = reinterpret_cast<Bytef *>(text.data());
        stream.avail_in = uInt(text.size());
        do {
            stream.next_out = reinterpret_cast<Bytef *>(compressed.data());
            stream.avail_out = uInt(compressed.size());
            deflate(&stream, Z_NO_FLUSH);
            const size_t made = compressed.size() - stream.avail_out;
            out.put(compressed.substr(
                0, size_t(std::min<unsigned long long>(made, size - out.written()))));
        } while (stream.avail_out == 0 && out.written() < size);
    }
    deflateEnd(&stream);
    out.close();
}

// One data_ file in the chosen style.
void writeDataFile(const fs::path &path, unsigned long index, const Options &o, Random &random)
{
    if (o.textStyle == Options::TextStyle::Uniform)
        fill(path, o.dataSize, random, dataLine);
    else if (o.textStyle == Options::TextStyle::Varied || index % 3 == 1)
        fill(path, o.dataSize, random, variedDataLine);
    else if (index % 3 == 2)
        fill(path, o.dataSize, random, packedRecords);
    else
        writeCompressedLog(path, o.dataSize, random);
}

void writeLongLine(const fs::path &path, unsigned long long length, Random &random)
{
    Output out(path);
    uint64_t millis = baseMillis(random.next());
    out.put(recordHead(random, millis));
    const std::string block = hexOf(std::string(32768, 'x'));
    while (out.written() < length)
        out.put(block.substr(
            0, size_t(std::min<unsigned long long>(block.size(), length - out.written()))));
    out.close();
}

// Ordinary lines, with two long records among them when asked: one past the 510 characters a
// readable line keeps, and one past the 64 KiB a line is read in, each after short lines.
std::function<std::string(Random &, uint64_t &)>
withLongRecords(bool wanted, std::string (*line)(Random &, uint64_t &))
{
    if (!wanted)
        return line;
    return [line, count = 0](Random &random, uint64_t &millis) mutable {
        ++count;
        if (count != 50 && count != 100)
            return line(random, millis);
        const std::string head = recordHead(random, millis);
        const size_t length = count == 50 ? 700 : 80026;
        return head + hexOf(std::string((length - head.size()) / 2, 'L')) + "\r\n";
    };
}

void writeOddCases(const fs::path &logs, Random &random)
{
    fill(logs / "DATA_Upper.log", 4096, random, dataLine);
    fill(logs / "Data_Mixed.log", 4096, random, dataLine);
    fill(logs / "DIAG_Upper.log", 4096, random, diagLine);
    fill(logs / "Diag_Mixed.log", 4096, random, diagLine);
    fill(logs / "diag_", 2048, random, diagLine);
    fill(logs / "abc", 100, random, dataLine);
    fs::create_directories(logs / "data_subfolder");
    fill(logs / "data_subfolder" / "data_hidden.log", 1000, random, dataLine);

    // Blank and control-character lines, over-long lines, lines that are not records.
    Output out(logs / "diag_odd_lines.log");
    uint64_t millis = baseMillis(random.next());
    out.put(diagLine(random, millis));
    // Lines longer than the 64 KiB a line is read in, between short ones: a record and a line that
    // is none. Drawn aside, so that everything else stays as the seed made it before.
    Random aside = random;
    uint64_t asideMillis = millis;
    out.put(recordHead(aside, asideMillis) + hexOf(std::string(50000, 'M')) + "\r\n");
    out.put(std::string(70000, 'n') + "\r\n");
    out.put("\r\n");
    out.put("      \r\n");
    out.put("\t\t\r\n");
    out.put(std::string("\0\0\t", 3) + "\r\n");
    out.put("  \t" + diagLine(random, millis));
    out.put("\t  " + recordHead(random, millis) + hexOf("leading blanks kept after a tab") +
            "\r\n");
    out.put("this line is not a diagnostic record\r\n");
    out.put("1|2|3\r\n");
    out.put(recordHead(random, millis) + "4F6B\r\n");
    out.put(recordHead(random, millis) + "4F6B4\r\n"); // cut inside a pair
    const std::string head = recordHead(random, millis);
    out.put(head + std::string(510 - head.size(), '4') + "\r\n"); // exactly 510
    out.put(head + std::string(511 - head.size(), '4') + "\r\n"); // 511
    out.put(head + hexOf(std::string(1500, 'L')) + "   \r\n");    // long, trailing blanks
    out.put(std::string(600, 'z') + "\r\n");                      // long and no record
    out.put(diagLine(random, millis));
    out.close();
}

} // namespace

int main(int argc, char **argv)
{
    const Options o = parse(argc, argv);
    try {
        fs::create_directories(o.root);
        const fs::path logs = o.root / "logs";
        fs::create_directories(logs);
        writeRegistry(o, logs);

        Random random(o.seed);
        for (unsigned long i = 1; i <= o.data; ++i)
            writeDataFile(logs / ("data_" + std::to_string(20261200 + i % 31) + "_" +
                                  std::to_string(i) + ".log"),
                          i, o, random);
        for (unsigned long i = 1; i <= o.diag; ++i)
            fill(logs / ("diag_" + std::to_string(20261200 + i % 31) + "_" + std::to_string(i) +
                         ".log"),
                 o.diagSize, random,
                 withLongRecords(o.longRecords, o.textStyle == Options::TextStyle::Uniform
                                                    ? diagLine
                                                    : variedDiagLine));
        static const char *const otherNames[] = {"orvel_service", "install", "trace", "notes"};
        for (unsigned long i = 1; i <= o.other; ++i)
            fill(logs / (std::string(otherNames[i % 4]) + "_" + std::to_string(i) + ".txt"), 2048,
                 random, dataLine);
        if (o.longLine)
            writeLongLine(logs / "diag_longline.log", o.longLine, random);
        if (o.odd)
            writeOddCases(logs, random);
        if (!o.plantList.empty())
            plantIdentifiers(o.root, logs, o.plantList);
        std::cout << fs::absolute(o.root / "registry.reg").string() << "\n";
    } catch (const std::exception &e) {
        std::cerr << "orvel-sim: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
