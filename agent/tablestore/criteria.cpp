#include "agent/tablestore/criteria.h"

#include <cstring>

#include "agent/tablestore/values.h"

namespace tablestore {

namespace {

enum class Tok { And, Or, Integer, Decimal, String, Identifier, LParen, RParen, Operator, LineBreak, Invalid, End };

struct Token {
    Tok kind = Tok::End;
    std::string_view text;
    unsigned char op = 0;
};

bool isLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Characters that may stand between the quotes of a string literal.
bool isStringChar(char c) {
    return isLetter(c) || isDigit(c) || c == ' ' || c == '_' || c == '.' || c == '-' || c == '/' || c == ':' ||
           c == '@' || c == '\\';
}

// The scanner: the longest match wins, and of two rules matching the same
// text the earlier one (so "and" is the keyword, "android" an identifier).
Token nextToken(std::string_view s, std::size_t& pos) {
    while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t')) ++pos;
    Token t;
    if (pos >= s.size()) return t;
    std::size_t start = pos;
    char c = s[pos];
    auto finish = [&](Tok kind, std::size_t end, unsigned char op = 0) {
        t.kind = kind;
        t.text = s.substr(start, end - start);
        t.op = op;
        pos = end;
        return t;
    };
    if (isLetter(c)) {
        std::size_t end = pos + 1;
        while (end < s.size() && (isLetter(s[end]) || isDigit(s[end]) || s[end] == '_')) ++end;
        std::string_view word = s.substr(start, end - start);
        if (word == "and") return finish(Tok::And, end);
        if (word == "or") return finish(Tok::Or, end);
        return finish(Tok::Identifier, end);
    }
    if (isDigit(c)) {
        std::size_t end = pos;
        while (end < s.size() && isDigit(s[end])) ++end;
        if (end + 1 < s.size() && s[end] == '.' && isDigit(s[end + 1])) {
            end += 1;
            while (end < s.size() && isDigit(s[end])) ++end;
            return finish(Tok::Decimal, end);
        }
        return finish(Tok::Integer, end);
    }
    switch (c) {
        case '\'': {
            std::size_t end = pos + 1;
            while (end < s.size() && isStringChar(s[end])) ++end;
            if (end < s.size() && s[end] == '\'') return finish(Tok::String, end + 1);
            return finish(Tok::Invalid, pos + 1);
        }
        case '(':
            return finish(Tok::LParen, pos + 1);
        case ')':
            return finish(Tok::RParen, pos + 1);
        case '<':
            if (pos + 1 < s.size() && s[pos + 1] == '=') return finish(Tok::Operator, pos + 2, CRIT_LE);
            return finish(Tok::Operator, pos + 1, CRIT_LT);
        case '>':
            if (pos + 1 < s.size() && s[pos + 1] == '=') return finish(Tok::Operator, pos + 2, CRIT_GE);
            return finish(Tok::Operator, pos + 1, CRIT_GT);
        case '=':
            return finish(Tok::Operator, pos + 1, CRIT_EQ);
        case '!':
            if (pos + 1 < s.size() && s[pos + 1] == '=') return finish(Tok::Operator, pos + 2, CRIT_NE);
            return finish(Tok::Invalid, pos + 1);
        case '\n':
            return finish(Tok::LineBreak, pos + 1);
        default:
            return finish(Tok::Invalid, pos + 1);
    }
}

// Symbols on the parser's stack.
enum class Sym { Expression, Identifier, Literal, Operator, And, Or, LParen };

struct Entry {
    Sym sym;
    std::string_view text;
    unsigned char op = 0;
    std::unique_ptr<CriteriaNode> node;
};

// The operator that means the same with the operands swapped: the
// literal-first form 5 < X is read as X > 5.
unsigned char mirrored(unsigned char op) {
    switch (op) {
        case CRIT_LT: return CRIT_GT;
        case CRIT_GT: return CRIT_LT;
        case CRIT_LE: return CRIT_GE;
        case CRIT_GE: return CRIT_LE;
        default: return op;
    }
}

bool expressionMayStart(const std::vector<Entry>& stack) {
    return stack.empty() || stack.back().sym == Sym::LParen || stack.back().sym == Sym::And ||
           stack.back().sym == Sym::Or;
}

// Folds "E and E or E ..." at the top of the stack from the right, which
// gives and/or their right grouping.
void reduceChain(std::vector<Entry>& stack) {
    while (stack.size() >= 3 && stack.back().sym == Sym::Expression &&
           (stack[stack.size() - 2].sym == Sym::And || stack[stack.size() - 2].sym == Sym::Or) &&
           stack[stack.size() - 3].sym == Sym::Expression) {
        auto node = std::make_unique<CriteriaNode>();
        node->op = stack[stack.size() - 2].sym == Sym::And ? CRIT_AND : CRIT_OR;
        node->right = std::move(stack.back().node);
        node->left = std::move(stack[stack.size() - 3].node);
        stack.resize(stack.size() - 3);
        stack.push_back({Sym::Expression, {}, 0, std::move(node)});
    }
}

// Pushes with the stack limit of the parser (its first two entries are the
// start state and the criteria read so far).
bool push(std::vector<Entry>& stack, Entry entry) {
    if (stack.size() + 3 > kCriteriaMaxDepth) return false;
    stack.push_back(std::move(entry));
    return true;
}

}  // namespace

std::unique_ptr<CriteriaNode> ParseCriteria(std::string_view text) {
    std::vector<Entry> stack;
    stack.reserve(16);
    std::unique_ptr<CriteriaNode> last;
    std::size_t pos = 0;
    for (;;) {
        Token t = nextToken(text, pos);
        switch (t.kind) {
            case Tok::End:
                if (!stack.empty() || !last) return nullptr;
                return last;
            case Tok::Invalid:
                return nullptr;
            case Tok::Identifier:
            case Tok::Integer:
            case Tok::Decimal:
            case Tok::String: {
                Sym sym = t.kind == Tok::Identifier ? Sym::Identifier : Sym::Literal;
                if (expressionMayStart(stack)) {
                    if (!push(stack, {sym, t.text, 0, nullptr})) return nullptr;
                    break;
                }
                // The second operand of a comparison: one identifier and one literal.
                if (stack.size() < 2 || stack.back().sym != Sym::Operator) return nullptr;
                const Entry& first = stack[stack.size() - 2];
                if (first.sym == sym || (first.sym != Sym::Identifier && first.sym != Sym::Literal))
                    return nullptr;
                auto node = std::make_unique<CriteriaNode>();
                unsigned char op = stack.back().op;
                if (sym == Sym::Literal) {
                    node->columnName = std::string(first.text);
                    node->literal = std::string(t.text);
                    node->op = op;
                } else {
                    node->columnName = std::string(t.text);
                    node->literal = std::string(first.text);
                    node->op = mirrored(op);
                }
                stack.resize(stack.size() - 2);
                stack.push_back({Sym::Expression, {}, 0, std::move(node)});
                break;
            }
            case Tok::Operator:
                if (stack.empty() ||
                    (stack.back().sym != Sym::Identifier && stack.back().sym != Sym::Literal))
                    return nullptr;
                if (!push(stack, {Sym::Operator, t.text, t.op, nullptr})) return nullptr;
                break;
            case Tok::And:
            case Tok::Or:
                if (stack.empty() || stack.back().sym != Sym::Expression) return nullptr;
                if (!push(stack, {t.kind == Tok::And ? Sym::And : Sym::Or, t.text, 0, nullptr})) return nullptr;
                break;
            case Tok::LParen:
                if (!expressionMayStart(stack)) return nullptr;
                if (!push(stack, {Sym::LParen, t.text, 0, nullptr})) return nullptr;
                break;
            case Tok::RParen: {
                if (stack.empty() || stack.back().sym != Sym::Expression) return nullptr;
                reduceChain(stack);
                if (stack.size() < 2 || stack[stack.size() - 2].sym != Sym::LParen) return nullptr;
                auto node = std::move(stack.back().node);
                stack.resize(stack.size() - 2);
                stack.push_back({Sym::Expression, {}, 0, std::move(node)});
                break;
            }
            case Tok::LineBreak:
                if (stack.empty() || stack.back().sym != Sym::Expression) return nullptr;
                reduceChain(stack);
                if (stack.size() != 1) return nullptr;
                last = std::move(stack.back().node);
                stack.clear();
                break;
        }
    }
}

void BindCriteria(CriteriaNode& tree, const std::vector<ColumnDefn>& columns) {
    // Iterative over the and/or spine so that long chains need no deep recursion.
    std::vector<CriteriaNode*> pending{&tree};
    while (!pending.empty()) {
        CriteriaNode* node = pending.back();
        pending.pop_back();
        if (node->op == CRIT_AND || node->op == CRIT_OR) {
            if (node->left) pending.push_back(node->left.get());
            if (node->right) pending.push_back(node->right.get());
            continue;
        }
        node->columnIndex = -1;
        node->columnType = 0;
        for (std::size_t i = 0; i < columns.size(); ++i) {
            if (iequals(columns[i].name, node->columnName)) {
                node->columnIndex = static_cast<int>(i);
                node->columnType = columns[i].type;
                break;
            }
        }
        if (node->columnIndex < 0) continue;
        switch (node->columnType) {
            case QOR_SQL_TINYINT:
            case QOR_SQL_UNSIGNED_TINYINT:
            case QOR_SQL_SMALLINT:
            case QOR_SQL_UNSIGNED_SMALLINT:
            case QOR_SQL_INT:
            case QOR_SQL_UNSIGNED_INT:
            case QOR_SQL_BIGINT:
                if (!ParseDecimalInteger(node->literal, node->intLiteral)) node->intLiteral = 0;
                break;
            case QOR_SQL_FLOAT:
                if (!ParseDecimalNumber(node->literal, node->floatLiteral)) node->floatLiteral = 0;
                break;
            case QOR_SQL_CHAR:
            case QOR_SQL_STRING:
                // The literal loses its first and last character: the quotes
                // of a string literal, or those of any other literal.
                node->textLiteral =
                    node->literal.size() >= 2 ? node->literal.substr(1, node->literal.size() - 2) : std::string();
                break;
            default:
                break;
        }
    }
}

namespace {

template <class T>
int threeWay(T a, T b) {
    return a < b ? -1 : (b < a ? 1 : 0);
}

bool holds(unsigned char op, int cmp) {
    switch (op) {
        case CRIT_LT: return cmp < 0;
        case CRIT_GT: return cmp > 0;
        case CRIT_LE: return cmp <= 0;
        case CRIT_GE: return cmp >= 0;
        case CRIT_EQ: return cmp == 0;
        case CRIT_NE: return cmp != 0;
        default: return false;
    }
}

// strcmp with the bytes taken as signed 8-bit values.
int signedByteCompare(const char* a, const char* b) {
    for (;; ++a, ++b) {
        signed char x = static_cast<signed char>(*a), y = static_cast<signed char>(*b);
        if (x != y) return x < y ? -1 : 1;
        if (x == 0) return 0;
    }
}

bool compare(const CriteriaNode& node, const RowObject& row) {
    if (node.columnIndex < 0 || static_cast<std::size_t>(node.columnIndex) >= row.values.size()) return false;
    const ColumnValue& value = row.values[node.columnIndex];
    int length = row.lengths[node.columnIndex];
    switch (node.columnType) {
        case QOR_SQL_TINYINT:
        case QOR_SQL_SMALLINT:
        case QOR_SQL_INT: {
            std::int64_t v;
            if (!value || !ReadStoredSigned(*value, length, v)) return false;
            return holds(node.op, threeWay(static_cast<std::int32_t>(v), static_cast<std::int32_t>(node.intLiteral)));
        }
        case QOR_SQL_UNSIGNED_TINYINT:
        case QOR_SQL_UNSIGNED_SMALLINT:
        case QOR_SQL_UNSIGNED_INT: {
            std::uint64_t v;
            if (!value || !ReadStoredUnsigned(*value, length, v)) return false;
            return holds(node.op, threeWay(static_cast<std::uint32_t>(v), static_cast<std::uint32_t>(node.intLiteral)));
        }
        case QOR_SQL_BIGINT: {
            std::int64_t v;
            if (!value || !ReadStoredSigned(*value, length, v)) return false;
            return holds(node.op, threeWay(v, node.intLiteral));
        }
        case QOR_SQL_FLOAT: {
            double v;
            if (!value || !ReadStoredFloat(*value, length, v)) return false;
            float a = static_cast<float>(v), b = static_cast<float>(node.floatLiteral);
            if (a != a || b != b) return false;  // NaN orders with nothing
            return holds(node.op, threeWay(a, b));
        }
        case QOR_SQL_CHAR:
        case QOR_SQL_STRING:
            // A NULL text orders before every literal.
            if (!value) return holds(node.op, -1);
            return holds(node.op, signedByteCompare(value->c_str(), node.textLiteral.c_str()));
        default:
            return false;
    }
}

}  // namespace

bool EvaluateCriteria(const CriteriaNode& tree, const RowObject& row) {
    if (tree.op == CRIT_AND) return tree.left && tree.right && EvaluateCriteria(*tree.left, row) &&
                                    EvaluateCriteria(*tree.right, row);
    if (tree.op == CRIT_OR)
        return (tree.left && EvaluateCriteria(*tree.left, row)) || (tree.right && EvaluateCriteria(*tree.right, row));
    return compare(tree, row);
}

}  // namespace tablestore
