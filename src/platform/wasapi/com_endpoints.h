// The real endpoints: WASAPI's COM objects (Windows only).
#pragma once

#include <memory>

#include "platform/wasapi/endpoints.h"

namespace zarn::platform::wasapi {

std::unique_ptr<Endpoints> makeComEndpoints();

}  // namespace zarn::platform::wasapi
