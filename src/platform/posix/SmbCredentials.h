#pragma once

#include <QByteArray>
#include <QString>

// How this account logs on to a share. Read from the credentials file in the format mount.cifs
// takes ("username=", "password=", optional "domain="; "#" starts a comment), at
// $XDG_CONFIG_HOME/Sorvik/smb-credentials. Without that file: a Kerberos ticket where the account
// has one, else a guest logon.
struct SmbCredentials {
    enum class Kind { File, KerberosOrGuest };
    Kind kind = Kind::KerberosOrGuest;
    QByteArray domain;
    QByteArray user;
    QByteArray password;
    // Whether the file has a password line at all (password= with nothing after it is an empty
    // password).
    bool passwordGiven = false;

    SmbCredentials() = default;
    SmbCredentials(const SmbCredentials &) = default;
    SmbCredentials &operator=(const SmbCredentials &) = default;
    // The password is wiped from memory with the last copy that held it.
    ~SmbCredentials();

    bool operator==(const SmbCredentials &other) const = default;

    // Where the file is looked for.
    static QString filePath();
    // Reads the file. A file that is not a regular file owned by this account and closed to group
    // and others is refused: throws FileSystemError whose reason says why (never what it holds).
    static SmbCredentials load();
    // The same from a file's text, for the parser alone.
    static SmbCredentials parse(const QByteArray &text);

    // What in the account's set-up most likely made the server refuse the logon, in words, or
    // nothing: no file (so a ticket or the guest account was tried), a file without a password
    // line, a password that begins or ends with a blank (the text after '=' is taken as it
    // stands, as mount.cifs takes it). Never what the password is.
    QString likelySlip() const;
};
