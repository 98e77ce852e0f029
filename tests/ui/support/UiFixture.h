#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include <QColor>
#include <QImage>

#include "BootstrapModel.h"
#include "TempDir.h"
#include "manifest/BootstrapManifest.h"

class QWidget;

namespace quorvane::test {

// A manifest that passes validation; the download address refuses connections at once.
BootstrapManifest sampleManifest(std::int64_t payloadBytes = 52'000'000,
                                 std::optional<std::int64_t> embeddedPackageBytes = 2'000'000);

// A model over real resources in a fresh folder: Payload.json written from `manifest`, or no
// resource at all. Everything the model could touch lies inside that folder.
struct ModelFixture {
    explicit ModelFixture(std::optional<BootstrapManifest> manifest = sampleManifest(),
                          int osMajorVersion = 6);

    TempDir dir;
    std::shared_ptr<BootstrapModel> model;
};

// The widget as it is painted, at one device pixel per point.
QImage render(QWidget& widget);

// How much of `ink` a pixel holds over `paper`, 0 to 1; negative when the pixel is not a blend
// of the two (another colour).
double coverage(QRgb pixel, const QColor& ink, const QColor& paper, int tolerance = 6);

} // namespace quorvane::test

namespace quorvane {
class BootstrapView;
}
class QAccessibleInterface;

namespace quorvane::test {

// Gold over the track along the bar's middle row: how many columns are mostly gold, and the
// first and last of them (-1 when none).
struct GoldRun {
    int columns = 0;
    int first = -1;
    int last = -1;
};
GoldRun goldAlongBar(BootstrapView& view);

// The accessible element whose object has `name`, searched below `root`; null when none.
QAccessibleInterface* findAccessible(QAccessibleInterface* root, const QString& name);
// The names of the accessible children of `element`, in order.
QStringList childNames(QAccessibleInterface* element);

} // namespace quorvane::test
