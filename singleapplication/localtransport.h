#ifndef OSTREL_LOCALTRANSPORT_H
#define OSTREL_LOCALTRANSPORT_H

#include <QMetaType>
#include <QtGlobal>
#include <QtPlugin>

#include <memory>

class QLocalServer;
class QLocalSocket;
struct QMetaObject;
class QString;

// The calls into Qt Network that the election makes. They sit in a module of their own, loaded only by a
// copy that becomes primary or contacts one: Qt Network, with the libraries it pulls in, costs a copy more
// processor time at its start than everything else the copy does, and most copies of a selection end as
// secondaries that never open a socket. Everything else done with servers and sockets goes through their
// virtual functions and the meta-object system, which need no link to Qt Network.
class LocalTransport
{
public:
    virtual ~LocalTransport() = default;

    // Clears a server file that a primary which did not end in order left behind, then makes a server that
    // admits the same user only (or everyone) and lets it listen under the name. The server is returned
    // whether or not it could listen.
    virtual std::unique_ptr<QLocalServer> listen(const QString &name, bool sameUserOnly) = 0;

    virtual std::unique_ptr<QLocalSocket> createSocket() = 0;
    // One attempt: starts connecting unless an attempt is under way, then waits up to timeoutMs for it.
    // True once the socket is connected.
    virtual bool connectToServer(QLocalSocket &socket, const QString &name, int timeoutMs) = 0;
    virtual bool isConnected(const QLocalSocket &socket) = 0;
    // Hands what is buffered to the system without waiting.
    virtual void flush(QLocalSocket &socket) = 0;

    // The system's handle of a connected socket (a Unix socket's descriptor, a named pipe's handle).
    virtual qintptr descriptor(const QLocalSocket &socket) = 0;
    // Accepts, without waiting, every connection that is pending on the server now; each is announced by
    // the server's newConnection signal.
    virtual void acceptPending(QLocalServer &server) = 0;

    // Lets a socket that the server accepted delete itself once its peer has gone.
    virtual void deleteWhenDisconnected(QLocalSocket *socket) = 0;

    virtual const QMetaObject *socketMetaObject() = 0;
};

#define OstrelLocalTransportIid "org.ostrel.ContextMenu.LocalTransport/1"
Q_DECLARE_INTERFACE(LocalTransport, OstrelLocalTransportIid)

// The module's base name, without the platform's prefix and suffix.
constexpr char LocalTransportModuleName[] = "ostrel_localtransport";

// The module beside the program, loaded by the first call and kept to the end of the process, since the
// servers and sockets it makes run its code. Null, with a warning logged once, when it cannot be loaded.
LocalTransport *localTransport();

// Registers "QLocalSocket*" with the meta-type system as a pointer to a QObject subclass, as
// qRegisterMetaType does for such a type, with the class's meta-object taken from the module. The type id,
// or QMetaType::UnknownType without the module.
int registerLocalSocketPointerType();

// The socket pointer type of SingleApplicationPrivate's slots, registered the first time the meta-object
// system asks for their argument types. Qt's own QMetaTypeId for a pointer to a QObject subclass would
// link QLocalSocket's meta-object, which is Qt Network's, into every copy; this one takes it from the
// transport module, and only when asked.
#ifdef Q_MOC_RUN
// Tells moc only that the type is registrable; the compiler gets the specialization below instead.
Q_DECLARE_METATYPE(QLocalSocket *)
#endif
template<>
struct QMetaTypeId<QLocalSocket *>
{
    enum { Defined = 1 };
    static int qt_metatype_id()
    {
        static const int id = registerLocalSocketPointerType();
        return id;
    }
};

#endif
