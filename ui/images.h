// The program's own image resources, drawn in code: the list icons "ipad"
// and "iphone" (with a padlock beside them: "ipad-locked", "iphone-locked";
// the padlock alone: "lock"), the category buttons' idle ("...Nom") and active ("...On")
// images, "bottom", "progressGorund", "whiteimg" and the program's logo.
#pragma once

#include <QPixmap>
#include <QString>

namespace kestrel::ui {

// The named image; a null pixmap for an unknown name. Drawn once, then cached.
QPixmap kestrelImage(const QString& name);

}  // namespace kestrel::ui
