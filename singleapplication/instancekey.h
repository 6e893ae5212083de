#ifndef OSTREL_SINGLEAPPLICATION_INSTANCEKEY_H
#define OSTREL_SINGLEAPPLICATION_INSTANCEKEY_H

#include <QString>
#include <QStringList>

// What a copy knows about itself that copies of the same installation, run by the same user, know alike.
// A part left empty adds nothing to the key: that is how a start option leaves the version, the path or
// the user out.
struct InstanceIdentity
{
    QString applicationName;
    QString organizationName;
    QString organizationDomain;
    QStringList userData; // joined without a separator
    QString applicationVersion;
    QString applicationFilePath; // lower-cased before it is hashed
    QString userName;
};

// The name of the shared block and of the primary's local server, and the key a peer sends in its
// handshake, so the recipe is an inter-process format: SHA-256 over the tag "SingleApplication" and the
// parts above in their order, each as UTF-8 with nothing between them, then Base64 with every "/" written
// as "_". Always 44 characters of letters, digits, "+" and "_", ending in one "=".
QString deriveInstanceKey(const InstanceIdentity &identity);

// The system's names of the election's lock and of the shared block that copies with this instance key
// meet at (Platform::ipcObjectName).
QString electionLockName(const QString &instanceKey);
QString sharedBlockNativeKey(const QString &instanceKey);
// The lock the primary holds for as long as it has the role (see SingleApplication::takeRole).
QString primaryLockName(const QString &instanceKey);

#endif
