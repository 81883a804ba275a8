// The components the platform itself provides (its audio units). They are registered into the
// table when the Component Manager is first used, before any caller can look for them.
#pragma once

#include "components/component_table.h"

namespace xnq::components {

void registerPlatformComponents(ComponentTable &table);

}  // namespace xnq::components
