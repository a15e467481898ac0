// The result of an administration command as text for people
// (admin_text.cpp); --json prints the result itself.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "admin_wire.h"

std::string admin_text(const admin_request &request, const nlohmann::ordered_json &result);
