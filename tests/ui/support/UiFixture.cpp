#include "UiFixture.h"

#include <algorithm>
#include <cmath>

#include <QAccessible>
#include <QApplication>
#include <QWidget>

#include "BootstrapView.h"
#include "InstallerColors.h"

namespace quorvane::test {

BootstrapManifest sampleManifest(std::int64_t payloadBytes,
                                 std::optional<std::int64_t> embeddedPackageBytes) {
    BootstrapManifest manifest;
    manifest.version = "4.2.1";
    manifest.build = "4210.1";
    manifest.payloadURL = "https://127.0.0.1:9/Quorvane%20Pro.pkg";
    manifest.payloadBytes = payloadBytes;
    manifest.embeddedPackageBytes = embeddedPackageBytes;
    manifest.installedAppCDHash = std::string(40, 'a');
    manifest.payloadSHA256 = std::string(64, 'b');
    return manifest;
}

ModelFixture::ModelFixture(std::optional<BootstrapManifest> manifest, int osMajorVersion) {
    const auto resources = dir / "Resources";
    std::filesystem::create_directories(resources);
    std::filesystem::create_directories(dir / "tmp");
    if (manifest)
        writeFile(resources / "Payload.json", manifest->encode());
    SystemContext system;
    system.pkgutil = "/bin/false";
    system.codesign = "/bin/false";
    system.userApplications = dir / "Applications";
    system.systemApplications = dir / "SystemApplications";
    model = BootstrapModel::create({
        .resources = resources,
        .system = system,
        .desktopDataHome = {},
        .temporaryDirectory = dir / "tmp",
        .platform = config::platform,
        .osMajorVersion = [osMajorVersion] { return osMajorVersion; },
        .terminate = [] {},
        .proxy = {},
        .download = {},
    });
}

QImage render(QWidget& widget) {
    widget.ensurePolished();
    QImage image(widget.size(), QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    widget.render(&image);
    return image;
}

double coverage(QRgb pixel, const QColor& ink, const QColor& paper, int tolerance) {
    const int channels[3][3] = {{qRed(pixel), ink.red(), paper.red()},
                                {qGreen(pixel), ink.green(), paper.green()},
                                {qBlue(pixel), ink.blue(), paper.blue()}};
    // Estimate the blend from the channel where ink and paper differ most, then check the rest.
    int widest = 0;
    for (int c = 1; c < 3; ++c)
        if (std::abs(channels[c][1] - channels[c][2]) >
            std::abs(channels[widest][1] - channels[widest][2]))
            widest = c;
    const double span = channels[widest][1] - channels[widest][2];
    if (span == 0)
        return -1;
    const double alpha = std::clamp((channels[widest][0] - channels[widest][2]) / span, 0.0, 1.0);
    for (const auto& c : channels) {
        const double expected = c[2] + alpha * (c[1] - c[2]);
        if (std::abs(c[0] - expected) > tolerance)
            return -1;
    }
    return alpha;
}

GoldRun goldAlongBar(BootstrapView& view) {
    const QImage image = render(view);
    const QRect bar = view.progressBar().geometry();
    const int row = bar.top() + bar.height() / 2;
    const QColor gold = installerColor(colors::gold);
    const QColor track = installerColor(colors::track);
    GoldRun run;
    for (int x = 0; x < bar.width(); ++x) {
        if (coverage(image.pixel(bar.left() + x, row), gold, track) < 0.5)
            continue;
        ++run.columns;
        if (run.first < 0)
            run.first = x;
        run.last = x;
    }
    return run;
}

QAccessibleInterface* findAccessible(QAccessibleInterface* root, const QString& name) {
    if (!root)
        return nullptr;
    if (root->object() && root->object()->objectName() == name)
        return root;
    for (int i = 0; i < root->childCount(); ++i)
        if (QAccessibleInterface* found = findAccessible(root->child(i), name))
            return found;
    return nullptr;
}

QStringList childNames(QAccessibleInterface* element) {
    QStringList names;
    for (int i = 0; element && i < element->childCount(); ++i)
        names.append(element->child(i)->text(QAccessible::Name));
    return names;
}

} // namespace quorvane::test
