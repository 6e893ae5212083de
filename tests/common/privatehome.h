#ifndef OSTREL_TESTS_PRIVATEHOME_H
#define OSTREL_TESTS_PRIVATEHOME_H

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

// The maker's folder in the private configuration folder, where the registry stand-in keeps its hive and
// the editor its config.ini; and that hive.
inline QString privateVendorFolder()
{
    return qEnvironmentVariable("XDG_CONFIG_HOME") + QLatin1String("/Ostrel");
}

inline QString privateHiveFile()
{
    return privateVendorFolder() + QLatin1String("/registry.reg");
}

// Runs a test object in a process whose home and configuration folders are fresh and private. They are
// set before the application object exists, since the standard paths are read from the environment.
template<typename TestObject>
int execWithPrivateHome(int argc, char **argv)
{
    QTemporaryDir folder;
    if (!folder.isValid())
        return 1;
    const QString config = folder.path() + QLatin1String("/config");
    const QString home = folder.path() + QLatin1String("/home");
    if (!QDir().mkpath(config) || !QDir().mkpath(home))
        return 1;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config));
    qputenv("HOME", QFile::encodeName(home));
    QCoreApplication app(argc, argv);
    TestObject test;
    return QTest::qExec(&test, argc, argv);
}

#endif
