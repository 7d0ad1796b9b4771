// JSON answers in the guest checks: looking into what a program or the
// service answered without trusting its shape, and comparing a field.
#pragma once

#include <cstddef>
#include <string>

#include <nlohmann/json.hpp>

#include "guest_support.h"

namespace kv::guest {

// A member or element of an answer; null where it has none, so a field left
// out fails its comparison instead of being looked up in nothing.
inline const nlohmann::json& At(const nlohmann::json& j, const char* key)
{
    static const nlohmann::json none;
    if (!j.is_object())
        return none;
    const auto it = j.find(key);
    return it != j.end() ? *it : none;
}

inline const nlohmann::json& At(const nlohmann::json& j, size_t index)
{
    static const nlohmann::json none;
    return j.is_array() && index < j.size() ? j[index] : none;
}

// Compares one JSON field with what it should be.
inline void ExpectField(const nlohmann::json& got, const nlohmann::json& want, const std::string& where)
{
    Expect(got == want, "%s: got %s, expected %s", where.c_str(), got.dump().c_str(), want.dump().c_str());
}

}  // namespace kv::guest
