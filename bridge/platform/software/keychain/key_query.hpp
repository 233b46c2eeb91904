// How the software keychain reads attribute dictionaries: which members a query may hold and of
// what kind, which keychains it searches, and what it asks of the items. Every match member must
// equal the item's stored attribute; a query that does not mention synchronizable items finds only
// items that are not synchronizable, as on the platform this keychain stands in for.
#pragma once

#include <optional>
#include <vector>

#include "bridge/platform/attributes.hpp"
#include "bridge/platform/software/keychain/key_item.hpp"
#include "bridge/platform/software/keychain/keychain_objects.hpp"

namespace ktarn::platform::software {

enum class QueryUse { kCopyMatching, kDelete };

// errSecParam unless every member is one the use accepts, with a value of the right kind.
OSStatus check_query(const Attributes& query, QueryUse use);

// The keychains named by kSecMatchSearchList (or, for creation, kSecUseKeychain): errSecNoDefault-
// Keychain when the member is missing, errSecParam when it names anything but keychains this
// implementation opened.
StatusOr<std::vector<KeychainObject*>> search_list(const Attributes& query);
StatusOr<KeychainObject*> use_keychain(const Attributes& parameters);

// What the keychain compares for a valid query: its item-attribute members, and "not
// synchronizable" when the query does not mention synchronizable items.
Attributes search_terms(const Attributes& query);

// Sets one of the attributes a new key's creator chooses (permanence, tag, label and the usage
// flags); errSecParam for any other member or a value of the wrong kind.
OSStatus assign_creator_attribute(Attr name, const AttrValue& value, KeyItem& item);

// Every attribute of the item (never its key bytes).
Attributes item_attributes(const KeyItem& item);

}  // namespace ktarn::platform::software
