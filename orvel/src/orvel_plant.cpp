// orvel-sim --plant-identifiers: a labelled corpus for obfuscation. Known identifiers of every
// kind, in every form, and near-misses that are none, each on a line of its own, in a data_ file
// and (hex-encoded, as the product writes them) a diag_ file; a registry value naming a mail
// server and a backup share; a data_ file named after a host; and the site's words file. The
// list says where each is and what surrounds it: "entry <TAB> line <TAB> kind <TAB> form <TAB>
// value <TAB> text before <TAB> text after". A cleaned line keeps the text around the value and
// changes the value; a near-miss (kind "near-miss") is left as it is.
#include "orvel_plant.h"
#include "orvel_sim.h"

#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Planted {
    const char *kind;
    const char *form;
    const char *before;
    const char *value;
    const char *after;
};

const Planted planted[] = {
    {"ipv4", "private", "peer ", "10.20.30.40", " answered"},
    {"ipv4", "with-port", "call from ", "192.168.1.254", ":5060 set up"},
    {"ipv4", "network", "route ", "10.1.2.0", "/24 via gateway"},
    {"ipv4", "public", "resolver ", "8.8.4.4", " timed out"},
    {"ipv4", "in-url", "fetching http://", "172.16.9.8", "/api/status"},
    {"ipv6", "shortened", "peer ", "2001:db8:85a3::8a2e:370:7334", " answered"},
    {"ipv6", "link-local", "link ", "fe80::1ff:fe23:4567:890a", "%eth0 up"},
    {"ipv6", "bracketed", "connecting to [", "2a00:1450:4001:82b::200e", "]:443"},
    {"ipv6", "full", "address ", "2001:0db8:0000:0000:0000:ff00:0042:8329", " bound"},
    {"host", "fqdn", "relay ", "ams-msg07.corp.example", " accepted the message"},
    {"host", "fqdn-port", "smart host ", "mail.contoso-voice.com", ":25 refused"},
    {"host", "fqdn-4-labels", "database ", "db1.dc2.example.org", " is up"},
    {"host", "two-labels", "site ", "contoso.de", " reachable"},
    {"host", "registry", "mail server ", "mx-quenvo7", " refused the connection"},
    {"host", "registry-share", "backup written to ", "bk-store3", " in 12 s"},
    {"host", "registry-second-share", "backup copied to ", "bk-store9", " in 14 s"},
    {"host", "registry-list", "proxy ", "sip-edge4", " answered"},
    {"host", "registry-list-port", "proxy ", "sip-edge5", " timed out"},
    {"email", "dotted", "notification to ", "alice.smith@contoso-voice.com", " sent"},
    {"email", "tagged", "forwarded to <", "j.doe+vm@corp.example", ">"},
    {"mac", "colons", "device ", "00:1A:2B:3C:4D:5E", " registered"},
    {"mac", "dashes", "device ", "00-1a-2b-3c-4d-5f", " registered"},
    {"mac", "dots", "device ", "001a.2b3c.4d60", " registered"},
    {"phone", "e164-blanks", "caller ", "+49 30 12345678", " connected"},
    {"phone", "e164-plain", "forwarded to ", "+14155550123", " after 3 rings"},
    {"phone", "e164-trunk", "callback to ", "+44 (0)20 7946 0958", " queued"},
    {"phone", "e164-dashes", "dialled ", "+1 212-555-0100", " for message 17"},
    {"phone", "national-blanks", "dialled ", "030 12345678", " for message 18"},
    {"phone", "national-parentheses", "dialled ", "(030) 1234567", " for message 19"},
    {"phone", "national-slash", "dialled ", "030/1234567", " for message 20"},
    {"phone", "national-plain", "dialled ", "0301234567", " for message 21"},
    {"phone", "national-pairs", "dialled ", "01 23 45 67 89", " for message 22"},
    {"phone", "national-dashes", "dialled ", "020-7946-0958", " for message 23"},
    {"phone", "nanp-parentheses", "dialled ", "(212) 555-0100", " for message 24"},
    {"phone", "nanp-dots", "dialled ", "212.555.0100", " for message 25"},
    {"phone", "extension", "transferred to ext. ", "4711", " after 2 s"},
    {"phone", "extension-word", "MWI lamp on for extension ", "4712", " after message 26"},
    {"phone", "named", "calling number ", "4930123456", " hung up"},
    {"phone", "named-ani", "ANI=", "2125550100", " received"},
    {"phone", "named-party", "Called party number: ", "4255550199", " released"},
    {"phone", "nanp-list", "hunt group 5060,", "212-555-0112", ",5061 rang"},
    {"id", "mailbox", "Delivered message 5516 to mailbox ", "1083", " in 425 ms"},
    {"id", "subscriber", "Cache miss for subscriber ", "1991", ", loading profile 4321"},
    {"id", "mailbox-letters", "mailbox=", "MB-0042", " over quota"},
    {"id", "subscriber-id", "subscriber id: ", "88001234", " moved"},
    {"user", "named", "session opened for user ", "alice", " from the console"},
    {"user", "equals", "user=", "jdoe", " logged out"},
    {"user", "login", "login: ", "u012345", " accepted"},
    {"user", "domain", "account ", "CORP\\bsmith", " locked"},
    {"user", "home-folder", "profile read from /home/", "kwilson", "/.config"},
    {"email", "json-escaped", "{\"to\":\"", "bwhite\\u0040contoso-voice.com", "\"}"},
    {"phone", "url-encoded", "GET /api/v1/lookup?number=%2B", "4930765432", "&format=json"},
    {"word", "customer", "customer ", "Contoso Voice AG", " renewed the contract"},
    {"word", "vendor", "vendor ", "Fabrikam", " notified"},
    {"word", "snake-case", "database ", "Fabrikam", "_prod is up"},
    {"word", "pattern", "ticket ", "CUST-004711", " opened"},
    {"near-miss", "time", "logged at ", "14:05:09.123", " by the store"},
    {"near-miss", "iso-time", "rolled at ", "2026-12-04T14:05:09.123Z", " by the store"},
    {"near-miss", "date", "rolled on ", "2026-12-04", " by the store"},
    {"near-miss", "dotted-date", "rolled on ", "04.12.2026", " by the store"},
    {"near-miss", "slashed-date", "rolled on ", "12/04/2026", " by the store"},
    {"near-miss", "version", "Orvel version ", "4.0.1.12", " started"},
    {"near-miss", "product-version", "agent Orvel/", "4.0.1.12", " started"},
    {"near-miss", "v-version", "build v", "4.0.1.12", " started"},
    {"near-miss", "duration", "query took ", "1234", " ms"},
    {"near-miss", "clock-duration", "uptime ", "00:01:23.456", " so far"},
    {"near-miss", "hex-handle", "handle ", "0x7f3a9c00", " closed"},
    {"near-miss", "hex-id", "checksum ", "03b061f661351836", " verified"},
    {"near-miss", "session-id", "session ", "4c9c9e35-26c7", " resumed"},
    {"near-miss", "uuid", "object ", "550e8400-e29b-41d4-a716-446655440000", " stored"},
    {"near-miss", "port", "listening on port ", "5060", " for calls"},
    {"near-miss", "bound-port", "bound to :", "8080", " for the web API"},
    {"near-miss", "size", "wrote ", "1048576", " bytes"},
    {"near-miss", "size-decimal", "recording of ", "12.5", " MB stored"},
    {"near-miss", "size-kib", "cache of ", "4096", " KiB"},
    {"near-miss", "percentage", "packet loss ", "0.5", "% on the trunk"},
    {"near-miss", "count", "scanned ", "5772622", " rows"},
    {"near-miss", "large-count", "total ", "12345678901", " events"},
    {"near-miss", "module", "queue ", "MsgStore.Queue", " drained"},
    {"near-miss", "file", "file ", "data_x.log", " rotated"},
    {"near-miss", "library", "library ", "libOrvelComponents.so", " loaded"},
    {"near-miss", "offset", "timezone ", "+01:00", " applied"},
    {"near-miss", "resolution", "video ", "1920x1080", " negotiated"},
    {"near-miss", "netmask", "netmask ", "255.255.255.0", " applied"},
    {"near-miss", "loopback", "listening on ", "127.0.0.1", " only"},
    {"near-miss", "dotted-numbers", "path ", "1.3.6.1.4.1", " queried"},
    {"near-miss", "shared-profile", "copied to C:\\Users\\", "Public", "\\Documents"},
};

void check(std::ostream &out, const fs::path &path)
{
    if (!out.flush())
        throw std::runtime_error("cannot write " + path.string());
}

} // namespace

void plantIdentifiers(const fs::path &root, const fs::path &logs, const fs::path &list)
{
    std::ofstream data(logs / "data_planted.log", std::ios::binary | std::ios::trunc);
    std::ofstream diag(logs / "diag_planted.log", std::ios::binary | std::ios::trunc);
    std::ofstream labels(list, std::ios::binary | std::ios::trunc);
    labels << "entry\tline\tkind\tform\tvalue\tbefore\tafter\n";
    std::vector<Planted> all(std::begin(planted), std::end(planted));
    // This computer's own name, when it is one the program takes (three characters or more).
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) == 0 &&
        std::string(host).find('.') == std::string::npos && std::string(host).size() >= 3)
        all.push_back({"host", "own-name", "node ", host, " joined the cluster"});
    int line = 0;
    for (const Planted &p : all) {
        ++line;
        const std::string message = std::string(p.before) + p.value + p.after;
        char stamp[64];
        std::snprintf(stamp, sizeof stamp, "2026-12-04 14:%02d:%02d.%03d INFO  [Telephony] ",
                      line / 60 % 60, line % 60, line * 7 % 1000);
        data << stamp << message << "\r\n";
        char head[64];
        std::snprintf(head, sizeof head, "%016llX|%04X|1|5|",
                      1796371200000ULL + 1000ULL * unsigned(line), unsigned(line));
        diag << head << hexOf(message) << "\r\n";
        for (const char *entry : {"data_planted.log", "diag_planted.log.fmtd.txt"})
            labels << entry << '\t' << line << '\t' << p.kind << '\t' << p.form << '\t' << p.value
                   << '\t' << p.before << '\t' << p.after << '\n';
    }
    check(data, logs / "data_planted.log");
    check(diag, logs / "diag_planted.log");

    // Files named after a host, an address and a customer: the entries' names are cleaned too.
    for (const auto &[value, kind] : {std::pair{"orvel-srv7.corp.example", "host"},
                                      {"10.20.30.41", "ipv4"},
                                      {"Northwind", "word"}}) {
        const std::string named = std::string("data_") + value + ".log";
        std::ofstream(logs / named, std::ios::binary) << "2026-12-04 14:05:09.123 INFO  [MsgStore] "
                                                         "store opened\r\n";
        labels << named << "\t0\t" << kind << "\tentry-name\t" << value << "\tdata_\t.log\n";
    }
    check(labels, list);

    // The servers the served product's settings name.
    std::ofstream registry(root / "registry.reg", std::ios::binary | std::ios::app);
    registry << "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quenvo\\Network]\r\n"
             << "\"Mail Server\"=\"mx-quenvo7\"\r\n"
             << "\"SIP Proxies\"=\"sip-edge4:5060; sip-edge5:5061\"\r\n"
             << "\"Backup Path\"=\"\\\\\\\\bk-store3\\\\logs;\\\\\\\\bk-store9\\\\logs\"\r\n";
    check(registry, root / "registry.reg");

    // The site's own words, private as the program wants them.
    const fs::path words = root / "obfuscate-words.txt";
    std::ofstream(words, std::ios::binary | std::ios::trunc)
        << "# customers and vendors\nContoso Voice AG\nFabrikam\nre:CUST-[0-9]{6}\nNorthwind\n";
    ::chmod(words.c_str(), 0600);
}
