#pragma once

#include <QString>

#include <memory>
#include <optional>

// What the system tells about the computer (the workstation record).
struct WorkstationFacts {
    qint32 platformId = 0;
    QString computerName;
    QString lanGroup;
    qint32 verMajor = 0;
    qint32 verMinor = 0;
    QString lanRoot;
    qint32 loggedOnUsers = 0;
};

// What the system tells about the user running the program.
struct WorkstationUserFacts {
    QString userName;
    QString logonDomain;
    QString otherDomains;
    QString logonServer;
};

// The system's answers; each query is nothing when it fails.
class WorkStationSource {
public:
    virtual ~WorkStationSource() = default;
    // Whether the system can answer the queries at all.
    virtual bool answersQueries() const = 0;
    virtual std::optional<WorkstationFacts> workstation() const = 0;
    virtual std::optional<WorkstationUserFacts> user() const = 0;
};

// The platform's source; defined by the one backend that is built.
std::shared_ptr<WorkStationSource> makeWorkStationSource();

// Facts about the computer and its user, filled when created and on Refresh. A query that fails
// leaves its fields as they were (empty or 0 at first). Only ComputerName is used elsewhere.
class WorkStationInfo {
public:
    explicit WorkStationInfo(std::shared_ptr<WorkStationSource> source = makeWorkStationSource());

    const QString &ComputerName() const { return m_workstation.computerName; }
    const QString &Domain() const { return m_workstation.lanGroup; }
    const QString &LanRoot() const { return m_workstation.lanRoot; }
    qint32 LoggedOnUsers() const { return m_workstation.loggedOnUsers; }
    qint32 PlatforMid() const { return m_workstation.platformId; }
    qint32 VerMajor() const { return m_workstation.verMajor; }
    qint32 VerMinor() const { return m_workstation.verMinor; }
    const QString &LogonDomain() const { return m_user.logonDomain; }
    const QString &LogonServer() const { return m_user.logonServer; }
    const QString &OtherDomains() const { return m_user.otherDomains; }
    const QString &UserName() const { return m_user.userName; }

    void Refresh();

private:
    std::shared_ptr<WorkStationSource> m_source;
    bool IsNT = false;
    WorkstationFacts m_workstation;
    WorkstationUserFacts m_user;
};
