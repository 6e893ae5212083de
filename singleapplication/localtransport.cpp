#include "localtransport.h"

#include <QCoreApplication>
#include <QDebug>
#include <QMetaType>
#include <QPluginLoader>

#include <new>

LocalTransport *localTransport()
{
    static LocalTransport *const transport = []() -> LocalTransport * {
        // Beside the program only, where the installation put it: a module found on a search path could be
        // anybody's. The loader is never destroyed, so that the module stays loaded to the very end,
        // after the last server or socket it made is gone.
        static auto *const loader =
            new QPluginLoader(QCoreApplication::applicationDirPath() + QLatin1Char('/') +
                              QLatin1String(LocalTransportModuleName));
        auto *const loaded = qobject_cast<LocalTransport *>(loader->instance());
        if (!loaded)
            qWarning().noquote() << "SingleApplication: Unable to load the local server module:"
                                 << loader->errorString();
        return loaded;
    }();
    return transport;
}

// The flags, size and functions are the ones qRegisterMetaType gives a pointer to a QObject subclass.
int registerLocalSocketPointerType()
{
    LocalTransport *transport = localTransport();
    if (!transport)
        return QMetaType::UnknownType;
    const QMetaType::Destructor destruct = [](void *) {};
    const QMetaType::Constructor construct = [](void *where, const void *copy) -> void * {
        return new (where) QLocalSocket *(copy ? *static_cast<QLocalSocket *const *>(copy) : nullptr);
    };
    return QMetaType::registerNormalizedType(
        QByteArrayLiteral("QLocalSocket*"), destruct, construct, int(sizeof(QLocalSocket *)),
        QMetaType::MovableType | QMetaType::PointerToQObject | QMetaType::WasDeclaredAsMetaType,
        transport->socketMetaObject());
}
