// Placeholder registration list, filled as the units land.
#include "components/platform_components.h"

namespace xnq::components {
void registerPlatformComponents(ComponentTable &) {}
}  // namespace xnq::components
