// Feeds arbitrary bytes to the primary's handshake reading: the 8-byte header, the cap on the announced
// length, and the body decoder with all its checks, in the order the primary applies them.
//
// Half of the inputs are taken as they come. The other half start from a valid handshake and use the
// input as a list of byte patches, so that the accepting path and the checks just before it are reached
// as often as the rejecting ones.

#include "handshake.h"

#include <cstdint>
#include <cstdlib>

namespace {

const QString &fuzzKey()
{
    static const QString key = QStringLiteral("FuzzFuzzFuzzFuzzFuzzFuzzFuzzFuzzFuzz+_0123=");
    return key;
}

void checkBody(const QByteArray &body)
{
    HandshakeBody decoded;
    const HandshakeVerdict verdict = decodeHandshakeBody(body, fuzzKey(), &decoded);
    if (verdict == HandshakeVerdict::Accepted) {
        // Whatever was accepted must carry the key and be re-encodable to the very same bytes,
        // unless bytes behind the checksum happened to collide.
        if (decoded.key.size() < fuzzKey().size())
            std::abort();
        const QByteArray again = encodeHandshakeBody(fuzzKey(), decoded.kind, decoded.instanceId);
        if (body.size() == again.size() && body != again && decoded.key == fuzzKey().toLatin1())
            std::abort();
    }
}

void readLikeThePrimary(const QByteArray &stream)
{
    if (stream.size() < HandshakeHeaderSize)
        return; // the primary waits for more here
    const qint64 length = decodeHandshakeHeader(stream.left(HandshakeHeaderSize));
    if (length > MaxHandshakeBodyLength)
        return; // the primary closes the connection here
    const QByteArray rest = stream.mid(HandshakeHeaderSize);
    if (rest.size() < length)
        return; // the primary waits for more here
    checkBody(rest.left(int(qMax<qint64>(0, length))));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    if (input.isEmpty())
        return 0;

    if (input.at(0) & 1) {
        readLikeThePrimary(input.mid(1));
        checkBody(input.mid(1));
        return 0;
    }

    // Patch mode: pairs of (offset, value) applied to a valid header and body, with one trailing
    // odd byte choosing the kind.
    const QByteArray body =
        encodeHandshakeBody(fuzzKey(), HandshakeKind(qint8(input.size() > 1 ? input.at(1) : 1)), 42);
    QByteArray stream = encodeHandshakeHeader(body.size()) + body;
    for (int i = 2; i + 1 < input.size(); i += 2)
        stream[quint8(input.at(i)) % stream.size()] = input.at(i + 1);
    readLikeThePrimary(stream);
    return 0;
}
