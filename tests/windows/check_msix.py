#!/usr/bin/env python3
"""Checks a sparse package by reading the ZIP file itself (not through zipfile, whose leniency would hide
faults): local headers and central directory agree entry by entry, in the order payload, AppxBlockMap.xml,
[Content_Types].xml (then the signature, if signed); every payload file is in the block map with its size,
its local header's size and one SHA-256 per 64 KiB block (and the compressed size of each block of a
compressed entry); the manifest is well-formed, names the class id in the menu verb and the COM class, and
has the expected publisher.

Usage: check_msix.py PACKAGE CLASS_ID PUBLISHER      (exit status 0 when every check passes)
"""
import base64
import hashlib
import struct
import sys
import zlib
import xml.etree.ElementTree as ElementTree

BLOCK = 64 * 1024
NS = {'b': 'http://schemas.microsoft.com/appx/2010/blockmap',
      'f': 'http://schemas.microsoft.com/appx/manifest/foundation/windows10',
      'd5': 'http://schemas.microsoft.com/appx/manifest/desktop/windows10/5',
      'com': 'http://schemas.microsoft.com/appx/manifest/com/windows10',
      't': 'http://schemas.openxmlformats.org/package/2006/content-types'}
faults = []


def check(condition, text):
    if not condition:
        faults.append(text)
    return condition


def entries(data):
    end = data.rfind(b'PK\x05\x06')
    check(end >= 0, 'no end of central directory')
    _, _, _, count, size, offset, _ = struct.unpack_from('<HHHHIIH', data, end + 4)
    check(offset + size == end, 'central directory does not end where the end record begins')
    result, at = [], offset
    for _ in range(count):
        check(data[at:at + 4] == b'PK\x01\x02', 'bad central directory entry at %d' % at)
        (method, crc, csize, usize, nlen, xlen, clen, local) = struct.unpack_from('<10xH4xIIIHHH8xI', data, at)
        name = data[at + 46:at + 46 + nlen].decode('utf-8')
        at += 46 + nlen + xlen + clen
        check(data[local:local + 4] == b'PK\x03\x04', '%s: no local header at %d' % (name, local))
        (lflags, lmethod, lcrc, lcsize, lusize, lnlen, lxlen) = struct.unpack_from('<6xHH4xIIIHH', data, local)
        check(data[local + 30:local + 30 + lnlen].decode('utf-8') == name, '%s: other name locally' % name)
        if not lflags & 8:
            check((lmethod, lcrc, lcsize, lusize) == (method, crc, csize, usize), '%s: headers differ' % name)
        start = local + 30 + lnlen + lxlen
        stored = data[start:start + csize]
        content = zlib.decompress(stored, -15) if method == 8 else stored
        check(method in (0, 8) and len(content) == usize and zlib.crc32(content) & 0xFFFFFFFF == crc,
              '%s: content does not match its size or CRC' % name)
        result.append({'name': name, 'method': method, 'lfh': 30 + lnlen + lxlen, 'stored': stored,
                       'content': content})
    return result


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    package, class_id, publisher = sys.argv[1:]
    with open(package, 'rb') as source:
        files = entries(source.read())
    names = [entry['name'] for entry in files]
    signature = names[-1:] == ['AppxSignature.p7x']
    payload = files[:len(files) - (3 if signature else 2)]
    check(names[len(payload):len(payload) + 2] == ['AppxBlockMap.xml', '[Content_Types].xml'],
          'order of entries: %s' % names)
    by_name = {entry['name']: entry for entry in files}

    blockmap = ElementTree.fromstring(by_name['AppxBlockMap.xml']['content'])
    check(blockmap.get('HashMethod') == 'http://www.w3.org/2001/04/xmlenc#sha256', 'hash method')
    listed = blockmap.findall('b:File', NS)
    check([f.get('Name') for f in listed] == [e['name'].replace('/', '\\') for e in payload],
          'block map files %s, payload %s' % ([f.get('Name') for f in listed], [e['name'] for e in payload]))
    for element, entry in zip(listed, payload):
        name, content = entry['name'], entry['content']
        check(int(element.get('Size')) == len(content), '%s: Size' % name)
        check(int(element.get('LfhSize')) == entry['lfh'], '%s: LfhSize' % name)
        blocks = element.findall('b:Block', NS)
        check(len(blocks) == (len(content) + BLOCK - 1) // BLOCK, '%s: number of blocks' % name)
        compressed_total = 0
        for index, block in enumerate(blocks):
            digest = hashlib.sha256(content[index * BLOCK:(index + 1) * BLOCK]).digest()
            check(base64.b64decode(block.get('Hash')) == digest, '%s: hash of block %d' % (name, index))
            if entry['method'] == 8:
                check(block.get('Size') is not None, '%s: block %d without its compressed size' % (name, index))
                compressed_total += int(block.get('Size') or 0)
            else:
                check(block.get('Size') is None, '%s: stored block %d with a compressed size' % (name, index))
        if entry['method'] == 8:
            check(compressed_total == len(entry['stored']), '%s: compressed block sizes' % name)

    types = ElementTree.fromstring(by_name['[Content_Types].xml']['content'])
    defaults = {d.get('Extension'): d.get('ContentType') for d in types.findall('t:Default', NS)}
    check(defaults.get('xml') == 'application/vnd.ms-appx.manifest+xml', 'content type of xml')
    check(all(defaults.get(e['name'].rsplit('.', 1)[-1]) for e in payload), 'a payload file without a type')

    manifest = ElementTree.fromstring(by_name['AppxManifest.xml']['content'])
    identity = manifest.find('f:Identity', NS)
    check(identity.get('Publisher') == publisher, 'Publisher %r, expected %r' % (identity.get('Publisher'),
                                                                                publisher))
    verbs = [v.get('Clsid') for v in manifest.iter('{%s}Verb' % NS['d5'])]
    classes = [c.get('Id') for c in manifest.iter('{%s}Class' % NS['com'])]
    check(verbs == [class_id] and classes == [class_id], 'class ids: verb %s, class %s' % (verbs, classes))
    for fault in faults:
        print('check_msix: %s: %s' % (package, fault))
    print('check_msix: %s: %s, %s' % (package, ', '.join(names), 'faults' if faults else 'ok'))
    return 1 if faults else 0


if __name__ == '__main__':
    sys.exit(main())
