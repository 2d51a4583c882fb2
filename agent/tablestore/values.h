// Conversions between texts and typed column values, shared by the criteria
// evaluator, the dictionary's defaults and the dump loader.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "agent/tablestore/imds.h"

namespace tablestore {

bool iequals(std::string_view a, std::string_view b);
int icompare(std::string_view a, std::string_view b);

// An optional "+" or "-", then one or more decimal digits, nothing else.
// False for any other text and for a number beyond 64 bits.
bool ParseDecimalInteger(std::string_view text, std::int64_t& out);
// An optional sign, digits, optionally "." and digits, nothing else.
bool ParseDecimalNumber(std::string_view text, double& out);

struct TypedValue {
    ColumnValue value;  // none: no value
    int length = 0;
};

// A criteria literal or a dictionary default converted to the column type.
TypedValue ConvertCriteriaLiteral(std::string_view text, int typeCode);
// A dump attribute text converted by the loader's text-to-value table.
TypedValue ConvertDumpText(std::string_view text, int typeCode);
// An integer stored in the form the loader uses for the column type.
TypedValue IntegerValue(std::int64_t v, int typeCode);

// Reads a stored integer of 1, 2, 4 or 8 bytes, widened with its sign
// (or without, for the unsigned reader). False for other lengths.
bool ReadStoredSigned(const std::string& value, int length, std::int64_t& out);
bool ReadStoredUnsigned(const std::string& value, int length, std::uint64_t& out);
bool ReadStoredFloat(const std::string& value, int length, double& out);

// Parsers of the date and time texts ("%d-%d-%d", "%d:%d:%d" and both).
DateRecord ParseDate(std::string_view text);
TimeRecord ParseTime(std::string_view text);
DateTimeRecord ParseDateTime(std::string_view text);

template <class T>
TypedValue BytesOf(const T& v) {
    return {std::string(reinterpret_cast<const char*>(&v), sizeof v), static_cast<int>(sizeof v)};
}

}  // namespace tablestore
