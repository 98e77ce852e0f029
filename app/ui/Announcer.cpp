#include "Announcer.h"

#include <QAccessible>

#include "InstallerAccessibility.h"

namespace quorvane {

void Announcer::announce(const QString& text) {
    installAccessibleFactory();
    recent_.push_back(std::make_unique<Announcement>(text, host_));
    while (recent_.size() > kept)
        recent_.pop_front();
    QAccessibleEvent event(recent_.back().get(), QAccessible::ObjectShow);
    QAccessible::updateAccessibility(&event);
}

} // namespace quorvane
