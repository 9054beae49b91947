// The words after "user", "login"... that name no account.
#include "archive/obfuscation/Characters.h"
#include "archive/obfuscation/Rules.h"

#include <algorithm>
#include <string>

namespace obfuscation::rules {

using namespace chars;

namespace {

bool oneOf(const std::string &word, std::initializer_list<const char *> list)
{
    return std::any_of(list.begin(), list.end(), [&](const char *w) { return word == w; });
}

} // namespace

bool notAnAccount(std::string_view token)
{
    const std::string word = lowered(token);
    // A SIP address's parameter ("user=phone"), a release cause ("User busy"), a qualifier
    // ("Owner id number").
    if (oneOf(word, {"phone", "ip", "dialstring", "busy", "number"}))
        return true;
    return oneOf(word,
                 {"name", "names", "id", "ids", "agent", "account", "accounts", "data", "interface",
                  "mode", "session", "sessions", "is", "was", "has", "had", "not", "logged",
                  "login", "logon", "logout", "cancelled", "canceled", "the", "a", "an", "and",
                  "or", "of", "for", "from", "to", "in", "on", "with", "without", "by", "at", "as",
                  "settings", "profile", "profiles", "list", "count", "limit", "group", "groups",
                  "exists", "unknown", "none", "null", "request", "requests", "info", "details",
                  "error", "failed", "failure", "created", "deleted", "changed", "updated", "added",
                  "removed", "locked", "unlocked", "disabled", "enabled", "password", "credentials",
                  "authenticated", "directory", "record", "records", "entry", "entries",
                  "successful", "success", "attempt", "attempts", "denied", "rights", "permissions",
                  "if", "this", "that", "cache", "quota", "lookup", "found", "missing", "invalid",
                  "did", "does", "will", "can", "must", "should", "may", "no", "yes", "true",
                  "false", "ok", "started", "stopped", "timeout", "expired", "page", "service",
                  "table", "type", "level", "role", "roles", "policy", "object", "context", "state",
                  "status", "query", "mapping", "database", "store", "home", "folder",
                  // Folders of every account ("C:\\Users\\Public").
                  "public", "default", "shared", "all"});
}

} // namespace obfuscation::rules
