#pragma once

namespace quorvane {

// Teaches Qt's accessibility layer about the installer's own widgets: the window as a frame,
// the progress bar's label and value, the status block as one status bar element of its
// visible lines, each line's text, and announcements.
// Idempotent; every such widget calls it when constructed.
void installAccessibleFactory();

} // namespace quorvane
