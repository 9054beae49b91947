// orvel-sim's generated logs: uniform, varied and mixed text, packed records, compressed
// rotations, long records and the odd cases, from one seeded generator.
#include "orvel_sim.h"
#include "orvel_sim_text.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>
#include <zlib.h>

namespace fs = std::filesystem;

namespace {

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

void writeLogs(const Options &o, const fs::path &logs)
{
    Random random(o.seed);
    for (unsigned long i = 1; i <= o.data; ++i)
        writeDataFile(
            logs / ("data_" + std::to_string(20261200 + i % 31) + "_" + std::to_string(i) + ".log"),
            i, o, random);
    for (unsigned long i = 1; i <= o.diag; ++i)
        fill(logs /
                 ("diag_" + std::to_string(20261200 + i % 31) + "_" + std::to_string(i) + ".log"),
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
