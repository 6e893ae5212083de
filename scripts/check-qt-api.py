#!/usr/bin/env python3
"""Fails when the product code uses a Qt API introduced after the oldest Qt the project supports.

    scripts/check-qt-api.py [--build DIR] [--oldest 5.12] [--docs DIR] [--list] [FILE...]

What the code uses comes from clang's view of it (libclang, Debian's python3-clang-14): every declaration,
type, enum value and macro of Qt's headers that a product source refers to, with the overload the compiler
picked. When each came into Qt comes from Qt's own documentation (Debian's qtbase5-doc-html): "This
function was introduced in Qt 5.13" (per overload), "This enum value was added in Qt 5.15", "This enum was
introduced or modified in Qt 5.14", a class's "Since". A member the documentation does not list is as old
as its class.

The product is every C++ source outside tests/, bench/ and the build folders; FILEs, when given, are checked
instead. Sources in the build's compile_commands.json are parsed with their own flags; Windows-only sources,
which no Linux build compiles, with the flags of a source beside them, for the MinGW target.

Exit status: 0 when nothing is newer than --oldest; 1 with one line per newer use; 2 when the check cannot
run (no documentation, no compile command, a source that does not parse). --list prints every Qt name used.
"""

import argparse
import html
import json
import multiprocessing
import os
import re
import shlex
import subprocess
import sys

try:
    import clang.cindex as cindex
except ImportError:  # Debian installs the binding for its own interpreter only
    sys.path.append('/usr/lib/python3/dist-packages')
    import clang.cindex as cindex

SOURCE_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NOT_PRODUCT = ('tests', 'bench')  # and build folders, whose generated code the Qt of the build writes
OLD = (0, 0)  # documented without a version: older than the notes (5.0)


class CannotCheck(Exception):
    """What keeps the check from running; it then fails with exit status 2."""

# --- Qt's documentation: qualified name -> [(parameter types without spaces or None, version or None)] ---

SINCE = re.compile(r'This (?:function|enum|typedef|property|macro|variable|class|struct|namespace|alias'
                   r'|flag) (?:was|is) introduced (?:or modified )?in Qt (\d+)\.(\d+)')
VALUE_SINCE = re.compile(r'value (?:was|is) (?:added|introduced) in Qt (\d+)\.(\d+)')
PAGE_SINCE = re.compile(r'Since:</td><td[^>]*>\s*Qt (\d+)\.(\d+)')
PAGE_CLASS = re.compile(r'<h1 class="title">(.*?) (?:Class|Struct|Namespace)</h1>\s*'
                        r'(?:<span class="small-subtitle">(?:class|struct|namespace) (.*?)</span>)?')
SECTION = re.compile(r'<!-- \$\$\$(.*?) -->(.*?)<!-- @@@', re.S)
HEADING = re.compile(r'<h3 class="(?:fn|flags)" id="([^"]*)">(.*?)</h3>', re.S)
GROUP_ITEM = re.compile(r'<h3 class="fn fngroupitem" id="([^"]*)">')
NAME = re.compile(r'<span class="name">(.*?)</span>')
VALUE_ROW = re.compile(r'<tr><td class="topAlign"><code>(.*?)</code></td>(.*?)</tr>', re.S)
STREAM_VERSION = re.compile(r'Qt_(\d+)_(\d+)')
TAG = re.compile(r'<[^>]+>')


def plain(fragment):
    return html.unescape(TAG.sub('', fragment)).strip()


def version(match):
    return (int(match.group(1)), int(match.group(2))) if match else None


def scoped(page_class, qualifier, name):
    """A name with its scope: the pages of nested classes spell only the innermost one."""
    if not qualifier:
        return name
    if page_class == qualifier or page_class.endswith('::' + qualifier):
        return page_class + '::' + name
    return qualifier + '::' + name


def read_page(path, index):
    with open(path, encoding='utf-8', errors='replace') as page:
        content = page.read()
    title = PAGE_CLASS.search(content)
    page_class = plain(title.group(2) or title.group(1)) if title else ''
    page_since = version(PAGE_SINCE.search(content))
    if page_class and not path.endswith('-obsolete.html'):
        index.setdefault(page_class, []).append((None, page_since))
    sections = SECTION.findall(content)
    # Functions documented together (qEnvironmentVariable's two overloads) share one text and version;
    # each also has a section of its own, without text.
    group_since = {item: version(SINCE.search(body))
                   for _, body in sections for item in GROUP_ITEM.findall(body)}
    for marker, body in sections:
        heading = HEADING.search(body)
        if not heading:
            continue
        anchor, title = heading.groups()
        since = version(SINCE.search(body)) or group_since.get(anchor) or page_since
        names = []
        for name in NAME.finditer(title):
            before = plain(title[:name.start()]).split()
            qualifier = before[-1].lstrip('&*')[:-2] if before and before[-1].endswith('::') else ''
            names.append(scoped(page_class, page_class if anchor.endswith('-prop') else qualifier,
                                plain(name.group(1))))
        # A function's marker is "name[overloadN]$$$name<its parameter types without spaces>".
        parts = marker.split('$$$')
        base = parts[0].split('[')[0]
        key = parts[1][len(base):] if len(parts) > 1 and parts[1].startswith(base) and \
            not anchor.endswith('-enum') else None
        for name in names:
            index.setdefault(name, []).append((key, since))
        if anchor.endswith('-enum'):
            scope = names[0].rpartition('::')[0]
            for code, row in VALUE_ROW.findall(body):
                qualifier, _, value = plain(code).rpartition('::')
                # QDataStream::Qt_5_13 and its kind carry their version in their name, not in a note.
                value_since = version(VALUE_SINCE.search(row)) or version(STREAM_VERSION.fullmatch(value))
                index.setdefault(scoped(scope, qualifier, value), []).append(
                    (None, value_since or since))


def read_documentation(folder):
    index = {}
    for module in sorted(os.listdir(folder)):
        module_folder = os.path.join(folder, module)
        for name in sorted(os.listdir(module_folder)) if os.path.isdir(module_folder) else []:
            if name.endswith('.html') and not name.endswith('-members.html'):
                read_page(os.path.join(module_folder, name), index)
    return index


def without_scopes(key):
    return re.sub(r'\b\w+::', '', key)


def newest(versions):
    return max((since or OLD for since in versions), default=None)


def documented_overload(entries, parameters):
    """The version of the overload with these parameter types; None when it has no entry of its own."""
    key = ''.join(parameters).replace(' ', '')
    for same in (lambda k: k == key, lambda k: without_scopes(k) == without_scopes(key)):
        chosen = [since for documented, since in entries if documented is not None and same(documented)]
        if chosen:
            return newest(chosen)
    return None


def introduced(index, use):
    """When the declaration of a use came into Qt (OLD: before 5.0); None when Qt does not document it."""
    entries = index.get(use.name)
    if not entries:
        return newest(since for key, since in index.get(use.scope, []) if key is None)
    if use.parameters is None or len({since for _, since in entries}) == 1:
        return newest(since for _, since in entries)
    since = documented_overload(entries, use.parameters)
    if since is None:  # an implicit copy or move, an internal helper: as old as its class
        return newest(since for key, since in index.get(use.scope, []) if key is None) or OLD
    if use.spelled is not None and since > OLD:
        # A call that spells out only arguments that an older overload takes, in the same types, built
        # with that overload before this one came: QString::split(QChar) before Qt::SplitBehavior.
        older = [documented_overload(entries, other) for other in use.overloads()
                 if len(other) >= use.spelled and other[:use.spelled] == use.parameters[:use.spelled]]
        since = min([since] + [version for version in older if version is not None])
    return since


# --- The code as clang sees it ---------------------------------------------------------------------------

FUNCTIONS = (cindex.CursorKind.CXX_METHOD, cindex.CursorKind.FUNCTION_DECL, cindex.CursorKind.CONSTRUCTOR,
             cindex.CursorKind.FUNCTION_TEMPLATE, cindex.CursorKind.CONVERSION_FUNCTION)
REFERENCES = (cindex.CursorKind.CALL_EXPR, cindex.CursorKind.DECL_REF_EXPR, cindex.CursorKind.MEMBER_REF_EXPR,
              cindex.CursorKind.TYPE_REF, cindex.CursorKind.TEMPLATE_REF,
              cindex.CursorKind.OVERLOADED_DECL_REF, cindex.CursorKind.MACRO_INSTANTIATION)
CALLEES = (cindex.CursorKind.DECL_REF_EXPR, cindex.CursorKind.MEMBER_REF_EXPR)
IMPLICIT = cindex.CursorKind.UNEXPOSED_EXPR  # conversions, the cast of an object to a base class


def is_build_folder(folder):
    # CMake makes CMakeFiles/ first and writes its cache only once configuring ends; in between, a build
    # folder already holds sources of its own (the compiler checks).
    return any(os.path.exists(os.path.join(folder, name)) for name in ('CMakeCache.txt', 'CMakeFiles'))


def is_product(path):
    relative = os.path.relpath(os.path.realpath(path), SOURCE_ROOT)
    first = relative.split(os.sep, 1)[0]
    return not relative.startswith('..') and first not in NOT_PRODUCT and not first.startswith('.') and \
        not is_build_folder(os.path.join(SOURCE_ROOT, first))


def product_sources():
    found = []
    for folder, subfolders, names in os.walk(SOURCE_ROOT):
        subfolders[:] = [name for name in subfolders if is_product(os.path.join(folder, name)) and
                         not is_build_folder(os.path.join(folder, name))]
        found += [os.path.join(folder, name) for name in names if name.endswith('.cpp')]
    return sorted(found)


def qualified_name(cursor):
    if cursor.kind == cindex.CursorKind.MACRO_DEFINITION:
        return cursor.spelling
    names = []
    while cursor is not None and cursor.kind != cindex.CursorKind.TRANSLATION_UNIT:
        # Qt's documentation names Qt::SkipEmptyParts, not Qt::SplitBehaviorFlags::SkipEmptyParts.
        unscoped_enum = cursor.kind == cindex.CursorKind.ENUM_DECL and not cursor.is_scoped_enum()
        if cursor.spelling and not unscoped_enum:
            spelling = cursor.spelling  # "QList<int>" is QList, "operator<<" stays itself
            names.append(spelling if spelling.startswith('operator') else spelling.split('<')[0])
        cursor = cursor.semantic_parent
    return '::'.join(reversed(names))


def parameter_types(function):
    """The parameter types as the class template spells them, for a member of an instantiated template."""
    pattern = cindex.conf.lib.clang_getSpecializedCursorTemplate(function)
    declared = pattern if pattern is not None and pattern.kind in FUNCTIONS else function
    return [argument.type.spelling for argument in declared.get_arguments()]


def first_child(cursor, kinds):
    """The first child, past implicit conversions, when it is of one of these kinds."""
    while cursor is not None:
        children = list(cursor.get_children())
        cursor = children[0] if children else None
        if cursor is not None and cursor.kind in kinds:
            return cursor
        if cursor is not None and cursor.kind != IMPLICIT:
            return None
    return None


def object_class(reference):
    """For a member used through an object ("list.join(...)"), the object's class: the documentation lists
    under QStringList what Qt 5 declares in a helper base (QListSpecialMethods)."""
    member = reference if reference.kind == cindex.CursorKind.MEMBER_REF_EXPR else \
        first_child(reference, (cindex.CursorKind.MEMBER_REF_EXPR,))
    objects = list(member.get_children()) if member is not None else []
    while objects and objects[0].kind == IMPLICIT and list(objects[0].get_children()):
        objects = list(objects[0].get_children())
    if not objects:
        return None
    kind = objects[0].type.kind
    declaration = (objects[0].type.get_pointee() if kind == cindex.TypeKind.POINTER else objects[0].type
                   ).get_declaration()
    return qualified_name(declaration) if declaration.kind != cindex.CursorKind.NO_DECL_FOUND else None


class Use:
    """One reference from product code to a declaration of Qt's headers."""

    def __init__(self, cursor, target, spelled):
        location = cursor.location
        self.file, self.line, self.column = location.file.name, location.line, location.column
        self.name = qualified_name(target)
        self.scope = self.name.rpartition('::')[0]
        self.through = object_class(cursor)
        self.through = self.through + '::' + target.spelling if self.through else None
        self.parameters = parameter_types(target) if target.kind in FUNCTIONS else None
        self.spelled = spelled  # arguments a call spells out (default arguments have no place in the source)
        self.target = target

    def overloads(self):
        """The parameter types of the other functions of this name in the same scope."""
        scope = self.target.semantic_parent
        return [parameter_types(other) for other in (scope.get_children() if scope is not None else [])
                if other.kind in FUNCTIONS and other.spelling == self.target.spelling and
                other != self.target]

    def spelled_name(self):
        if self.parameters is None:
            return self.name
        return '%s(%s)' % (self.name, ', '.join(self.parameters))


def uses(path, arguments, qt_include):
    unit = cindex.Index.create().parse(path, arguments,
                                       options=cindex.TranslationUnit.PARSE_DETAILED_PROCESSING_RECORD)
    errors = [str(d) for d in unit.diagnostics if d.severity >= cindex.Diagnostic.Error]
    if errors:
        raise RuntimeError('%s does not parse:\n  %s' % (path, '\n  '.join(errors[:5])))

    def visit(cursor, callee):
        for child in cursor.get_children():
            where = child.location.file
            if where is None or not (where.name == path or is_product(where.name)):
                continue
            target = child.referenced if child.kind in REFERENCES else None
            spelled = sum(1 for argument in child.get_arguments() if argument.extent.start.file) \
                if child.kind == cindex.CursorKind.CALL_EXPR else None
            if target is not None and target.location.file is not None and \
                    target.location.file.name.startswith(qt_include) and \
                    not (child.kind in CALLEES and callee is not None and target == callee):
                yield Use(child, target, spelled)
            # The callee sits below its call, under the implicit conversions of a function's name.
            below = target if spelled is not None else callee if child.kind == IMPLICIT else None
            yield from visit(child, below)

    return visit(unit.cursor, None)


INDEX = {}


def check_file(job):
    """(file, line, column, name as spelled, version or OLD or None) for every use in one source."""
    path, arguments, qt_include = job
    try:
        found = []
        for use in uses(path, arguments, qt_include):
            if use.name not in INDEX and use.through in INDEX:
                use.name, use.scope = use.through, use.through.rpartition('::')[0]
            found.append((use.file, use.line, use.column, use.spelled_name(), introduced(INDEX, use)))
        return found, None
    except Exception as error:  # reported by the parent, which fails the check
        return [], str(error)


def compile_arguments(entry):
    """A database entry's compiler arguments without the compiler, the output, the source and warnings."""
    arguments = entry['arguments'] if 'arguments' in entry else shlex.split(entry['command'])
    kept, skip = [], False
    for argument in arguments[1:]:
        if skip:
            skip = False
        elif argument in ('-o', '-MF', '-MT', '-MQ'):
            skip = True
        elif argument not in ('-c', entry['file']) and not argument.startswith(('-W', '-fsanitize')):
            kept.append(argument)
    return kept


def resource_arguments():
    """Clang's own headers (stddef.h, mm_malloc.h): libclang finds them only beside a clang program."""
    major = re.search(r'-(\d+)', cindex.conf.get_filename())  # Debian's binding loads libclang-14.so
    for program in (['clang++-' + major.group(1)] if major else []) + ['clang++']:
        try:
            folder = subprocess.run([program, '-print-resource-dir'], capture_output=True, text=True,
                                    check=True).stdout.strip()
            return ['-resource-dir', folder]
        except (OSError, subprocess.CalledProcessError):
            continue
    return []


def mingw_arguments():
    """The MinGW target with MinGW's C++ headers, which clang does not find for itself."""
    try:
        listing = subprocess.run(['x86_64-w64-mingw32-g++-posix', '-E', '-x', 'c++', '-', '-v'], input='',
                                 capture_output=True, text=True, check=True).stderr
    except (OSError, subprocess.CalledProcessError):
        raise CannotCheck('Windows-only sources need MinGW (x86_64-w64-mingw32-g++-posix)')
    folders = listing.split('#include <...> search starts here:')[1].split('End of search list.')[0].split()
    return ['--target=x86_64-w64-mingw32', '-DUNICODE', '-D_UNICODE'] + \
        [argument for folder in folders if 'c++' in folder for argument in ('-isystem', folder)]


def folder_sees_qt(folder):
    """Whether any source or header of the folder includes a Qt header."""
    include = re.compile(r'^\s*#\s*include\s*[<"]Q', re.MULTILINE)
    for name in os.listdir(folder):
        if name.endswith(('.cpp', '.h')):
            with open(os.path.join(folder, name), encoding='utf-8', errors='replace') as source:
                if include.search(source.read()):
                    return True
    return False


def jobs(build, files):
    database_path = os.path.join(build, 'compile_commands.json')
    if not os.path.isfile(database_path):
        raise CannotCheck('no %s: configure the build first' % database_path)
    with open(database_path) as database:
        entries = {os.path.realpath(entry['file']): entry for entry in json.load(database)}
    wanted = [os.path.realpath(f) for f in files] if files else product_sources()
    windows, resource, result = None, resource_arguments(), []
    for path in wanted:
        if path in entries:
            arguments = compile_arguments(entries[path])
        else:
            beside = [entry for key, entry in sorted(entries.items())
                      if os.path.dirname(key) == os.path.dirname(path)]
            if not beside and not folder_sees_qt(os.path.dirname(path)):
                continue  # a folder built only for Windows that uses no Qt (the Explorer command module)
            if not beside:
                raise CannotCheck('no compile command for %s or a source beside it' % path)
            windows = windows or mingw_arguments()
            arguments = compile_arguments(beside[0]) + windows
        qt_core = [folder for option, folder in zip(arguments, arguments[1:])
                   if option in ('-isystem', '-I') and folder.rstrip('/').endswith('/QtCore')]
        if qt_core:  # sources that do not see Qt have nothing to check
            result.append((path, arguments + resource, os.path.dirname(qt_core[0].rstrip('/')) + '/'))
    return result


def set_index(index):
    global INDEX
    INDEX = index


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--build', default=os.path.join(SOURCE_ROOT, 'build'),
                        help='the build folder, with its compile_commands.json')
    parser.add_argument('--oldest', default='5.12', help='the oldest Qt the code must build with')
    parser.add_argument('--docs', default='/usr/share/qt5/doc', help="Qt's HTML documentation")
    parser.add_argument('--list', action='store_true', help='print every Qt name used, with its version')
    parser.add_argument('files', nargs='*')
    options = parser.parse_args()
    oldest = tuple(int(part) for part in options.oldest.split('.'))
    try:
        if not os.path.isdir(os.path.join(options.docs, 'qtcore')):
            raise CannotCheck('no Qt documentation in %s (Debian: qtbase5-doc-html)' % options.docs)
        index = read_documentation(options.docs)
        work = jobs(options.build, options.files)
    except CannotCheck as reason:
        print('check-qt-api: %s' % reason)
        return 2
    with multiprocessing.Pool(max(1, min(len(work), os.cpu_count() or 1)), set_index, (index,)) as pool:
        results = pool.map(check_file, work)

    names, refused = {}, set()
    for found, _ in results:
        for file, line, column, name, since in found:
            names[name] = since if names.get(name) is None else max(names[name], since or OLD)
            if since and since > oldest:
                refused.add((os.path.relpath(file, SOURCE_ROOT), line, column, name, since))
    # A constructor of a newer class on the same line says nothing new.
    classes = {(file, line, name) for file, line, _, name, _ in refused}
    refused = sorted(use for use in refused if (use[0], use[1], use[3].split('(')[0].rpartition('::')[0])
                     not in classes)
    for file, line, column, name, since in refused:
        print('%s:%d:%d: %s came in Qt %d.%d, after Qt %s' %
              (file, line, column, name, *since, options.oldest))
    if options.list:
        for name, since in sorted(names.items()):
            shown = 'undocumented' if since is None else '%d.%d' % since if since > OLD else 'old'
            print('%s\t%s' % (shown, name))
    failures = [error for _, error in results if error]
    for failure in failures:
        print('check-qt-api: ' + failure)
    print('check-qt-api: %d files, %d Qt names, %d uses newer than Qt %s' %
          (len(work), len(names), len(refused), options.oldest))
    return 2 if failures else 1 if refused else 0


if __name__ == '__main__':
    sys.exit(main())
