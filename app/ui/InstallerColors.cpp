#include "InstallerColors.h"

namespace quorvane {

QColor installerColor(quint32 hex) {
    const auto component = [hex](int shift) { return float((hex >> shift) & 0xFF) / 255.0f; };
    return QColor::fromRgbF(component(16), component(8), component(0), 1.0f);
}

QColor mutedInk(bool highContrast) {
    return installerColor(highContrast ? colors::mutedHighContrast : colors::muted);
}

QPalette installerPalette() {
    const QColor background = installerColor(colors::background);
    const QColor ink = installerColor(colors::titleInk);
    QPalette palette(ink, background);
    for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        palette.setColor(group, QPalette::Window, background);
        palette.setColor(group, QPalette::Base, background);
        palette.setColor(group, QPalette::Button, background);
        palette.setColor(group, QPalette::WindowText, ink);
        palette.setColor(group, QPalette::Text, ink);
        palette.setColor(group, QPalette::ButtonText, ink);
        palette.setColor(group, QPalette::Link, installerColor(colors::link));
        palette.setColor(group, QPalette::LinkVisited, installerColor(colors::link));
        palette.setColor(group, QPalette::Highlight, installerColor(colors::link));
        palette.setColor(group, QPalette::PlaceholderText, installerColor(colors::muted));
    }
    return palette;
}

} // namespace quorvane
