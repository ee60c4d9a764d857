// The embedded web server thread.
#pragma once

#include "service/service_context.h"

namespace kvzn::web {

void EmbeddedWebServer(service::ServiceContext& ctx);

}  // namespace kvzn::web
