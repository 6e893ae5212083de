#include "instancekey.h"

#include "platform.h"

#include <QByteArray>
#include <QCryptographicHash>

QString deriveInstanceKey(const InstanceIdentity &identity)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData("SingleApplication", 17);
    hash.addData(identity.applicationName.toUtf8());
    hash.addData(identity.organizationName.toUtf8());
    hash.addData(identity.organizationDomain.toUtf8());
    hash.addData(identity.userData.join(QString()).toUtf8());
    hash.addData(identity.applicationVersion.toUtf8());
    // Lower-cased so that a copy started through a differently cased path still meets its peers.
    hash.addData(identity.applicationFilePath.toLower().toUtf8());
    hash.addData(identity.userName.toUtf8());
    // "/" would not survive as part of a file or server name.
    return QString::fromLatin1(hash.result().toBase64().replace('/', '_'));
}

QString electionLockName(const QString &instanceKey)
{
    return Platform::ipcObjectName(instanceKey + QLatin1String(".lock"));
}

QString sharedBlockNativeKey(const QString &instanceKey)
{
    return Platform::ipcObjectName(instanceKey + QLatin1String(".block"));
}

QString primaryLockName(const QString &instanceKey)
{
    return Platform::ipcObjectName(instanceKey + QLatin1String(".primary"));
}
