#pragma once

#include <QString>

#include <cstddef>
#include <memory>

// The secret that archives are encrypted with. Its bytes live in this one buffer only, are never
// turned into text (no run log, box or message can show them) and are wiped when it goes.
class Passphrase {
public:
    Passphrase(const char *bytes, size_t length);
    ~Passphrase();
    Passphrase(const Passphrase &) = delete;
    Passphrase &operator=(const Passphrase &) = delete;

    const char *data() const { return m_data.get(); }
    size_t size() const { return m_size; }

private:
    std::unique_ptr<char[]> m_data;
    size_t m_size;
};

// The longest first line taken as a passphrase: 7-Zip, the reader the archives are meant for,
// takes no longer one (it says "Wrong password" for every entry of an archive made with 100 bytes).
constexpr size_t passphraseLimit = 99;

// Reads the passphrase from the first line of the file at `path`, without its line break (LF or
// CR LF). The file is used only when it is a regular file reached by an absolute path whose last
// step is no symbolic link, owned by the account that runs the program, with no permission for
// group or others, and its first line not empty and at most passphraseLimit bytes: anyone else
// who could read it could open the archives, and anyone who could change it could choose their
// key. It is opened without blocking (a FIFO planted there is refused, never waited on) and
// checked on the open descriptor, so what is checked is what is read. Throws Failure whose
// description says why the file cannot be used.
std::shared_ptr<const Passphrase> readPassphraseFile(const QString &path);
