// The varied text style: the logs of a product of many parts, whose lines share little but their
// frame.
#include "orvel_sim_text.h"

#include <cstdio>
#include <ctime>
#include <iterator>

namespace {

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

} // namespace

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
