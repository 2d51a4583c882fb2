// Fast access to the 14 values of an attribute table (internal to the
// record building and the parser rules).
//
// Every event empties, fills and reads all 14 values, so the names' buckets
// are worked out once per table size instead of hashing a name per access.
#pragma once

#include <string>
#include <string_view>

#include "agent/collection/event_record.h"

// Position of an attribute name in kAttributeNames, or -1.
int attributeIndex(std::string_view name);

// The value of the attribute at that position; the entry is created empty
// when the table lacks it.
std::string& attributeSlot(AttributeTable& table, int index);
