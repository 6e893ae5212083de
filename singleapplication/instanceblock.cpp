#include "instanceblock.h"

#include <QByteArray>

quint16 computeBlockChecksum(const InstanceBlock *block)
{
    return qChecksum(reinterpret_cast<const char *>(block), uint(InstanceBlockChecksummedBytes));
}

bool isInstanceBlockConsistent(const InstanceBlock *block)
{
    return computeBlockChecksum(block) == block->checksum;
}

// Padding and the tail of the user name keep whatever they held; the checksum covers them all the same.
void resetInstanceBlock(InstanceBlock *block)
{
    block->hasPrimary = 0;
    block->secondaryCount = 0;
    block->primaryProcessId = -1;
    block->primaryUserName[0] = '\0';
    block->checksum = computeBlockChecksum(block);
}

void claimInstanceBlock(InstanceBlock *block, qint64 processId, const QString &userName)
{
    block->hasPrimary = 1;
    block->primaryProcessId = processId;
    // Cut by bytes, not characters: the field is a C string for readers in any language.
    qstrncpy(block->primaryUserName, userName.toUtf8().constData(), sizeof block->primaryUserName);
    block->checksum = computeBlockChecksum(block);
}

void releaseInstanceBlock(InstanceBlock *block)
{
    block->hasPrimary = 0;
    block->primaryProcessId = -1;
    block->primaryUserName[0] = '\0';
    block->checksum = computeBlockChecksum(block);
}

quint32 admitSecondary(InstanceBlock *block)
{
    block->secondaryCount += 1;
    block->checksum = computeBlockChecksum(block);
    return block->secondaryCount;
}
