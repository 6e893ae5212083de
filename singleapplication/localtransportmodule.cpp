// The module that holds the program's calls into Qt Network (see localtransport.h). It is linked against
// Qt Network; nothing that a copy runs before it becomes primary is.

#include "localtransport.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QObject>

class LocalTransportModule : public QObject, public LocalTransport
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID OstrelLocalTransportIid)
    Q_INTERFACES(LocalTransport)

public:
    std::unique_ptr<QLocalServer> listen(const QString &name, bool sameUserOnly) override
    {
        QLocalServer::removeServer(name);
        auto server = std::make_unique<QLocalServer>();
        server->setSocketOptions(sameUserOnly ? QLocalServer::UserAccessOption
                                              : QLocalServer::WorldAccessOption);
        server->listen(name);
        return server;
    }

    std::unique_ptr<QLocalSocket> createSocket() override { return std::make_unique<QLocalSocket>(); }

    bool connectToServer(QLocalSocket &socket, const QString &name, int timeoutMs) override
    {
        if (socket.state() != QLocalSocket::ConnectingState)
            socket.connectToServer(name, QIODevice::ReadWrite);
        if (socket.state() == QLocalSocket::ConnectingState)
            socket.waitForConnected(timeoutMs);
        return isConnected(socket);
    }

    bool isConnected(const QLocalSocket &socket) override
    {
        return socket.state() == QLocalSocket::ConnectedState;
    }

    void flush(QLocalSocket &socket) override { socket.flush(); }

    void deleteWhenDisconnected(QLocalSocket *socket) override
    {
        QObject::connect(socket, &QLocalSocket::disconnected, socket, &QLocalSocket::deleteLater);
    }

    const QMetaObject *socketMetaObject() override { return &QLocalSocket::staticMetaObject; }
};

#include "localtransportmodule.moc"
