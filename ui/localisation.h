// The localisation table: every alert text, button title and the proposed
// export name pass through Qt's translation mechanism with the text itself
// as the key, so a text without a translation is shown as written.
#pragma once

#include <QCoreApplication>
#include <QString>
#include <string>

namespace kestrel::ui {

inline QString L(const char* text) { return QCoreApplication::translate("Kestrel", text); }
inline QString L(const std::string& text) { return QCoreApplication::translate("Kestrel", text.c_str()); }
inline QString q(const std::string& text) { return QString::fromStdString(text); }

}  // namespace kestrel::ui
