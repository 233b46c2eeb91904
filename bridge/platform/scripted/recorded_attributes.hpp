// How the scripted keychain remembers the dictionaries it was handed: as plain text, one entry per
// member, so that a test can compare a whole query with one literal and the record holds no
// reference to a platform object (a recorded keychain would otherwise stay open).
#pragma once

#include <map>
#include <string>

#include "bridge/platform/attributes.hpp"

namespace ktarn::platform::scripted {

// Member name -> value text. Nested dictionaries are flattened into "outer.inner" names; values
// read "true", "2048", "\"text\"", "<bytes as text>", constant names, "[a, b]" for lists and the
// object's description (a keychain: "keychain <path>").
using RecordedAttributes = std::map<std::string, std::string>;

RecordedAttributes record_attributes(const Attributes& attributes);

}  // namespace ktarn::platform::scripted
