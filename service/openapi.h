// The service's API described in OpenAPI 3, served at /api/v1/openapi.json.
#pragma once

#include <nlohmann/json.hpp>

namespace kv::service {

nlohmann::json OpenApiDocument();

}  // namespace kv::service
