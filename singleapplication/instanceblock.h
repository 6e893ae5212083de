#ifndef OSTREL_SINGLEAPPLICATION_INSTANCEBLOCK_H
#define OSTREL_SINGLEAPPLICATION_INSTANCEBLOCK_H

#include <QString>
#include <QtGlobal>

#include <cstddef>
#include <type_traits>

// The record in the shared segment that copies of the program elect their primary through. Several
// processes read and write it, so its bytes are an inter-process format: keep the layout, the checks
// below pin it.
struct InstanceBlock
{
    quint8 hasPrimary; // 0 or 1; read as a byte so that a stray value cannot make a bool undefined
    quint32 secondaryCount;
    qint64 primaryProcessId;
    char primaryUserName[128];
    quint16 checksum;
};

static_assert(std::is_standard_layout<InstanceBlock>::value &&
                  std::is_trivially_copyable<InstanceBlock>::value,
              "InstanceBlock is shared between processes as raw bytes");
static_assert(sizeof(InstanceBlock) == 152, "InstanceBlock must be 152 bytes");
static_assert(offsetof(InstanceBlock, hasPrimary) == 0, "InstanceBlock layout");
static_assert(offsetof(InstanceBlock, secondaryCount) == 4, "InstanceBlock layout");
static_assert(offsetof(InstanceBlock, primaryProcessId) == 8, "InstanceBlock layout");
static_assert(offsetof(InstanceBlock, primaryUserName) == 16, "InstanceBlock layout");
static_assert(offsetof(InstanceBlock, checksum) == 144, "InstanceBlock layout");

constexpr int InstanceBlockSize = int(sizeof(InstanceBlock));
// Everything before the checksum field, padding included.
constexpr int InstanceBlockChecksummedBytes = int(offsetof(InstanceBlock, checksum));

// The writers below touch only their own fields and end with the checksum. The caller holds the
// segment's lock for every call, reads included.

// CRC-16/X-25 of the bytes before the checksum field, as they stand.
quint16 computeBlockChecksum(const InstanceBlock *block);
// False while a writer is halfway through a change, or a new segment has not been reset by its creator.
bool isInstanceBlockConsistent(const InstanceBlock *block);
// No primary, no secondaries.
void resetInstanceBlock(InstanceBlock *block);
// The calling process becomes the primary. The user name is cut after 127 UTF-8 bytes, even inside a
// character.
void claimInstanceBlock(InstanceBlock *block, qint64 processId, const QString &userName);
// The primary gives its role back; the count of secondaries stays.
void releaseInstanceBlock(InstanceBlock *block);
// Counts one more secondary and returns its number (1 for the first since the last reset).
quint32 admitSecondary(InstanceBlock *block);

#endif
