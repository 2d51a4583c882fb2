// The criteria language: what parses, how it groups, and how each type compares.
#include "agent/tablestore/criteria.h"

#include "test_support.h"

using namespace tablestore;
using namespace tablestore_test;

namespace {

bool parses(const std::string& criteria) { return ParseCriteria(criteria + "\n") != nullptr; }

TEST(CriteriaParser, AcceptsTheLanguage) {
    EXPECT_TRUE(parses("X = 1"));
    EXPECT_TRUE(parses("x=1"));
    EXPECT_TRUE(parses("X\t<=\t1"));
    EXPECT_TRUE(parses("X != 1 and Y >= 2 or Z < 3"));
    EXPECT_TRUE(parses("(X = 1)"));
    EXPECT_TRUE(parses("((X = 1 or Y = 2)) and (Z = 3)"));
    EXPECT_TRUE(parses("5 = X"));
    EXPECT_TRUE(parses("X = 1.5"));
    EXPECT_TRUE(parses("android = 1"));  // an identifier, not the keyword
    EXPECT_TRUE(parses("AND = 1"));      // capital AND is an identifier too
    EXPECT_TRUE(parses("NAME = 'a b_c.d-e/f:g@h\\i09'"));
    EXPECT_TRUE(parses("NAME = ''"));
    EXPECT_TRUE(parses("X = 1\nY = 2"));  // several lines: the last one counts
}

TEST(CriteriaParser, RejectsInvalidCriteria) {
    for (const char* bad : {"", " ", "X = 1 AND Y = 2", "HOST_ID = -5", "X = 'a,b'", "X = 1.5.2", "X <> 1",
                            "X = Y", "1 = 2", "X = 1 X = 2", "X = 'abc", "X = 1\n", "(X = 1", "X = 1)", "()",
                            "and", "X = 1 and", "X = 'a''b'", "X == 1", "X ! 1", "X = 1.", "X = .5", "X = 1e5",
                            "X = 1,", "X = #1", "X = 1;", "X\r= 1", "= 1", "X ="})
        EXPECT_FALSE(parses(bad)) << "criteria: [" << bad << "]";
}

TEST(CriteriaParser, StringLiteralCharacterSet) {
    const std::string allowed =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789 _.-/:@\\";
    for (int c = 1; c < 256; ++c) {
        std::string criteria = "NAME = 'a";
        criteria += static_cast<char>(c);
        criteria += "b'";
        bool expected = allowed.find(static_cast<char>(c)) != std::string::npos;
        EXPECT_EQ(parses(criteria), expected) << "byte " << c;
    }
}

TEST(CriteriaParser, AndOrGroupFromTheRight) {
    auto tree = ParseCriteria("X = 1 and Y = 2 or Z = 3\n");
    ASSERT_TRUE(tree);
    EXPECT_EQ(tree->op, CRIT_AND);
    EXPECT_EQ(tree->left->columnName, "X");
    ASSERT_EQ(tree->right->op, CRIT_OR);
    EXPECT_EQ(tree->right->left->columnName, "Y");

    tree = ParseCriteria("X = 1 or Y = 2 and Z = 3\n");
    ASSERT_TRUE(tree);
    EXPECT_EQ(tree->op, CRIT_OR);
    EXPECT_EQ(tree->right->op, CRIT_AND);

    tree = ParseCriteria("(X = 1 or Y = 2) and Z = 3\n");
    ASSERT_TRUE(tree);
    EXPECT_EQ(tree->op, CRIT_AND);
    EXPECT_EQ(tree->left->op, CRIT_OR);
}

TEST(CriteriaParser, KeepsLiteralAsWrittenAndMirrorsLiteralFirst) {
    auto tree = ParseCriteria("NAME = 'abc'\n");
    ASSERT_TRUE(tree);
    EXPECT_EQ(tree->literal, "'abc'");
    tree = ParseCriteria("5 < X\n");
    ASSERT_TRUE(tree);
    EXPECT_EQ(tree->columnName, "X");
    EXPECT_EQ(tree->literal, "5");
    EXPECT_EQ(tree->op, CRIT_GT);
    tree = ParseCriteria("X = 1\nY = 2\n");
    ASSERT_TRUE(tree);
    EXPECT_EQ(tree->columnName, "Y");
}

TEST(CriteriaParser, NestingLimit) {
    std::string shallow = std::string(100, '(') + "X = 1" + std::string(100, ')');
    EXPECT_TRUE(parses(shallow));
    std::string deep = std::string(10001, '(') + "X = 1" + std::string(10001, ')');
    EXPECT_FALSE(parses(deep));
    std::string unclosed(10001, '(');
    EXPECT_FALSE(parses(unclosed));
    // A long chain of or stays within the limit and evaluates.
    std::string chain = "X = 1";
    for (int i = 0; i < 2000; ++i) chain += " or X = 1";
    EXPECT_TRUE(parses(chain));
}

class CriteriaSelect : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        load(R"(<r>
          <Items ID="1" X="1" Y="0" Z="3" NAME="abc" HOST_ID="4294967301" UID="4294967295" RATIO="0.5" FLAG="true"/>
          <Items ID="2" X="0" Y="2" Z="3" NAME="ABC" HOST_ID="5" UID="5" RATIO="2.5"/>
          <Items ID="3" X="7" NAME="" HOST_ID="-3"/>
          <Items ID="4" X="0"/>
          <Items ID="5" X="1" Y="2" NAME="2"/>
        </r>)");
    }
};

TEST_F(CriteriaSelect, ColumnNamesIgnoreCaseValuesDoNot) {
    EXPECT_EQ(ids("host_id = 5"), Ints{2});
    EXPECT_EQ(ids("HOST_ID = 5"), Ints{2});
    EXPECT_EQ(ids("NAME = 'abc'"), Ints{1});
    EXPECT_EQ(ids("NAME = 'ABC'"), Ints{2});
    EXPECT_EQ(ids("name = 'Abc'"), Ints{});
}

TEST_F(CriteriaSelect, AndOrGrouping) {
    // X = 1 and (Y = 2 or Z = 3)
    EXPECT_EQ(ids("X = 1 and Y = 2 or Z = 3"), (Ints{1, 5}));
    // X = 1 or (Y = 2 and Z = 3)
    EXPECT_EQ(ids("X = 1 or Y = 2 and Z = 3"), (Ints{1, 2, 5}));
    EXPECT_EQ(ids("(X = 0 or X = 7) and NAME != 'ABC'"), (Ints{3, 4}));
    EXPECT_EQ(ids("X = 1 AND Y = 2"), Ints{-1});  // invalid: none
}

TEST_F(CriteriaSelect, UnknownColumnSelectsNothingButIsAResult) {
    EXPECT_EQ(ids("NO_SUCH = 1"), Ints{});
    EXPECT_EQ(ids("NO_SUCH = 1 or ID = 4"), Ints{4});
    EXPECT_EQ(ids("ID = 1", "NoSuchTable"), Ints{-1});
}

TEST_F(CriteriaSelect, BigintComparesAll64Bits) {
    EXPECT_EQ(ids("HOST_ID = 4294967301"), Ints{1});
    EXPECT_EQ(ids("HOST_ID = 5"), Ints{2});  // not the low half of 4294967301
    EXPECT_EQ(ids("HOST_ID > 4294967300"), Ints{1});
    EXPECT_EQ(ids("HOST_ID < 0"), Ints{3});
}

TEST_F(CriteriaSelect, UnsignedAndFloatColumns) {
    EXPECT_EQ(ids("UID > 5"), Ints{1});  // 4294967295 is not -1
    EXPECT_EQ(ids("RATIO < 1.5"), Ints{1});
    EXPECT_EQ(ids("RATIO >= 2.5"), Ints{2});
    EXPECT_EQ(ids("FLAG = 1"), Ints{});  // booleans never compare
}

TEST_F(CriteriaSelect, CharLiteralLosesFirstAndLastCharacter) {
    EXPECT_EQ(ids("NAME = 7"), Ints{3});      // "7" leaves the empty string
    EXPECT_EQ(ids("NAME = 123"), Ints{5});    // "123" leaves "2"
    EXPECT_EQ(ids("NAME = ''"), Ints{3});
    EXPECT_EQ(ids("NAME > 'a'"), Ints{1});    // strcmp order: "abc" > "a" > "ABC"
}

TEST_F(CriteriaSelect, NullRules) {
    // A NULL text orders before every literal; a NULL number compares false.
    EXPECT_EQ(ids("NAME < ''"), Ints{4});
    EXPECT_EQ(ids("NAME != 'abc'"), (Ints{2, 3, 4, 5}));
    EXPECT_EQ(ids("Y = 0"), Ints{1});
    EXPECT_EQ(ids("Y != 0"), (Ints{2, 5}));
}

TEST_F(CriteriaSelect, LiteralConversionAndLiteralFirstForm) {
    EXPECT_EQ(ids("X = '7'"), (Ints{2, 4}));  // a quoted literal stands for 0 in an integer column
    EXPECT_EQ(ids("X = 1.5"), (Ints{2, 4}));  // so does a decimal literal
    EXPECT_EQ(ids("7 = X"), Ints{3});
    EXPECT_EQ(ids("1 != X"), (Ints{2, 3, 4}));
    EXPECT_EQ(ids("1 < X"), Ints{3});  // read as X > 1
}

}  // namespace
