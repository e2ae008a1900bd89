#include "app/app_controller.h"

namespace kestrel {

// Deleted contacts are not carved yet: the step returns at once.
void WrenfieldAppDelegate::scanDelContactThread(const std::string& /*path*/) {}

}  // namespace kestrel
