// The stand-in's diagnostic line formatter.
//
// A raw record is one line of five fields joined by '|':
//   TIMESTAMP|THREAD|LEVEL|COMPONENT|MESSAGE
// TIMESTAMP: 16 hex digits, milliseconds since 1970-01-01 UTC; THREAD: 4 hex digits; LEVEL: one
// digit 0-4; COMPONENT: a decimal id; MESSAGE: the message's bytes as hex pairs. A record cut
// short inside MESSAGE decodes its complete pairs and keeps a dangling digit as it is.
// Formatted: "2026-12-04 14:05:09.123 [0A3C] ERROR MsgStore: <message text>" (UTC).
#include "orvel_components.h"

#include <cstdlib>
#include <cstring>
#ifdef ORVEL_FAULT_HOOKS
#include <chrono>
#include <thread>
#endif
#include <new>
#include <string>
#include <string_view>

namespace {

struct Formatter {
    unsigned long long linesFormatted = 0;
};

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool parseHex(std::string_view digits, unsigned long long &value)
{
    value = 0;
    for (char c : digits) {
        const int v = hexValue(c);
        if (v < 0)
            return false;
        value = value << 4 | unsigned(v);
    }
    return true;
}

// Civil date from days since 1970-01-01 (proleptic Gregorian).
void civilFromDays(long long days, long long &year, unsigned &month, unsigned &day)
{
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned doe = unsigned(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = doy - (153 * mp + 2) / 5 + 1;
    month = mp < 10 ? mp + 3 : mp - 9;
    year = (long long)yoe + era * 400 + (month <= 2);
}

const char *const levels[] = {"TRACE", "INFO", "WARN", "ERROR", "FATAL"};

// Written by hand into one buffer: this runs once per line of every diagnostic log.
char *putDigits(char *out, unsigned long long value, int width)
{
    char buffer[24];
    int n = 0;
    do {
        buffer[n++] = char('0' + value % 10);
        value /= 10;
    } while (value);
    for (int pad = n; pad < width; ++pad)
        *out++ = '0';
    while (n)
        *out++ = buffer[--n];
    return out;
}

char *putText(char *out, const char *text)
{
    while (*text)
        *out++ = *text++;
    return out;
}

const char *const componentNames[] = {"MsgStore", "CallHandler", "Notifier", "Directory",
                                      "Telephony"};

#ifdef ORVEL_FAULT_HOOKS
// Only in the test build of the library: a record whose message is "CRASH" crashes the formatter,
// one whose message is "HANG" keeps it busy, for a minute at most, so that a test whose caller
// fails to stop it still ends, and one whose message is "SLOW" takes a millisecond.
void faultHook(std::string_view message)
{
    if (message == "CRASH")
        std::abort();
    if (message == "SLOW")
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (message == "HANG") {
        const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        while (std::chrono::steady_clock::now() < until) {
        }
    }
}
#endif

// The text of a record, or the reason it is none. `text` is malloc'ed for the caller.
bool format(std::string_view line, char *&text, size_t &length, std::string &error)
{
    std::string_view fields[5];
    size_t count = 0;
    size_t start = 0;
    for (size_t i = 0; i <= line.size(); ++i) {
        if (i == line.size() || (line[i] == '|' && count < 4)) {
            if (count < 5)
                fields[count] = line.substr(start, i - start);
            ++count;
            start = i + 1;
        }
    }
    if (count != 5) {
        error = "not a diagnostic record: expected 5 fields separated by '|', found " +
                std::to_string(count);
        return false;
    }
    unsigned long long millis = 0;
    if (fields[0].size() != 16 || !parseHex(fields[0], millis)) {
        error = "bad time stamp: expected 16 hexadecimal digits";
        return false;
    }
    // Beyond the year 9999 a time stamp is not a time anybody logged.
    if (millis > 253402300799999ULL) {
        error = "bad time stamp: beyond the year 9999";
        return false;
    }
    unsigned long long thread = 0;
    if (fields[1].size() != 4 || !parseHex(fields[1], thread)) {
        error = "bad thread: expected 4 hexadecimal digits";
        return false;
    }
    if (fields[2].size() != 1 || fields[2][0] < '0' || fields[2][0] > '4') {
        error = "bad level: expected one digit from 0 to 4";
        return false;
    }
    if (fields[3].empty() || fields[3].size() > 9 ||
        fields[3].find_first_not_of("0123456789") != std::string_view::npos) {
        error = "bad component: expected a decimal id";
        return false;
    }
    unsigned long component = 0;
    for (char c : fields[3])
        component = component * 10 + unsigned(c - '0');
    const std::string_view hex = fields[4];
    for (size_t i = 0; i < hex.size(); ++i) {
        if (hexValue(hex[i]) < 0) {
            error = "bad message: not hexadecimal at character " + std::to_string(i + 1);
            return false;
        }
    }

    // "2026-12-04 14:05:09.123 [0A3C] ERROR Component123456789: " is at most 64 characters.
    char *out = static_cast<char *>(std::malloc(64 + hex.size() / 2 + 2));
    if (!out) {
        error = "out of memory";
        return false;
    }
    text = out;
    const long long seconds = (long long)(millis / 1000);
    long long year = 0;
    unsigned month = 0, day = 0;
    civilFromDays(seconds / 86400, year, month, day);
    const long long secondOfDay = seconds % 86400;
    out = putDigits(out, (unsigned long long)year, 4);
    *out++ = '-';
    out = putDigits(out, month, 2);
    *out++ = '-';
    out = putDigits(out, day, 2);
    *out++ = ' ';
    out = putDigits(out, (unsigned long long)(secondOfDay / 3600), 2);
    *out++ = ':';
    out = putDigits(out, (unsigned long long)(secondOfDay / 60 % 60), 2);
    *out++ = ':';
    out = putDigits(out, (unsigned long long)(secondOfDay % 60), 2);
    *out++ = '.';
    out = putDigits(out, millis % 1000, 3);
    static const char hexDigits[] = "0123456789ABCDEF";
    *out++ = ' ';
    *out++ = '[';
    for (int shift = 12; shift >= 0; shift -= 4)
        *out++ = hexDigits[(thread >> shift) & 15];
    *out++ = ']';
    *out++ = ' ';
    out = putText(out, levels[fields[2][0] - '0']);
    *out++ = ' ';
    if (component >= 1 && component <= 5) {
        out = putText(out, componentNames[component - 1]);
    } else {
        out = putText(out, "Component");
        out = putDigits(out, component, 1);
    }
    *out++ = ':';
    *out++ = ' ';
#ifdef ORVEL_FAULT_HOOKS
    char *const message = out;
#endif
    size_t i = 0;
    for (; i + 1 < hex.size(); i += 2)
        *out++ = char(hexValue(hex[i]) << 4 | hexValue(hex[i + 1]));
    if (i < hex.size())
        *out++ = hex[i]; // the record was cut inside this pair
#ifdef ORVEL_FAULT_HOOKS
    faultHook(std::string_view(message, size_t(out - message)));
#endif
    *out = '\0';
    length = size_t(out - text);
    return true;
}

char *copyOut(const std::string &text)
{
    char *out = static_cast<char *>(std::malloc(text.size() + 1));
    if (out)
        std::memcpy(out, text.c_str(), text.size() + 1);
    return out;
}

} // namespace

extern "C" void *orvel_diag_formatter_create(void)
{
    return new (std::nothrow) Formatter;
}

extern "C" int orvel_diag_formatter_format_line(void *formatter, const char *line, size_t length,
                                                char **text, size_t *text_length, char **error)
{
    if (text)
        *text = nullptr;
    if (error)
        *error = nullptr;
    if (!formatter || !text || !text_length || !error || (!line && length > 0))
        return 22; // EINVAL
    std::string problem;
    try {
        if (!format(std::string_view(line ? line : "", length), *text, *text_length, problem)) {
            *error = copyOut(problem);
            return 1;
        }
        ++static_cast<Formatter *>(formatter)->linesFormatted;
        return 0;
    } catch (...) {
        *error = copyOut("out of memory");
        return 2;
    }
}

extern "C" void orvel_diag_formatter_destroy(void *formatter)
{
    delete static_cast<Formatter *>(formatter);
}
