#!/usr/bin/env python3
"""The Qt API check (scripts/check-qt-api.py) on planted sources: every newer Qt name reported on its line,
with the version that brought it, and nothing else; near misses pass; a check that cannot run (no
documentation, no compile database) is no pass.

    tst_checkqtapi.py CHECK BUILD_DIR

A planted line says what the check must report for it: "// refused: QList::swapItemsAt 5.13, ...".
"""

import os
import re
import subprocess
import sys
import tempfile
import types
import unittest

PLANTED = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'planted')
REPORT = re.compile(r'^(?P<file>[^:]+):(?P<line>\d+):\d+: (?P<name>[^( ]+)(?:\(.*\))? '
                    r'came in Qt (?P<version>\d+\.\d+), after Qt 5\.12$')


def run_check(*names, build=None, docs=None):
    command = [sys.executable, CHECK, '--build', build or BUILD, '--oldest', '5.12']
    if docs:
        command += ['--docs', docs]
    done = subprocess.run(command + [os.path.join(PLANTED, name) for name in names], capture_output=True,
                          text=True, timeout=100)
    reported = set()
    for line in done.stdout.splitlines():
        match = REPORT.match(line)
        if match:
            reported.add((os.path.basename(match['file']), int(match['line']), match['name'],
                           match['version']))
    return done.returncode, reported, done.stdout + done.stderr


def planted(name):
    expected = set()
    with open(os.path.join(PLANTED, name), encoding='utf-8') as source:
        for number, line in enumerate(source, 1):
            if '// refused: ' in line:
                for item in line.split('// refused: ', 1)[1].split(','):
                    what, version = item.split()
                    expected.add((name, number, what, version))
    return expected


class CheckQtApiTest(unittest.TestCase):
    def test_newer_names_are_refused_and_near_misses_pass(self):
        # The Windows-only source is read for the MinGW target: its newer name sits under Q_OS_WIN.
        names = ('newer_api.cpp', 'newer_api_win.cpp', 'qt512_api.cpp')
        status, reported, output = run_check(*names)
        self.assertEqual(status, 1, output)
        self.assertEqual(reported, set().union(*(planted(name) for name in names)), output)
        self.assertTrue(any(what == 'Qt::SkipEmptyParts' for _, _, what, _ in reported), output)

    def test_qt512_names_pass(self):
        status, reported, output = run_check('qt512_api.cpp')
        self.assertEqual((status, reported), (0, set()), output)
        self.assertIn('1 files', output)

    def test_what_cannot_be_checked_is_no_pass(self):
        missing = os.path.join(BUILD, 'no-such-folder')
        for case, options in (('no documentation', {'docs': missing}),
                              ('no compile database', {'build': missing})):
            with self.subTest(case):
                status, _, output = run_check('qt512_api.cpp', **options)
                self.assertEqual(status, 2, output)

    def test_product_leaves_out_tests_and_build_folders(self):
        # A build folder counts from its first moment: the Windows build may be configuring beside the check.
        check = types.ModuleType('check_qt_api')
        check.__file__ = CHECK
        with open(CHECK, encoding='utf-8') as script:
            exec(compile(script.read(), CHECK, 'exec'), check.__dict__)
        with tempfile.TemporaryDirectory() as root:
            files = ('app/run.cpp', 'platform/registrystandin/registryhive.cpp', 'main.cpp',
                     'tests/app/tst_handoff.cpp', 'bench/bench_handoff.cpp', '.cache/stray.cpp',
                     'build/app/ostrel_autogen/mocs_compilation.cpp', 'build/CMakeCache.txt',
                     'build-windows/CMakeFiles/3.25.1/CompilerIdCXX/CMakeCXXCompilerId.cpp',
                     'shell/CMakeFiles/CompilerIdCXX/CMakeCXXCompilerId.cpp', 'app/run.h')
            for name in files:
                os.makedirs(os.path.dirname(os.path.join(root, name)), exist_ok=True)
                open(os.path.join(root, name), 'w').close()
            check.SOURCE_ROOT = os.path.realpath(root)
            found = {os.path.relpath(path, check.SOURCE_ROOT) for path in check.product_sources()}
        self.assertEqual(found, {'app/run.cpp', 'platform/registrystandin/registryhive.cpp', 'main.cpp'})


    def test_windows_only_folder_without_qt_is_left_out(self):
        # A folder built only for Windows has no compile command in the Linux build: it is passed over only
        # when none of its files includes a Qt header (as the Explorer command module).
        check = types.ModuleType('check_qt_api')
        check.__file__ = CHECK
        with open(CHECK, encoding='utf-8') as script:
            exec(compile(script.read(), CHECK, 'exec'), check.__dict__)
        with tempfile.TemporaryDirectory() as root:
            for folder, header in (('plain', '#include <windows.h>\n#include "verbkeys.h"\n'),
                                   ('qt', '#include <windows.h>\n  #  include <QString>\n')):
                os.makedirs(os.path.join(root, folder))
                with open(os.path.join(root, folder, 'part.h'), 'w') as source:
                    source.write(header)
                open(os.path.join(root, folder, 'part.cpp'), 'w').close()
            self.assertEqual((check.folder_sees_qt(os.path.join(root, 'plain')),
                              check.folder_sees_qt(os.path.join(root, 'qt'))), (False, True))


if __name__ == '__main__':
    CHECK, BUILD = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1] + sys.argv[3:], verbosity=2)
