#!/usr/bin/env python3
"""Writes the sparse package (.msix) of the Explorer command: a ZIP file holding the manifest and the logos,
then the block map and the content types, in that order, with the standard library only.

Usage: make_msix.py --manifest TEMPLATE (--publisher SUBJECT | --subject-rfc2253 SUBJECT)
                    [--asset NAME=FILE]... OUTPUT.msix

TEMPLATE is the manifest with every value but the publisher filled in; ${PUBLISHER} in it becomes SUBJECT
(the signing certificate's subject, byte for byte, or a placeholder for an unsigned package). Each asset is
stored under NAME (forward slashes) in the package.

The block map lists every payload file with its uncompressed size, the size of its ZIP local header and one
SHA-256 hash per 64 KiB block of its uncompressed data; a compressed file is deflated block by block (a full
flush after each), so that each block's compressed size can be given too.
"""
import argparse
import base64
import hashlib
import struct
import sys
import zlib
from xml.sax.saxutils import escape, quoteattr

BLOCK = 64 * 1024
# A fixed time for every entry (1 January 1980, the earliest a ZIP file can say), so that the same input
# gives the same package.
DOS_TIME, DOS_DATE = 0, (0 << 9) | (1 << 5) | 1
BLOCKMAP_NS = 'http://schemas.microsoft.com/appx/2010/blockmap'
SHA256 = 'http://www.w3.org/2001/04/xmlenc#sha256'
CONTENT_TYPES_NS = 'http://schemas.openxmlformats.org/package/2006/content-types'
# Extensions whose data is compressed already.
STORED = ('.png',)


def deflated_blocks(data):
    """The raw deflate stream of data, and the compressed size of each 64 KiB block in it."""
    compressor = zlib.compressobj(9, zlib.DEFLATED, -15)
    stream, sizes = bytearray(), []
    offsets = range(0, len(data), BLOCK) if data else []
    for offset in offsets:
        last = offset + BLOCK >= len(data)
        piece = compressor.compress(data[offset:offset + BLOCK])
        piece += compressor.flush(zlib.Z_FINISH if last else zlib.Z_FULL_FLUSH)
        stream += piece
        sizes.append(len(piece))
    if not data:
        stream += compressor.flush(zlib.Z_FINISH)
    return bytes(stream), sizes


class Package:
    def __init__(self):
        self.body = bytearray()
        self.central = bytearray()
        self.count = 0
        self.blockmap_files = []

    def add(self, name, data, compress, in_blockmap=True):
        encoded = name.encode('ascii')
        if compress:
            stored, block_sizes = deflated_blocks(data)
            method = 8
        else:
            stored, block_sizes = data, None
            method = 0
        crc = zlib.crc32(data) & 0xFFFFFFFF
        fixed = struct.pack('<HHHHHIII', 20, 0, method, DOS_TIME, DOS_DATE, crc, len(stored), len(data))
        local = b'PK\x03\x04' + fixed + struct.pack('<HH', len(encoded), 0) + encoded
        offset = len(self.body)
        self.body += local + stored
        self.central += (b'PK\x01\x02' + struct.pack('<H', 20) + fixed
                         + struct.pack('<HHHHHII', len(encoded), 0, 0, 0, 0, 0, offset) + encoded)
        self.count += 1
        if in_blockmap:
            blocks = []
            for index, start in enumerate(range(0, len(data), BLOCK)):
                digest = base64.b64encode(hashlib.sha256(data[start:start + BLOCK]).digest()).decode('ascii')
                size = '' if block_sizes is None else ' Size="%d"' % block_sizes[index]
                blocks.append('<Block Hash="%s"%s/>' % (digest, size))
            self.blockmap_files.append('<File Name=%s Size="%d" LfhSize="%d">%s</File>' % (
                quoteattr(name.replace('/', '\\')), len(data), len(local), ''.join(blocks)))

    def blockmap(self):
        return ('<?xml version="1.0" encoding="UTF-8"?>\r\n<BlockMap xmlns="%s" HashMethod="%s">%s</BlockMap>'
                % (BLOCKMAP_NS, SHA256, ''.join(self.blockmap_files))).encode('utf-8')

    def finished(self):
        end = struct.pack('<IHHHHIIH', 0x06054B50, 0, 0, self.count, self.count, len(self.central),
                          len(self.body), 0)
        return bytes(self.body + self.central + end)


# Attribute names where Windows' form differs from the one of RFC 2253 / OpenSSL.
WINDOWS_ATTRIBUTES = {'ST': 'S', 'emailAddress': 'E'}


def windows_subject(rfc2253):
    """A subject as OpenSSL prints it in RFC 2253 form ("CN=a,O=b\\, c") in the form Windows compares a
    package's Publisher with: the same order, ", " between the parts, S and E for ST and emailAddress, and
    a value with special characters in double quotes instead of backslash escapes."""
    parts, current, escaped = [], '', False
    for char in rfc2253.strip():
        if escaped:
            current += '\\' + char
            escaped = False
        elif char == '\\':
            escaped = True
        elif char in ',+':
            parts.append(current)
            current = ''
        else:
            current += char
    parts.append(current)
    written = []
    for part in parts:
        name, _, value = part.partition('=')
        plain = value.replace('\\', '')
        if plain != value or any(c in plain for c in ',+=<>#;"') or plain != plain.strip():
            plain = '"%s"' % plain.replace('"', '""')
        written.append('%s=%s' % (WINDOWS_ATTRIBUTES.get(name, name), plain))
    return ', '.join(written)


def content_types(extensions):
    types = {'xml': 'application/vnd.ms-appx.manifest+xml', 'png': 'image/png'}
    defaults = ''.join('<Default Extension="%s" ContentType="%s"/>' % (extension, types[extension])
                       for extension in sorted(extensions))
    return ('<?xml version="1.0" encoding="UTF-8"?>\r\n<Types xmlns="%s">%s'
            '<Override PartName="/AppxBlockMap.xml" ContentType="application/vnd.ms-appx.blockmap+xml"/>'
            '</Types>' % (CONTENT_TYPES_NS, defaults)).encode('utf-8')


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--manifest', required=True)
    publisher = parser.add_mutually_exclusive_group(required=True)
    publisher.add_argument('--publisher')
    publisher.add_argument('--subject-rfc2253', help="the certificate's subject as openssl prints it "
                           '(-nameopt RFC2253), written as Windows shows it')
    parser.add_argument('--asset', action='append', default=[])
    parser.add_argument('output')
    options = parser.parse_args()

    with open(options.manifest, encoding='utf-8') as template:
        text = template.read()
    if '${PUBLISHER}' not in text:
        sys.exit('make_msix.py: %s has no ${PUBLISHER}' % options.manifest)
    subject = options.publisher if options.publisher is not None else windows_subject(options.subject_rfc2253)
    manifest = text.replace('${PUBLISHER}', escape(subject, {'"': '&quot;'})).encode('utf-8')

    package = Package()
    package.add('AppxManifest.xml', manifest, compress=True)
    extensions = {'xml'}
    for asset in options.asset:
        name, _, path = asset.partition('=')
        if not name or not path:
            sys.exit('make_msix.py: --asset wants NAME=FILE, not %s' % asset)
        with open(path, 'rb') as source:
            data = source.read()
        package.add(name, data, compress=not name.lower().endswith(STORED))
        extensions.add(name.rsplit('.', 1)[-1].lower())
    # The signer hashes these two as they are; neither is listed in the block map.
    package.add('AppxBlockMap.xml', package.blockmap(), compress=True, in_blockmap=False)
    package.add('[Content_Types].xml', content_types(extensions), compress=True, in_blockmap=False)
    with open(options.output, 'wb') as out:
        out.write(package.finished())


if __name__ == '__main__':
    main()
