#include "byteformats.h"
#include "singleapplication_p.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMetaMethod>
#include <QTest>
#include <QTimer>
#include <QUuid>

#include <memory>

namespace {

SingleApplication *application()
{
    return static_cast<SingleApplication *>(QCoreApplication::instance());
}

// Shaped like an InstanceKey, but unique to one use, so no other process or test can meet it.
QString freshKey()
{
    return QString::fromLatin1(
        QCryptographicHash::hash(QUuid::createUuid().toByteArray(), QCryptographicHash::Sha256)
            .toBase64()
            .replace('/', '_'));
}

QByteArray handshake(const QString &key, HandshakeKind kind, quint32 instanceId)
{
    return ::handshake(key.toLatin1(), kind, instanceId);
}

// A connected pair of local sockets apart from any primary: the slots only drain the socket they get.
struct SocketPair
{
    QLocalServer server;
    QLocalSocket writer;
    QLocalSocket *reader = nullptr;

    bool connect()
    {
        if (!server.listen(freshKey()))
            return false;
        writer.connectToServer(server.serverName());
        if (!writer.waitForConnected(5000) || !server.waitForNewConnection(5000))
            return false;
        reader = server.nextPendingConnection();
        return reader != nullptr;
    }
};

// Everything the application object announces, in order.
class Recorder
{
public:
    Recorder()
    {
        m_connections << QObject::connect(application(), &SingleApplication::instanceStarted,
                                          [this] { events << QStringLiteral("started"); });
        m_connections << QObject::connect(
            application(), &SingleApplication::receivedMessage,
            [this](quint32 id, const QByteArray &message) {
                events << QStringLiteral("message %1 %2").arg(id).arg(QString::fromLatin1(message));
            });
    }
    ~Recorder()
    {
        for (const auto &connection : m_connections)
            QObject::disconnect(connection);
    }
    QStringList events;

private:
    QList<QMetaObject::Connection> m_connections;
};

// A primary's private object with its own server, served by the test's event loop.
std::unique_ptr<SingleApplicationPrivate> startPrimary(SingleApplication::StartOptions options)
{
    auto d = std::make_unique<SingleApplicationPrivate>(application());
    d->instanceKey = freshKey();
    d->startOptions = options;
    d->startLocalServer();
    return d;
}

// A connected peer whose record the primary has made.
std::unique_ptr<QLocalSocket> connectPeer(SingleApplicationPrivate &d)
{
    auto peer = std::make_unique<QLocalSocket>();
    peer->connectToServer(d.instanceKey);
    if (!peer->waitForConnected(5000))
        return nullptr;
    QElapsedTimer clock;
    clock.start();
    while (d.clientRecords.isEmpty() && clock.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    return d.clientRecords.size() == 1 ? std::move(peer) : nullptr;
}

void send(QLocalSocket &peer, const QByteArray &bytes)
{
    peer.write(bytes);
    peer.waitForBytesWritten(5000);
}

// Drives the private object's slots and receives the application's signals, every connection made by its
// signature string, as a caller that knows only the meta-object would make it.
class SignatureDriver : public QObject
{
    Q_OBJECT

public:
    QStringList received;

Q_SIGNALS:
    void connectionPending();
    void dataFor(QLocalSocket *socket, quint32 instanceId);
    void closedFor(QLocalSocket *socket, quint32 instanceId);

public Q_SLOTS:
    void onInstanceStarted() { received << QStringLiteral("started"); }
    void onReceivedMessage(quint32 id, const QByteArray &message)
    {
        received << QStringLiteral("message %1 %2").arg(id).arg(QString::fromLatin1(message));
    }
};

} // namespace

class ProtocolTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // First: nothing may have asked for the slots' argument types yet.
    void metaObjectOfPrivate();
    void metaObjectOfApplication();

    void handshakeInAnySplit_data();
    void handshakeInAnySplit();
    void rejections_data();
    void rejections();
    void announcedBodyIsAwaited();
    void handshakeKinds_data();
    void handshakeKinds();
    void bytesLeftAtClose();
    void slotsThroughMetaObject();
    void everySignalAndSlotByItsSignature();

    void contactPrimaryWritesHandshake();
    void contactPrimaryWithoutServer_data();
    void contactPrimaryWithoutServer();
    void contactPrimaryWithZeroBudget();
    void applicationIsPrimaryOfItsOwnKey();
};

void ProtocolTest::metaObjectOfPrivate()
{
    const QMetaObject &mo = SingleApplicationPrivate::staticMetaObject;
    QCOMPARE(mo.className(), "SingleApplicationPrivate");
    QCOMPARE(mo.superClass(), &QObject::staticMetaObject);
    QCOMPARE(mo.propertyCount() - mo.propertyOffset(), 0);
    QCOMPARE(mo.enumeratorCount() - mo.enumeratorOffset(), 0);
    QCOMPARE(mo.classInfoCount() - mo.classInfoOffset(), 0);
    QCOMPARE(mo.constructorCount(), 0);

    const QByteArray signatures[] = {"slotConnectionEstablished()", "slotDataAvailable(QLocalSocket*,uint)",
                                     "slotClientConnectionClosed(QLocalSocket*,uint)"};
    for (int i = 0; i < 3; ++i) {
        const QMetaMethod method = mo.method(mo.methodOffset() + i);
        QCOMPARE(method.methodSignature(), signatures[i]);
        QCOMPARE(method.methodType(), QMetaMethod::Slot);
        QCOMPARE(method.access(), QMetaMethod::Public);
        QCOMPARE(method.returnType(), int(QMetaType::Void));
        if (i > 0) {
            QCOMPARE(method.parameterTypes(), (QList<QByteArray>{"QLocalSocket*", "uint"}));
            QCOMPARE(method.parameterNames(), (QList<QByteArray>{QByteArray(), QByteArray()}));
        }
    }

    // The socket pointer type is registered lazily, when its argument types are first asked for.
    QCOMPARE(QMetaType::type("QLocalSocket*"), int(QMetaType::UnknownType));
    const QMetaMethod dataAvailable = mo.method(mo.indexOfSlot("slotDataAvailable(QLocalSocket*,uint)"));
    const int socketType = dataAvailable.parameterType(0);
    QVERIFY(socketType != QMetaType::UnknownType);
    QCOMPARE(QMetaType::type("QLocalSocket*"), socketType);
    // Registered as the framework registers a pointer to any QObject subclass.
    QCOMPARE(QMetaType::typeFlags(socketType), QMetaType::typeFlags(qRegisterMetaType<QTimer *>()));
    QVERIFY(QMetaType::typeFlags(socketType) & QMetaType::PointerToQObject);
    QCOMPARE(QMetaType::metaObjectForType(socketType), &QLocalSocket::staticMetaObject);
    QCOMPARE(dataAvailable.parameterType(1), int(QMetaType::UInt));
    const QMetaMethod closed = mo.method(mo.indexOfSlot("slotClientConnectionClosed(QLocalSocket*,uint)"));
    QCOMPARE(closed.parameterType(0), socketType);
}

void ProtocolTest::metaObjectOfApplication()
{
    const QMetaObject &mo = SingleApplication::staticMetaObject;
    QCOMPARE(mo.className(), "SingleApplication");
    QCOMPARE(mo.superClass(), &QCoreApplication::staticMetaObject);
    QCOMPARE(mo.propertyCount() - mo.propertyOffset(), 0);
    QCOMPARE(mo.enumeratorCount() - mo.enumeratorOffset(), 0);
    QCOMPARE(mo.classInfoCount() - mo.classInfoOffset(), 0);

    const QMetaMethod started = mo.method(mo.methodOffset());
    QCOMPARE(started.methodSignature(), QByteArray("instanceStarted()"));
    QCOMPARE(started.methodType(), QMetaMethod::Signal);
    QCOMPARE(started.access(), QMetaMethod::Public);
    const QMetaMethod received = mo.method(mo.methodOffset() + 1);
    QCOMPARE(received.methodSignature(), QByteArray("receivedMessage(uint,QByteArray)"));
    QCOMPARE(received.methodType(), QMetaMethod::Signal);
    QCOMPARE(received.access(), QMetaMethod::Public);
    QCOMPARE(received.parameterNames(), (QList<QByteArray>{"instanceId", "message"}));
    QCOMPARE(received.parameterType(0), int(QMetaType::UInt));
    QCOMPARE(received.parameterType(1), int(QMetaType::QByteArray));
}

void ProtocolTest::handshakeInAnySplit_data()
{
    QTest::addColumn<QList<int>>("cuts"); // offsets at which the stream is split into writes
    QTest::addColumn<QByteArray>("extra");
    QTest::newRow("one chunk") << QList<int>{} << QByteArray();
    QTest::newRow("header in pieces") << QList<int>{1, 3, 7, 8} << QByteArray();
    QTest::newRow("header and body apart") << QList<int>{8} << QByteArray();
    QTest::newRow("body in pieces") << QList<int>{8, 20, 60} << QByteArray();
    QTest::newRow("header, body and extra bytes in one chunk") << QList<int>{} << QByteArray("extra bytes");
    QTest::newRow("header apart, body with extra bytes") << QList<int>{8} << QByteArray("more");
}

void ProtocolTest::handshakeInAnySplit()
{
    QFETCH(QList<int>, cuts);
    QFETCH(QByteArray, extra);
    auto d = startPrimary(SingleApplication::UserScoped);
    Recorder recorder;
    auto peer = connectPeer(*d);
    QVERIFY(peer);
    QLocalSocket *accepted = d->clientRecords.firstKey();

    const QByteArray stream = handshake(d->instanceKey, HandshakeKind::DuplicateLaunch, 7) + extra;
    QCOMPARE(stream.size(), 8 + 11 + 44 + extra.size());
    int from = 0;
    for (int cut : cuts) {
        send(*peer, stream.mid(from, cut - from));
        from = cut;
        // Wait until the primary holds everything sent so far, then look at its record.
        QTRY_VERIFY(accepted->bytesAvailable() > 0 ||
                    d->clientRecords.value(accepted).phase != ReadPhase::AwaitingHeader);
        QTest::qWait(20);
        const ClientRecord record = d->clientRecords.value(accepted);
        QCOMPARE(int(record.phase), cut < 8 ? int(ReadPhase::AwaitingHeader) : int(ReadPhase::AwaitingBody));
        if (cut >= 8)
            QCOMPARE(record.expectedLength, qint64(55));
        QVERIFY(recorder.events.isEmpty());
    }
    send(*peer, stream.mid(from));

    QStringList expected{QStringLiteral("started")};
    if (!extra.isEmpty())
        expected << QStringLiteral("message 7 ") + QString::fromLatin1(extra);
    QTRY_COMPARE(recorder.events, expected);
    QCOMPARE(int(d->clientRecords.value(accepted).phase), int(ReadPhase::Established));
    QCOMPARE(d->clientRecords.value(accepted).instanceId, 7u);

    // Bytes after acceptance arrive as messages of that peer.
    send(*peer, "later");
    QTRY_COMPARE(recorder.events.size(), expected.size() + 1);
    QCOMPARE(recorder.events.last(), QStringLiteral("message 7 later"));
    QCOMPARE(peer->state(), QLocalSocket::ConnectedState);
}

enum Rejection { WrongCaseKey, BrokenChecksum, ExtraCounted, NullKey, HeaderOnly };

void ProtocolTest::rejections_data()
{
    QTest::addColumn<int>("mutation");
    QTest::addColumn<qint64>("length"); // for the header-only cases
    QTest::newRow("key in another letter case") << int(WrongCaseKey) << qint64(0);
    QTest::newRow("broken checksum") << int(BrokenChecksum) << qint64(0);
    QTest::newRow("extra bytes counted in the length") << int(ExtraCounted) << qint64(0);
    QTest::newRow("null key") << int(NullKey) << qint64(0);
    QTest::newRow("length 0") << int(HeaderOnly) << qint64(0);
    QTest::newRow("length 1") << int(HeaderOnly) << qint64(1);
    QTest::newRow("length 10") << int(HeaderOnly) << qint64(10);
    QTest::newRow("length -1") << int(HeaderOnly) << qint64(-1);
    QTest::newRow("length most negative") << int(HeaderOnly) << std::numeric_limits<qint64>::min();
    QTest::newRow("length over the maximum") << int(HeaderOnly) << MaxHandshakeBodyLength + 1;
    QTest::newRow("length most positive") << int(HeaderOnly) << std::numeric_limits<qint64>::max();
}

void ProtocolTest::rejections()
{
    QFETCH(int, mutation);
    QFETCH(qint64, length);
    auto d = startPrimary(SingleApplication::UserScoped | SingleApplication::NotifyPrimaryOfSecondaries);
    Recorder recorder;
    auto peer = connectPeer(*d);
    QVERIFY(peer);

    const QByteArray key = d->instanceKey.toLatin1();
    QByteArray stream;
    switch (Rejection(mutation)) {
    case WrongCaseKey: {
        const QByteArray body = handshakeBody(key.toLower(), HandshakeKind::DuplicateLaunch, 3);
        stream = handshakeHeader(body.size()) + body;
        break;
    }
    case BrokenChecksum: {
        QByteArray body = handshakeBody(key, HandshakeKind::DuplicateLaunch, 3);
        body[body.size() - 1] = char(body.at(body.size() - 1) ^ 0x01);
        stream = handshakeHeader(body.size()) + body;
        break;
    }
    case ExtraCounted: {
        const QByteArray body = handshakeBody(key, HandshakeKind::DuplicateLaunch, 3) + "xy";
        stream = handshakeHeader(body.size()) + body;
        break;
    }
    case NullKey: {
        QByteArray body = bigEndian(0xffffffffu, 4) + char(HandshakeKind::DuplicateLaunch) + bigEndian(3, 4);
        body += bigEndian(crc16x25(body), 2);
        stream = handshakeHeader(body.size()) + body;
        break;
    }
    case HeaderOnly:
        // Short lengths get their body, so that the stream check rather than a wait decides.
        stream = handshakeHeader(length) + QByteArray(length >= 0 && length <= 64 ? int(length) : 0, 'z');
        break;
    }
    // Bytes that follow in the same write are handed over when the primary closes the connection.
    send(*peer, stream + "tail");

    QTRY_COMPARE(peer->state(), QLocalSocket::UnconnectedState);
    QTRY_COMPARE(recorder.events, QStringList{QStringLiteral("message 0 tail")});
    QTRY_VERIFY(d->clientRecords.isEmpty());
}

// A length within the cap is waited for, however far the body is from complete: there is no time-out.
void ProtocolTest::announcedBodyIsAwaited()
{
    auto d = startPrimary(SingleApplication::UserScoped);
    Recorder recorder;
    auto peer = connectPeer(*d);
    QVERIFY(peer);
    QLocalSocket *accepted = d->clientRecords.firstKey();
    send(*peer, handshakeHeader(MaxHandshakeBodyLength) + QByteArray(100, 'a'));
    QTRY_COMPARE(int(d->clientRecords.value(accepted).phase), int(ReadPhase::AwaitingBody));
    QTest::qWait(100);
    QCOMPARE(peer->state(), QLocalSocket::ConnectedState);
    QCOMPARE(d->clientRecords.value(accepted).expectedLength, MaxHandshakeBodyLength);
    QVERIFY(recorder.events.isEmpty());
}

void ProtocolTest::handshakeKinds_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<bool>("notifyOption");
    QTest::addColumn<bool>("announced");
    QTest::newRow("duplicate launch") << int(HandshakeKind::DuplicateLaunch) << false << true;
    QTest::newRow("secondary launch, primary not notified")
        << int(HandshakeKind::SecondaryLaunch) << false << false;
    QTest::newRow("secondary launch, primary notified")
        << int(HandshakeKind::SecondaryLaunch) << true << true;
    QTest::newRow("unknown kind") << 3 << true << false;
    QTest::newRow("negative kind") << -1 << true << false;
}

void ProtocolTest::handshakeKinds()
{
    QFETCH(int, kind);
    QFETCH(bool, notifyOption);
    QFETCH(bool, announced);
    auto d = startPrimary(notifyOption ? SingleApplication::NotifyPrimaryOfSecondaries
                                       : SingleApplication::UserScoped);
    Recorder recorder;
    auto peer = connectPeer(*d);
    QVERIFY(peer);
    QLocalSocket *accepted = d->clientRecords.firstKey();

    send(*peer, ::handshake(d->instanceKey.toLatin1(), qint8(kind), 5));
    QTRY_COMPARE(int(d->clientRecords.value(accepted).phase), int(ReadPhase::Established));
    send(*peer, "after");
    QStringList expected;
    if (announced)
        expected << QStringLiteral("started");
    expected << QStringLiteral("message 5 after");
    QTRY_COMPARE(recorder.events, expected);
}

void ProtocolTest::bytesLeftAtClose()
{
    auto d = startPrimary(SingleApplication::UserScoped);
    Recorder recorder;

    // Before acceptance: the record's instance id, 0, goes with them.
    {
        auto peer = connectPeer(*d);
        QVERIFY(peer);
        send(*peer, handshakeHeader(100) + QByteArray(20, 'p'));
        QTRY_COMPARE(int(d->clientRecords.first().phase), int(ReadPhase::AwaitingBody));
        peer->disconnectFromServer();
        QTRY_VERIFY(d->clientRecords.isEmpty());
        QCOMPARE(recorder.events, QStringList{QStringLiteral("message 0 ") + QString(20, QLatin1Char('p'))});
    }
    recorder.events.clear();

    // After acceptance: every byte reaches the application, with the peer's id, whatever the split.
    {
        auto peer = connectPeer(*d);
        QVERIFY(peer);
        send(*peer, handshake(d->instanceKey, HandshakeKind::SecondaryLaunch, 9));
        QTRY_COMPARE(int(d->clientRecords.first().phase), int(ReadPhase::Established));
        send(*peer, "goodbye");
        peer->disconnectFromServer();
        QTRY_VERIFY(d->clientRecords.isEmpty());
        QString joined;
        for (const QString &event : recorder.events) {
            QVERIFY2(event.startsWith(QLatin1String("message 9 ")), qPrintable(event));
            joined += event.mid(10);
        }
        QCOMPARE(joined, QStringLiteral("goodbye"));
    }
}

void ProtocolTest::slotsThroughMetaObject()
{
    auto d = startPrimary(SingleApplication::UserScoped);
    Recorder recorder;
    // Any connected socket with bytes waiting will do; the slots only drain it.
    SocketPair pair;
    QVERIFY(pair.connect());
    QLocalSocket &writer = pair.writer;
    QLocalSocket *reader = pair.reader;

    QVERIFY(QMetaObject::invokeMethod(d.get(), "slotClientConnectionClosed", Q_ARG(QLocalSocket *, reader),
                                      Q_ARG(quint32, 4)));
    QVERIFY(QMetaObject::invokeMethod(d.get(), "slotDataAvailable", Q_ARG(QLocalSocket *, reader),
                                      Q_ARG(quint32, 4)));
    QCOMPARE(recorder.events, QStringList{QStringLiteral("message 4 ")});

    send(writer, "abc");
    QTRY_COMPARE(reader->bytesAvailable(), qint64(3));
    QVERIFY(QMetaObject::invokeMethod(d.get(), "slotClientConnectionClosed", Q_ARG(QLocalSocket *, reader),
                                      Q_ARG(quint32, 6)));
    QCOMPARE(recorder.events.last(), QStringLiteral("message 6 abc"));
    send(writer, "def");
    QTRY_COMPARE(reader->bytesAvailable(), qint64(3));
    QVERIFY(QMetaObject::invokeMethod(d.get(), "slotDataAvailable", Q_ARG(QLocalSocket *, reader),
                                      Q_ARG(quint32, 8)));
    QCOMPARE(recorder.events.last(), QStringLiteral("message 8 def"));
    QCOMPARE(recorder.events.size(), 3);

    // The connection slot reaches the server's pending connections the same way.
    auto peer = std::make_unique<QLocalSocket>();
    peer->connectToServer(d->instanceKey);
    QVERIFY(peer->waitForConnected(5000));
    QTRY_COMPARE(d->clientRecords.size(), 1);
}

void ProtocolTest::everySignalAndSlotByItsSignature()
{
    auto d = startPrimary(SingleApplication::UserScoped);
    SignatureDriver driver;
    QVERIFY(QObject::connect(application(), SIGNAL(instanceStarted()), &driver, SLOT(onInstanceStarted())));
    QVERIFY(QObject::connect(application(), SIGNAL(receivedMessage(quint32, QByteArray)), &driver,
                             SLOT(onReceivedMessage(quint32, QByteArray))));
    QVERIFY(QObject::connect(&driver, SIGNAL(dataFor(QLocalSocket *, quint32)), d.get(),
                             SLOT(slotDataAvailable(QLocalSocket *, quint32))));
    QVERIFY(QObject::connect(&driver, SIGNAL(closedFor(QLocalSocket *, quint32)), d.get(),
                             SLOT(slotClientConnectionClosed(QLocalSocket *, quint32))));
    // The server's own signal, connected by signature in place of the member-function connection.
    QVERIFY(QObject::disconnect(d->localServer.get(), &QLocalServer::newConnection, d.get(), nullptr));
    QVERIFY(QObject::connect(d->localServer.get(), SIGNAL(newConnection()), d.get(),
                             SLOT(slotConnectionEstablished())));

    QLocalSocket peer;
    peer.connectToServer(d->instanceKey);
    QVERIFY(peer.waitForConnected(5000));
    send(peer, handshake(d->instanceKey, HandshakeKind::DuplicateLaunch, 3) + "hi");
    QTRY_COMPARE(driver.received, (QStringList{QStringLiteral("started"), QStringLiteral("message 3 hi")}));

    // The data slots drain whatever socket they are handed.
    SocketPair pair;
    QVERIFY(pair.connect());
    QLocalSocket &writer = pair.writer;
    QLocalSocket *reader = pair.reader;
    send(writer, "abc");
    QTRY_COMPARE(reader->bytesAvailable(), qint64(3));
    emit driver.closedFor(reader, 5);
    emit driver.dataFor(reader, 6);
    QCOMPARE(driver.received.mid(2),
             (QStringList{QStringLiteral("message 5 abc"), QStringLiteral("message 6 ")}));
}

void ProtocolTest::contactPrimaryWritesHandshake()
{
    QLocalServer server;
    QVERIFY(server.listen(freshKey()));
    SingleApplicationPrivate d(application());
    d.instanceKey = server.serverName();
    d.ownInstanceId = 0x01020304;

    QVERIFY(d.contactPrimary(5000, HandshakeKind::SecondaryLaunch));
    QTRY_VERIFY(server.hasPendingConnections());
    QLocalSocket *received = server.nextPendingConnection();
    const QByteArray expected = handshake(d.instanceKey, HandshakeKind::SecondaryLaunch, 0x01020304);
    QCOMPARE(expected.size(), 8 + 55);
    QTRY_COMPARE(received->bytesAvailable(), qint64(expected.size()));
    QCOMPARE(received->readAll(), expected);

    // Already connected: nothing more goes out.
    QVERIFY(d.contactPrimary(5000, HandshakeKind::DuplicateLaunch));
    QTest::qWait(100);
    QCOMPARE(received->bytesAvailable(), qint64(0));
    QVERIFY(!server.hasPendingConnections());
}

void ProtocolTest::contactPrimaryWithoutServer_data()
{
    QTest::addColumn<int>("budget");
    QTest::newRow("300 ms") << 300;
    QTest::newRow("0 ms") << 0;
    QTest::newRow("-50 ms") << -50;
}

void ProtocolTest::contactPrimaryWithoutServer()
{
    QFETCH(int, budget);
    SingleApplicationPrivate d(application());
    d.instanceKey = freshKey();
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!d.contactPrimary(budget, HandshakeKind::DuplicateLaunch));
    const qint64 spent = clock.elapsed();
    QVERIFY2(spent >= qMax(budget, 8), QByteArray::number(spent).constData());
    QVERIFY2(spent < qMax(budget, 0) + 2000, QByteArray::number(spent).constData());
    QVERIFY(d.primarySocket);
    QCOMPARE(d.primarySocket->state(), QLocalSocket::UnconnectedState);
}

void ProtocolTest::contactPrimaryWithZeroBudget()
{
    QLocalServer server;
    QVERIFY(server.listen(freshKey()));
    SingleApplicationPrivate d(application());
    d.instanceKey = server.serverName();
    d.contactPrimary(0, HandshakeKind::DuplicateLaunch); // the write wait is zero, so the result says little
    QTRY_VERIFY(server.hasPendingConnections());
    QLocalSocket *received = server.nextPendingConnection();
    const QByteArray expected = handshake(d.instanceKey, HandshakeKind::DuplicateLaunch, 0);
    QTRY_COMPARE(received->bytesAvailable(), qint64(expected.size()));
    QCOMPARE(received->readAll(), expected);
    QTest::qWait(50);
    QVERIFY(!server.hasPendingConnections()); // one attempt, one connection
}

// The test's own application object won its election; a peer that speaks the protocol reaches it.
void ProtocolTest::applicationIsPrimaryOfItsOwnKey()
{
    QVERIFY(!application()->runsAsSecondary());
    QCOMPARE(application()->instanceId(), 0u);
    Recorder recorder;
    QLocalSocket peer;
    peer.connectToServer(application()->instanceKey());
    QVERIFY(peer.waitForConnected(5000));
    send(peer, handshake(application()->instanceKey(), HandshakeKind::DuplicateLaunch, 0) + "hi");
    QTRY_COMPARE(recorder.events, (QStringList{QStringLiteral("started"), QStringLiteral("message 0 hi")}));
}

int main(int argc, char **argv)
{
    // User data of its own: no other run of this test, and nothing else, shares the key.
    SingleApplication app(argc, argv, true, SingleApplication::UserScoped, 1000,
                          QUuid::createUuid().toString());
    ProtocolTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_protocol.moc"
