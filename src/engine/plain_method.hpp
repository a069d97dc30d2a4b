// The methods whose only parameter is timeout_secs and whose request payload is empty: their
// table, shared by the engine's methods and the batch's calls.
#pragma once

#include <string_view>

#include "bridge/async_call.hpp"
#include "codec/frame.hpp"

namespace pen::engine {

struct PlainMethod {
  const char* name;  // "NativeEngineAsync.<method>"
  codec::FnId fn_id;
  bridge::ReplyConverter convert;
  double default_timeout;
};

// The plain method called `name` (without the class prefix), or nullptr.
const PlainMethod* find_plain_method(std::string_view name);

// The names of the plain methods, comma-separated, for messages.
const char* plain_method_names();

}  // namespace pen::engine
