// Time to load a full 131072-byte HEX file, beside srec_cat and
// python3-intelhex reading the same file in the same run.
//
// Our figure is loadHexFile() inside this process (file open, read, parse,
// checksum). The tools' figures are the wall time of one whole process each
// (start-up included; nothing is subtracted), since that is what a load with
// them costs.

#include "benchutil.h"
#include "firmware/hexparser.h"
#include "tests/common/hextestutil.h"
#include "app/quorvexremoteiofirmwareupdater.h"

#include <QApplication>
#include <QByteArray>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kBytes = FlashGeometry::flashSize;

// Whether a program ran and exited with 0, its output discarded.
bool runQuiet(const std::vector<std::string> &args)
{
    return benchutil::runDiscardingOutput(args) == 0;
}

struct Figures
{
    double median = 0; // milliseconds per load
    double minimum = 0;
    int runs = 0;
};

template <typename F>
Figures measure(int runs, F &&once)
{
    std::vector<double> ms;
    QElapsedTimer t;
    for (int i = 0; i < runs; ++i) {
        t.start();
        if (!once())
            return {};
        ms.push_back(double(t.nsecsElapsed()) / 1e6);
    }
    return {benchutil::median(ms), benchutil::minimum(ms), runs};
}

void print(const char *what, const Figures &f)
{
    std::printf("  %-48s median %9.3f ms   min %9.3f ms   (%d runs)\n", what, f.median, f.minimum,
                f.runs);
}

std::string pythonWithIntelHex()
{
    for (const char *python : {"/usr/bin/python3", "python3"}) {
        if (runQuiet({python, "-c", "import intelhex"}))
            return python;
    }
    return std::string();
}

} // namespace

int main(int argc, char *argv[])
{
    benchutil::prepareProcess();
    QApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));

    QTemporaryDir dir;
    QByteArray data(kBytes, '\0');
    QRandomGenerator random(20240601);
    for (char &c : data)
        c = char(random.bounded(256));
    // 16-byte records from the flash base on, a linear address record at each
    // 64 KiB.
    const QByteArray text = hextest::hexFile(data, FlashGeometry::flashBase, "\r\n");
    const QString path = dir.filePath(QStringLiteral("full.hex"));
    if (!hextest::writeFile(path, text)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return 1;
    }
    const std::string file = path.toStdString();

    std::printf("bench_hexload: %d data bytes, %d-byte HEX file (8192 records of 16 bytes)\n",
                kBytes, int(text.size()));

    auto window = std::make_unique<QuorvexRemoteIOFirmwareUpdater>();
    window->firmwareFile = file;
    if (!window->loadHexFile() || window->imageSize != kBytes) {
        std::fprintf(stderr, "the loader did not load the file\n");
        return 1;
    }

    const Figures ours = measure(300, [&] { return window->loadHexFile(); });
    std::vector<std::uint8_t> image(kBytes);
    const Figures core = measure(300, [&] {
        return HexParser::loadImage(text.constData(), std::size_t(text.size()), image.data()).size
               == kBytes;
    });

    const Figures srec = measure(30, [&] {
        return runQuiet({"srec_cat", file, "-intel", "-o", "/dev/null", "-binary"});
    });
    const std::string python = pythonWithIntelHex();
    Figures intelhex;
    if (!python.empty()) {
        intelhex = measure(15, [&] {
            return runQuiet({python, "-c",
                             "import sys\nfrom intelhex import IntelHex\nIntelHex(sys.argv[1])",
                             file});
        });
    }

    // For reading the tools' figures only: what start-up alone costs.
    const Figures srecStart = measure(30, [&] { return runQuiet({"srec_cat", "-version"}); });
    Figures pythonStart;
    if (!python.empty())
        pythonStart = measure(15, [&] { return runQuiet({python, "-c", "import intelhex"}); });

    std::printf("Time per load (tools: wall time of the whole process, start-up included, "
                "nothing subtracted):\n");
    print("loadHexFile (file read + parse + checksum)", ours);
    print("loader core on text in memory", core);
    if (srec.runs)
        print("srec_cat file.hex -intel -o /dev/null -binary", srec);
    else
        std::printf("  srec_cat: not available\n");
    if (intelhex.runs)
        print("python3 intelhex: IntelHex(file.hex)", intelhex);
    else
        std::printf("  python3 intelhex: not available\n");

    std::printf("For reference, start-up alone (not subtracted above):\n");
    if (srecStart.runs)
        print("srec_cat -version", srecStart);
    if (pythonStart.runs)
        print("python3 -c 'import intelhex'", pythonStart);

    if (srec.runs) {
        const double r = srec.median / ours.median;
        std::printf("Ratio srec_cat / loadHexFile: %.1f (target >= 1: %s)\n", r,
                    r >= 1.0 ? "met" : "MISSED");
    }
    if (intelhex.runs) {
        const double r = intelhex.median / ours.median;
        std::printf("Ratio intelhex / loadHexFile: %.1f (target >= 10: %s)\n", r,
                    r >= 10.0 ? "met" : "MISSED");
    }
    return 0;
}
