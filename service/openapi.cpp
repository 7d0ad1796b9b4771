#include "service/openapi.h"

#include "device/version.h"
#include "service/tower_host.h"

namespace kv::service {

using nlohmann::json;

namespace {

json Error(const char* description)
{
    return {{"description", description},
            {"content", {{"application/json", {{"schema", {{"$ref", "#/components/schemas/Error"}}}}}}}};
}

json Ok(const char* description, const char* schema)
{
    return {
        {"description", description},
        {"content",
         {{"application/json", {{"schema", {{"$ref", std::string("#/components/schemas/") + schema}}}}}}}};
}

json PathParameter(const char* name, const char* description)
{
    return {{"name", name},
            {"in", "path"},
            {"required", true},
            {"description", description},
            {"schema", {{"type", "string"}, {"maxLength", 64}}}};
}

}  // namespace

json OpenApiDocument()
{
    const json towerId = PathParameter("id", "the tower's id from the list, or its serial number");
    const json segment = PathParameter("segment", "position 1-5, sound, or the segment's name (\"Red 1\")");
    json write = {
        {"summary", "Set a segment's pattern, level and on/off; answered once the tower reports it back"},
        {"security", json::array({{{"bearer", json::array()}}})},
        {"parameters", {towerId, segment}},
        {"requestBody",
         {{"required", true},
          {"content",
           {{"application/json", {{"schema", {{"$ref", "#/components/schemas/SegmentWrite"}}}}}}}}},
        {"responses",
         {{"200", Ok("the tower took it", "SegmentResult")},
          {"400", Error("bad input")},
          {"401", Error("no token, or a wrong one")},
          {"403", Error("wrong Host or a foreign Origin")},
          {"404", Error("no such tower or segment")},
          {"408", Error("the request did not arrive whole in time")},
          {"409", Error("busy, or the tower runs another firmware")},
          {"413", Error("the body is too large")},
          {"415", Error("the body is not application/json")},
          {"502", Error("the write to the tower failed")},
          {"503", Error("the tower is lost or not in step yet")},
          {"504", Error("the tower did not report the write back in time")}}}};

    json doc = {
        {"openapi", "3.0.3"},
        {"info",
         {{"title", "kestrivaned"},
          {"version", kProgramVersionText},
          {"description", "Nelo signal towers held for many clients."}}},
        {"paths",
         {{"/api/v1/towers",
           {{"get",
             {{"summary",
               "Every Base Controller known (as kestrivane-cli list --json) with its id and state"},
              {"responses", {{"200", Ok("the list", "TowerList")}}}}}}},
          {"/api/v1/towers/{id}",
           {{"get",
             {{"summary", "The whole tower (as kestrivane-cli status --json)"},
              {"parameters", {towerId}},
              {"responses",
               {{"200", Ok("the tower", "Status")},
                {"404", Error("no such tower")},
                {"503", Error("the tower is lost or not in step yet")}}}}}}},
          {"/api/v1/towers/{id}/segments/{segment}", {{"put", write}, {"patch", write}}},
          {"/api/v1/towers/{id}/threshold",
           {{"put",
             {{"summary",
               "Set the switching threshold of the input ports, as the Threshold tool sends it; answered "
               "once the tower reports it back"},
              {"security", json::array({{{"bearer", json::array()}}})},
              {"parameters", {towerId}},
              {"requestBody",
               {{"required", true},
                {"content",
                 {{"application/json", {{"schema", {{"$ref", "#/components/schemas/ThresholdWrite"}}}}}}}}},
              {"responses",
               {{"200", Ok("the tower took it", "ThresholdResult")},
                {"400", Error("not a number of volts within the range")},
                {"401", Error("no token, or a wrong one")},
                {"404", Error("no such tower")},
                {"409", Error("busy, or the tower runs another firmware")},
                {"502",
                 Error("the write failed, or the tower reported another value (Transmission failed!)")},
                {"503", Error("the tower is lost, not in step, or has reported no threshold yet")},
                {"504", Error("the tower did not report the value back in time")}}}}}}},
          {"/api/v1/towers/{id}/update",
           {{"post",
             {{"summary",
               "Updates the Base Controller's firmware with the installed file; progress and outcome "
               "as update events"},
              {"security", json::array({{{"bearer", json::array()}}})},
              {"responses",
               {{"202", {{"description", "started"}}},
                {"400", Error("a body other than {}")},
                {"401", Error("no token")},
                {"404", Error("no such tower")},
                {"409", Error("an update runs, or another program holds the tower")},
                {"503", Error("the tower is lost or not in step yet")}}}}}}},
          {"/api/v1/patterns",
           {{"get",
             {{"summary", "The pattern names a colour segment and the sound segment accept"},
              {"responses", {{"200", {{"description", "the names"}}}}}}}}},
          {"/api/v1/events",
           {{"get",
             {{"summary",
               "Server-Sent Events: one JSON object per event (towers, state, arrived, lost, "
               "inaccessible, held, firmwareDiffers, update)"},
              {"responses",
               {{"200",
                 {{"description", "the stream"}, {"content", {{"text/event-stream", json::object()}}}}},
                {"409", Error("too many event streams are open")}}}}}}},
          {"/api/v1/openapi.json",
           {{"get",
             {{"summary", "This document"}, {"responses", {{"200", {{"description", "OpenAPI 3"}}}}}}}}}}},
        {"components",
         {{"securitySchemes", {{"bearer", {{"type", "http"}, {"scheme", "bearer"}}}}},
          {"schemas",
           {{"Error",
             {{"type", "object"},
              {"required", {"error", "code"}},
              {"properties", {{"error", {{"type", "string"}}}, {"code", {{"type", "integer"}}}}}}},
            {"SegmentWrite",
             {{"type", "object"},
              {"additionalProperties", false},
              {"minProperties", 1},
              {"properties",
               {{"pattern", {{"type", "string"}, {"description", "a name from /api/v1/patterns"}}},
                {"level",
                 {{"type", "integer"},
                  {"minimum", 0},
                  {"maximum", 200},
                  {"description", "percent as the window's box shows it"}}},
                {"on", {{"type", "boolean"}}}}}}},
            {"ThresholdWrite",
             {{"type", "object"},
              {"additionalProperties", false},
              {"required", {"volts"}},
              {"properties",
               {{"volts",
                 {{"type", "number"},
                  {"minimum", ThresholdMinVolts()},
                  {"maximum", ThresholdMaxVolts()},
                  {"description", "taken to the nearest step of 0.10875 V"}}}}}}},
            {"ThresholdResult",
             {{"type", "object"},
              {"properties",
               {{"tower", {{"type", "string"}}}, {"switchingThreshold", {{"type", "object"}}}}}}},
            {"SegmentResult",
             {{"type", "object"},
              {"properties", {{"tower", {{"type", "string"}}}, {"segment", {{"type", "object"}}}}}}},
            {"TowerList",
             {{"type", "object"},
              {"properties",
               {{"baseControllers", {{"type", "array"}, {"items", {{"type", "object"}}}}},
                {"bootloaders", {{"type", "array"}, {"items", {{"type", "object"}}}}}}}}},
            {"Status",
             {{"type", "object"},
              {"properties",
               {{"id", {{"type", "string"}}},
                {"state", {{"type", "string"}, {"enum", {"online", "firmwareDiffers"}}}},
                {"baseController", {{"type", "object"}}},
                {"segments", {{"type", "array"}, {"items", {{"type", "object"}}}}},
                {"sound", {{"type", "object"}}},
                {"ports", {{"type", "array"}}},
                {"switchingThreshold", {{"type", "object"}, {"nullable", true}}}}}}}}}}}};
    return doc;
}

}  // namespace kv::service
