#include "agent/tablestore/values.h"

#include <cstring>
#include <limits>

namespace tablestore {

namespace {

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Reads an optionally signed decimal integer at pos (scanf "%d" style:
// leading blanks skipped); false when no digit follows.
bool scanInt(std::string_view text, std::size_t& pos, int& out) {
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) negative = text[pos++] == '-';
    if (pos >= text.size() || !isDigit(text[pos])) return false;
    std::int64_t v = 0;
    while (pos < text.size() && isDigit(text[pos])) {
        if (v < 100000000000LL) v = v * 10 + (text[pos] - '0');
        ++pos;
    }
    if (v > std::numeric_limits<int>::max()) v = std::numeric_limits<int>::max();
    out = static_cast<int>(negative ? -v : v);
    return true;
}

bool expect(std::string_view text, std::size_t& pos, char c) {
    if (pos < text.size() && text[pos] == c) {
        ++pos;
        return true;
    }
    return false;
}

}  // namespace

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

int icompare(std::string_view a, std::string_view b) {
    std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char x = static_cast<unsigned char>(lower(a[i]));
        unsigned char y = static_cast<unsigned char>(lower(b[i]));
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

bool ParseDecimalInteger(std::string_view text, std::int64_t& out) {
    std::size_t pos = 0;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) negative = text[pos++] == '-';
    if (pos >= text.size()) return false;
    std::uint64_t v = 0;
    const std::uint64_t limit = negative ? 9223372036854775808ULL : 9223372036854775807ULL;
    for (; pos < text.size(); ++pos) {
        if (!isDigit(text[pos])) return false;
        unsigned digit = static_cast<unsigned>(text[pos] - '0');
        if (v > (limit - digit) / 10) return false;  // beyond 64 bits
        v = v * 10 + digit;
    }
    out = negative ? static_cast<std::int64_t>(0 - v) : static_cast<std::int64_t>(v);
    return true;
}

bool ParseDecimalNumber(std::string_view text, double& out) {
    std::size_t pos = 0;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) negative = text[pos++] == '-';
    std::size_t digitsStart = pos;
    double v = 0;
    while (pos < text.size() && isDigit(text[pos])) v = v * 10 + (text[pos++] - '0');
    if (pos == digitsStart) return false;
    if (pos < text.size() && text[pos] == '.') {
        ++pos;
        std::size_t fracStart = pos;
        double scale = 0.1;
        while (pos < text.size() && isDigit(text[pos])) {
            v += (text[pos++] - '0') * scale;
            scale /= 10;
        }
        if (pos == fracStart) return false;
    }
    if (pos != text.size()) return false;
    out = negative ? -v : v;
    return true;
}

DateRecord ParseDate(std::string_view text) {
    DateRecord d;
    std::size_t pos = 0;
    if (scanInt(text, pos, d.year) && expect(text, pos, '-') && scanInt(text, pos, d.month) &&
        expect(text, pos, '-'))
        scanInt(text, pos, d.day);
    return d;
}

TimeRecord ParseTime(std::string_view text) {
    TimeRecord t;
    std::size_t pos = 0;
    if (scanInt(text, pos, t.hour) && expect(text, pos, ':') && scanInt(text, pos, t.minute) &&
        expect(text, pos, ':'))
        scanInt(text, pos, t.second);
    return t;
}

DateTimeRecord ParseDateTime(std::string_view text) {
    DateTimeRecord dt;
    std::size_t pos = 0;
    if (scanInt(text, pos, dt.date.year) && expect(text, pos, '-') && scanInt(text, pos, dt.date.month) &&
        expect(text, pos, '-') && scanInt(text, pos, dt.date.day) && scanInt(text, pos, dt.time.hour) &&
        expect(text, pos, ':') && scanInt(text, pos, dt.time.minute) && expect(text, pos, ':'))
        scanInt(text, pos, dt.time.second);
    return dt;
}

TypedValue IntegerValue(std::int64_t v, int typeCode) {
    switch (typeCode) {
        case QOR_SQL_BIGINT:
        case QOR_SQL_UNSIGNED_LONG_INT:
            return BytesOf(v);
        case QOR_SQL_UNSIGNED_SMALLINT:
            return BytesOf(static_cast<std::uint16_t>(v));
        case QOR_SQL_UNSIGNED_INT:
        case QOR_SQL_UNSIGNED_TINYINT:
            return BytesOf(static_cast<std::uint32_t>(v));
        case QOR_SQL_FLOAT:
            return BytesOf(static_cast<float>(v));
        case QOR_SQL_DOUBLE:
            return BytesOf(static_cast<double>(v));
        default:
            // Codes 1, 3 and 5 (and references in columns of other codes)
            // are 32-bit integers, whatever the natural width of the code:
            // readers take 16 or 32 bits of them.
            return BytesOf(static_cast<std::int32_t>(static_cast<std::uint32_t>(v)));
    }
}

namespace {

// The conversions the criteria literals, the defaults and the dump texts
// share: the 32-bit and 64-bit integers, FLOAT, DOUBLE, the texts and the
// dates. False for the other codes, which each caller treats its own way.
bool convertShared(std::string_view text, int typeCode, TypedValue& out) {
    switch (typeCode) {
        case QOR_SQL_TINYINT:
        case QOR_SQL_UNSIGNED_TINYINT:
        case QOR_SQL_SMALLINT:
        case QOR_SQL_INT:
        case QOR_SQL_UNSIGNED_INT:
        case QOR_SQL_BIGINT: {
            std::int64_t v = 0;
            if (!ParseDecimalInteger(text, v)) v = 0;
            out = IntegerValue(v, typeCode);
            return true;
        }
        case QOR_SQL_FLOAT:
        case QOR_SQL_DOUBLE: {
            double v = 0;
            if (!ParseDecimalNumber(text, v)) v = 0;
            out = typeCode == QOR_SQL_FLOAT ? BytesOf(static_cast<float>(v)) : BytesOf(v);
            return true;
        }
        case QOR_SQL_CHAR:
        case QOR_SQL_STRING:
            out = {std::string(text), static_cast<int>(text.size())};
            return true;
        case QOR_SQL_DATE:
            out = BytesOf(ParseDate(text));
            return true;
        case QOR_SQL_TIME:
            out = BytesOf(ParseTime(text));
            return true;
        case QOR_SQL_DATETIME:
            out = BytesOf(ParseDateTime(text));
            return true;
        default:
            return false;
    }
}

}  // namespace

TypedValue ConvertCriteriaLiteral(std::string_view text, int typeCode) {
    TypedValue out;
    switch (typeCode) {
        case QOR_SQL_UNSIGNED_SMALLINT:
        case QOR_SQL_UNSIGNED_LONG_INT: {
            std::int64_t v = 0;
            if (!ParseDecimalInteger(text, v)) v = 0;
            return IntegerValue(v, typeCode);
        }
        case QOR_SQL_REAL:
            convertShared(text, QOR_SQL_FLOAT, out);  // a 32-bit float as well
            return out;
        case QOR_SQL_BOOLEAN:
            if (iequals(text, "TRUE")) return BytesOf(static_cast<unsigned char>(1));
            if (iequals(text, "FALSE")) return BytesOf(static_cast<unsigned char>(0));
            return {};
        default:
            if (convertShared(text, typeCode, out)) return out;
            // Raw types keep the text's bytes.
            return {std::string(text), static_cast<int>(text.size())};
    }
}

TypedValue ConvertDumpText(std::string_view text, int typeCode) {
    TypedValue out;
    if (convertShared(text, typeCode, out)) return out;
    if (typeCode == QOR_SQL_BOOLEAN) return BytesOf(static_cast<unsigned char>(iequals(text, "false") ? 0 : 1));
    return {};  // not read: the column stays NULL
}

bool ReadStoredSigned(const std::string& value, int length, std::int64_t& out) {
    if (length < 0 || static_cast<std::size_t>(length) > value.size()) return false;
    switch (length) {
        case 1: {
            std::int8_t v;
            std::memcpy(&v, value.data(), 1);
            out = v;
            return true;
        }
        case 2: {
            std::int16_t v;
            std::memcpy(&v, value.data(), 2);
            out = v;
            return true;
        }
        case 4: {
            std::int32_t v;
            std::memcpy(&v, value.data(), 4);
            out = v;
            return true;
        }
        case 8: {
            std::int64_t v;
            std::memcpy(&v, value.data(), 8);
            out = v;
            return true;
        }
        default:
            return false;
    }
}

bool ReadStoredUnsigned(const std::string& value, int length, std::uint64_t& out) {
    if (length < 0 || static_cast<std::size_t>(length) > value.size()) return false;
    switch (length) {
        case 1:
            out = static_cast<unsigned char>(value[0]);
            return true;
        case 2: {
            std::uint16_t v;
            std::memcpy(&v, value.data(), 2);
            out = v;
            return true;
        }
        case 4: {
            std::uint32_t v;
            std::memcpy(&v, value.data(), 4);
            out = v;
            return true;
        }
        case 8: {
            std::uint64_t v;
            std::memcpy(&v, value.data(), 8);
            out = v;
            return true;
        }
        default:
            return false;
    }
}

bool ReadStoredFloat(const std::string& value, int length, double& out) {
    if (length < 0 || static_cast<std::size_t>(length) > value.size()) return false;
    if (length == 4) {
        float v;
        std::memcpy(&v, value.data(), 4);
        out = v;
        return true;
    }
    if (length == 8) {
        double v;
        std::memcpy(&v, value.data(), 8);
        out = v;
        return true;
    }
    return false;
}

}  // namespace tablestore
