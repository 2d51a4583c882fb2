// The criteria language of SelectRows: scanner, parser, binding to a table's
// columns and evaluation against a row.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "agent/tablestore/imds.h"

namespace tablestore {

// Operator codes.
enum : unsigned char {
    CRIT_LT = 1,
    CRIT_GT = 2,
    CRIT_LE = 3,
    CRIT_GE = 4,
    CRIT_EQ = 5,
    CRIT_NE = 6,
    CRIT_AND = 7,
    CRIT_OR = 8,
};

struct CriteriaNode {
    std::string columnName;  // empty in an and/or node
    std::string literal;     // as written, quotes included
    unsigned char op = 0;
    // Filled by binding: the column's position and type (-1 and 0: no such column).
    int columnIndex = -1;
    unsigned char columnType = 0;
    // The literal converted to the column's type at binding.
    std::int64_t intLiteral = 0;
    double floatLiteral = 0;
    std::string textLiteral;
    std::unique_ptr<CriteriaNode> left, right;
};

// The parser's stack limit: a criteria nested deeper is invalid.
constexpr std::size_t kCriteriaMaxDepth = 10000;

// Parses the text as given (SelectRows appends the line break); none when
// the criteria is invalid. The tree is the last expression of the text.
std::unique_ptr<CriteriaNode> ParseCriteria(std::string_view text);
// Binds every comparison to the column of that name (case-insensitive,
// first match in column order).
void BindCriteria(CriteriaNode& tree, const std::vector<ColumnDefn>& columns);
bool EvaluateCriteria(const CriteriaNode& tree, const RowObject& row);

}  // namespace tablestore
