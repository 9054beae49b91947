// The stand-in's diagnostic line formatter.
//
// A raw record is one line of five fields joined by '|':
//   TIMESTAMP|THREAD|LEVEL|COMPONENT|MESSAGE
// TIMESTAMP: 16 hex digits, milliseconds since 1970-01-01 UTC; THREAD: 4 hex digits; LEVEL: one
// digit 0-4; COMPONENT: a decimal id; MESSAGE: the message's bytes as hex pairs. A record cut
// short inside MESSAGE decodes its complete pairs and keeps a dangling digit as it is.
// Formatted: "2026-12-04 14:05:09.123 [0A3C] ERROR MsgStore: <message text>" (UTC).
#include "orvel_components.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
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

std::string componentName(unsigned long id)
{
    switch (id) {
    case 1:
        return "MsgStore";
    case 2:
        return "CallHandler";
    case 3:
        return "Notifier";
    case 4:
        return "Directory";
    case 5:
        return "Telephony";
    default:
        return "Component" + std::to_string(id);
    }
}

// The text of a record, or the reason it is none.
bool format(std::string_view line, std::string &text, std::string &error)
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
    const unsigned long component = std::strtoul(std::string(fields[3]).c_str(), nullptr, 10);

    std::string message;
    message.reserve(fields[4].size() / 2 + 1);
    const std::string_view hex = fields[4];
    size_t i = 0;
    for (; i + 1 < hex.size(); i += 2) {
        const int high = hexValue(hex[i]);
        const int low = hexValue(hex[i + 1]);
        if (high < 0 || low < 0) {
            error = "bad message: not hexadecimal at character " + std::to_string(i + 1);
            return false;
        }
        message += char(high << 4 | low);
    }
    if (i < hex.size()) {
        if (hexValue(hex[i]) < 0) {
            error = "bad message: not hexadecimal at character " + std::to_string(i + 1);
            return false;
        }
        message += hex[i]; // the record was cut inside this pair
    }

    const long long seconds = (long long)(millis / 1000);
    long long year = 0;
    unsigned month = 0, day = 0;
    civilFromDays(seconds / 86400, year, month, day);
    const long long secondOfDay = seconds % 86400;
    char head[96];
    std::snprintf(head, sizeof head, "%04lld-%02u-%02u %02lld:%02lld:%02lld.%03llu [%04llX] %s ",
                  year, month, day, secondOfDay / 3600, secondOfDay / 60 % 60, secondOfDay % 60,
                  millis % 1000, thread, levels[fields[2][0] - '0']);
    text = head + componentName(component) + ": " + message;
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
    std::string formatted, problem;
    try {
        if (!format(std::string_view(line ? line : "", length), formatted, problem)) {
            *error = copyOut(problem);
            return 1;
        }
        *text = copyOut(formatted);
        if (!*text)
            return 2;
        *text_length = formatted.size();
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
