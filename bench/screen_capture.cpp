// Capture of a 2880 × 1800 display plus both JPEG encodes (the display and a 400 × 300-pixel
// circled region), through the same path a circled region takes. Starts its own Xvfb.

#include "support/XFixture.h"

#include "platform/StaticSystemAccess.h"
#include "platform/linux/X11ScreenGrabber.h"
#include "routing/ScreenContext.h"

#include <QGuiApplication>
#include <QLinearGradient>
#include <QPainter>
#include <QRandomGenerator>
#include <QThread>

#include <benchmark/benchmark.h>

#include <cstdio>

using namespace kestrabo;

namespace {

struct Scene {
    test::Xvfb xvfb;
    std::unique_ptr<test::XWindows> windows;
    std::unique_ptr<X11ScreenGrabber> grabber;
    StaticSystemAccess access;
    ScreenContext::Display display;
};
Scene* g_scene = nullptr;

// Something like a desktop: gradients, blocks of "text" and photos, so JPEG has work to do.
QImage busyImage(QSize size, quint32 seed)
{
    QImage image(size, QImage::Format_RGB32);
    QPainter painter(&image);
    QLinearGradient gradient(0, 0, size.width(), size.height());
    gradient.setColorAt(0, QColor(40, 60, 110));
    gradient.setColorAt(1, QColor(200, 170, 120));
    painter.fillRect(image.rect(), gradient);
    QRandomGenerator random(seed);
    for (int i = 0; i < 400; ++i) {
        const QRect block(random.bounded(size.width()), random.bounded(size.height()), 20 + random.bounded(300),
                          6 + random.bounded(24));
        painter.fillRect(block, QColor::fromRgb(random.generate() | 0xff000000));
    }
    painter.setPen(Qt::black);
    for (int y = 20; y < size.height(); y += 22)
        painter.drawText(10, y, QStringLiteral("The quick brown fox jumps over the lazy dog %1").arg(y));
    return image;
}

bool setUp(Scene& scene)
{
    const QString problem = scene.xvfb.start(QSize(2880, 1800));
    if (!problem.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(problem));
        return false;
    }
    scene.windows = std::make_unique<test::XWindows>(scene.xvfb.display());
    const QList<QRect> others{QRect(0, 0, 2880, 1800), QRect(200, 150, 1600, 1100), QRect(1500, 600, 1200, 1000)};
    quint32 seed = 1;
    for (const QRect& rect : others) {
        const quint64 window = scene.windows->create(rect, 0xff808080, false);
        scene.windows->paint(window, busyImage(rect.size(), seed++));
    }
    // Our panel at the top centre: the part it covers is rebuilt from the windows beneath.
    scene.windows->create(QRect(1040, 0, 800, 220), 0xff101010, true);
    scene.grabber = std::make_unique<X11ScreenGrabber>(scene.xvfb.display());
    scene.access.screenPreflight = scene.grabber->preflight();

    std::optional<Result<QList<ShareableDisplay>>> displays;
    scene.grabber->shareableDisplays([&](const Result<QList<ShareableDisplay>>& r) { displays = r; });
    while (!displays)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    if (!*displays || displays->value().isEmpty())
        return false;
    scene.display = {displays->value().first().identifier, QStringLiteral("Xvfb"), QSizeF(1440, 900), 2};
    QThread::msleep(300); // let the redirected windows settle
    return true;
}

void BM_CaptureDisplayAndRegion(benchmark::State& state)
{
    Scene& scene = *g_scene;
    const Platform platform{.access = &scene.access, .grabber = scene.grabber.get()};
    // 200 × 150 points at scale 2 is the 400 × 300-pixel region.
    const QRectF selection(600, 300, 200, 150);
    qint64 jpegBytes = 0, cropBytes = 0;
    for (auto _ : state) {
        std::optional<Result<ScreenSnapshot>> result;
        ScreenContext::capture(platform, scene.display, selection, Job::start(),
                               [&](const Result<ScreenSnapshot>& r) { result = r; });
        while (!result)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        if (!*result || !result->value().crop) {
            state.SkipWithError("capture failed");
            return;
        }
        jpegBytes = result->value().jpeg.size();
        cropBytes = result->value().crop->size();
    }
    state.counters["jpeg_bytes"] = double(jpegBytes);
    state.counters["crop_bytes"] = double(cropBytes);
    state.counters["shared_memory"] = scene.grabber->lastReadUsedSharedMemory() ? 1 : 0;
}
BENCHMARK(BM_CaptureDisplayAndRegion)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1)
    ->Repetitions(15)
    ->ReportAggregatesOnly(true);

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    Scene scene;
    if (!setUp(scene))
        return 1;
    g_scene = &scene;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_scene = nullptr;
    return 0;
}
