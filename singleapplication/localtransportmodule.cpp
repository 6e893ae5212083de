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

    qintptr descriptor(const QLocalSocket &socket) override { return socket.socketDescriptor(); }

    void acceptPending(QLocalServer &server) override
    {
        // One connection per call; a bounded number of them, so that a peer that keeps connecting
        // cannot hold the primary here.
        for (int accepted = 0; accepted < 1000; ++accepted) {
            // True only while an accepted connection waits to be taken, which the slot on newConnection
            // does at once; timedOut tells that nothing was pending.
            bool timedOut = false;
            if (!server.isListening())
                return;
            server.waitForNewConnection(0, &timedOut);
            if (timedOut)
                return;
        }
    }

    void deleteWhenDisconnected(QLocalSocket *socket) override
    {
        QObject::connect(socket, &QLocalSocket::disconnected, socket, &QLocalSocket::deleteLater);
    }

    const QMetaObject *socketMetaObject() override { return &QLocalSocket::staticMetaObject; }
};

#include "localtransportmodule.moc"
