// Platform services shared by the windows: fonts by name, alerts, sheet
// placement, the opener of web addresses and folders, and the ending of the
// application.
#pragma once

#include <QColor>
#include <QFont>
#include <QString>
#include <QUrl>
#include <functional>

class QWidget;

namespace kestrel::ui {

// The orange of the screens: calibrated red 217/255, green 81/255, blue 30/255.
QColor orange();

// A font by name at a size in points as the design gives them (one point
// per pixel, as on the design's screens); the platform substitutes a
// family it lacks.
QFont namedFont(const QString& family, double size, bool bold = false);
QFont boldSystemFont(double size);
QFont systemFont(double size);

// A modal alert with the texts as written (after localisation). Returns
// true when the default button was chosen.
bool runAlert(QWidget* parent, const QString& message, const QString& informative, const QString& defaultButton,
              const QString& alternateButton = QString());

// Places a window-modal sheet over the main window: centred horizontally,
// its top at the window's top moved down by the sheet-placement rule.
void placeSheet(QWidget* sheet, QWidget* mainWindow);

// Opens a web address or shows a folder (QDesktopServices by default; the
// tests put a recorder here).
using UrlOpener = std::function<void(const QUrl&)>;
UrlOpener& urlOpener();
void openUrl(const QUrl& url);

// Ends the application: leaves the event loop (QCoreApplication::exit(0) by
// default; the tests put a recorder here, so that leaving can be observed
// without ending the test process).
using Terminator = std::function<void()>;
Terminator& applicationTerminator();
void terminateApplication();

// The vendor's web addresses (configuration).
inline constexpr const char* kHomePageUrl = "https://kestrel.example.org/";
inline constexpr const char* kSupportUrl = "https://kestrel.example.org/support/";
inline constexpr const char* kResourcesUrl = "https://kestrel.example.org/resources/";
inline constexpr const char* kFacebookUrl = "https://www.facebook.com/kestrel.example.org";
inline constexpr const char* kTwitterUrl = "https://twitter.com/kestrel_example";

}  // namespace kestrel::ui
