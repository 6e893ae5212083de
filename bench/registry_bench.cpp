// Measures `install` of the real program against hives of other programs' keys: one key nested deeply, and
// many keys with values of every kind. Each figure is the median of a few runs, set beside an install into
// an empty hive measured in the same run, and printed as Markdown rows. It asserts nothing.
//
//   registry_bench [part of a case name...]      e.g. registry_bench "500 levels" "20000 keys"

#include "benchsupport.h"
#include "sandbox.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

const char ExportHeader[] = "Windows Registry Editor Version 5.00\r\n\r\n";

QByteArray toUtf16LeWithBom(const QString &text)
{
    QByteArray bytes("\xff\xfe");
    bytes.reserve(2 + text.size() * 2);
    for (const QChar c : text)
        bytes.append(char(c.unicode() & 0xff)).append(char(c.unicode() >> 8));
    return bytes;
}

// One key `levels` deep below HKEY_CURRENT_USER\SOFTWARE\Deep, every key above it listed in its own
// section as an export lists them, with one value at the bottom.
QByteArray deepHive(int levels)
{
    QString text = QLatin1String(ExportHeader);
    QString path = QStringLiteral("HKEY_CURRENT_USER\\SOFTWARE\\Deep");
    text += QLatin1Char('[') + path + QLatin1String("]\r\n\r\n");
    for (int level = 1; level <= levels; ++level) {
        path += QStringLiteral("\\Key %1").arg(level);
        text += QLatin1Char('[') + path + QLatin1String("]\r\n");
        if (level == levels)
            text += QLatin1String("\"Bottom\"=dword:00000001\r\n");
        text += QLatin1String("\r\n");
    }
    return toUtf16LeWithBom(text);
}

// `keys` keys in groups of 100 below HKEY_CURRENT_USER\SOFTWARE\Vendor <n>, each with a default string, a
// number, an expandable string and a wrapped binary value.
QByteArray wideHive(int keys)
{
    QString text = QLatin1String(ExportHeader);
    for (int vendor = 0; vendor * 100 < keys; ++vendor) {
        const QString vendorKey = QStringLiteral("HKEY_CURRENT_USER\\SOFTWARE\\Vendor %1").arg(vendor);
        text += QLatin1Char('[') + vendorKey + QLatin1String("]\r\n\r\n");
        for (int product = 0; product < 100 && vendor * 100 + product < keys; ++product) {
            text += QLatin1Char('[') + vendorKey + QStringLiteral("\\Product %1]\r\n").arg(product);
            text += QStringLiteral("@=\"Product %1 of vendor %2\"\r\n").arg(product).arg(vendor);
            text += QStringLiteral("\"Build\"=dword:%1\r\n").arg(product, 8, 16, QLatin1Char('0'));
            text += QLatin1String("\"Path\"=hex(2):25,00,50,00,52,00,4f,00,47,00,52,00,41,00,4d,00,46,00,49,"
                                  "00,4c,00,\\\r\n  45,00,53,00,25,00,00,00\r\n");
            text += QLatin1String("\"Blob\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,"
                                  "14,15,16,\\\r\n  17,18,19,1a,1b,1c,1d,1e,1f\r\n\r\n");
        }
    }
    return toUtf16LeWithBom(text);
}

struct Figure
{
    double medianMs = 0;
    bool overCap = false;
};

// Median time of `install` on a fresh copy of the hive; a run past the cap ends the measurement.
Figure timeInstall(const Sandbox &sandbox, const QByteArray &hive, int repeats, int capMs)
{
    std::vector<double> times;
    for (int r = 0; r < repeats; ++r) {
        QFile::remove(sandbox.registryFile());
        if (!hive.isEmpty()) {
            QDir().mkpath(QFileInfo(sandbox.registryFile()).path());
            QFile file(sandbox.registryFile());
            if (!file.open(QIODevice::WriteOnly) || file.write(hive) != hive.size())
                return {-1, false};
        }
        QElapsedTimer timer;
        timer.start();
        const Sandbox::Result result = sandbox.run({QStringLiteral("install")}, capMs);
        const double elapsed = double(timer.nsecsElapsed()) / 1e6;
        if (!result.finished)
            return {double(capMs), true};
        if (result.exitCode != 0)
            return {-1, false};
        times.push_back(elapsed);
    }
    return {median(times), false};
}

QString formatMs(const Figure &figure)
{
    if (figure.medianMs < 0)
        return QStringLiteral("failed");
    if (figure.overCap)
        return QStringLiteral("> %1 s").arg(figure.medianMs / 1000, 0, 'f', 0);
    return figure.medianMs >= 1000 ? QStringLiteral("%1 s").arg(figure.medianMs / 1000, 0, 'f', 2)
                                   : QStringLiteral("%1 ms").arg(figure.medianMs, 0, 'f', 1);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int repeats = benchRepeats();
    const int reps = repeats > 1 ? repeats : 5;
    // A run of the old, super-linear stand-in could take many minutes; OSTREL_BENCH_CAP_S bounds one run.
    const int capMs = 1000 * (qEnvironmentVariableIsSet("OSTREL_BENCH_CAP_S")
                                  ? qEnvironmentVariableIntValue("OSTREL_BENCH_CAP_S")
                                  : 300);

    Sandbox sandbox;
    if (!sandbox.isValid()) {
        std::fprintf(stderr, "no sandbox\n");
        return 1;
    }
    std::fprintf(stderr, "registry: empty hive...\n");
    const Figure empty = timeInstall(sandbox, QByteArray(), reps, capMs);

    struct Case
    {
        QString name;
        QByteArray hive;
    };
    std::vector<Case> cases;
    for (int levels : {100, 200, 300, 500, 2000})
        cases.push_back({QStringLiteral("one key %1 levels deep").arg(levels), deepHive(levels)});
    for (int keys : {5000, 20000})
        cases.push_back({QStringLiteral("%1 keys with 4 values each").arg(keys), wideHive(keys)});

    // "extra per MB": the time beyond the empty hive's for each MB of the export, which stays about the same
    // when the cost grows in step with the hive.
    std::printf("| hive (UTF-16 export) | file size | install | empty hive | ratio | extra per MB |\n"
                "|---|---|---|---|---|---|\n");
    std::printf("| empty | - | %s | %s | 1.00 | - |\n", qPrintable(formatMs(empty)),
                qPrintable(formatMs(empty)));
    std::fflush(stdout);
    // Arguments, if any, pick the cases whose names contain one of them.
    const QStringList picks = app.arguments().mid(1);
    for (const Case &c : cases) {
        if (!picks.isEmpty() &&
            std::none_of(picks.cbegin(), picks.cend(), [&](const QString &p) { return c.name.contains(p); }))
            continue;
        std::fprintf(stderr, "registry: %s...\n", qPrintable(c.name));
        const Figure figure = timeInstall(sandbox, c.hive, reps, capMs);
        const QString ratio = figure.medianMs > 0 && empty.medianMs > 0
                                  ? QString::number(figure.medianMs / empty.medianMs, 'f', 1)
                                  : QStringLiteral("-");
        const double megabytes = c.hive.size() / 1e6;
        const QString perMegabyte = figure.medianMs > 0 && !figure.overCap
                                        ? formatMs({(figure.medianMs - empty.medianMs) / megabytes, false})
                                        : QStringLiteral("-");
        std::printf("| %s | %.1f MB | %s | %s | %s%s | %s |\n", qPrintable(c.name), megabytes,
                    qPrintable(formatMs(figure)), qPrintable(formatMs(empty)), figure.overCap ? "> " : "",
                    qPrintable(ratio), qPrintable(perMegabyte));
        std::fflush(stdout);
    }
    return 0;
}
