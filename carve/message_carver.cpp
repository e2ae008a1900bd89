#include "app/app_controller.h"

namespace kestrel {

// Deleted messages are not carved yet: the step returns at once.
void WrenfieldAppDelegate::scanDelMessageThread(const std::string& /*path*/) {}

}  // namespace kestrel
