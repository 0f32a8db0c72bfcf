#include "crypto/json_writer.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

namespace ZezozuRiziv {
namespace {

TEST(JsonStringTest, EscapingTable) {
  struct Case {
    std::string text;
    std::string json;
  };
  const std::vector<Case> cases = {
      {"", "\"\""},
      {"plain text 123", "\"plain text 123\""},
      {"a\"b", "\"a\\\"b\""},
      {"a\\b", "\"a\\\\b\""},
      {"line\nnext", "\"line\\nnext\""},
      {"cr\r", "\"cr\\r\""},
      {"tab\there", "\"tab\\there\""},
      {"\b\f", "\"\\b\\f\""},
      {"\x01", "\"\\u0001\""},
      {"\x1f", "\"\\u001f\""},
      {"\x1b[0m", "\"\\u001b[0m\""},
      {std::string("a\0b", 3), "\"a\\u0000b\""},
      {"\x7f", "\"\x7f\""},
      {"/slash", "\"/slash\""},
      {"citt\xC3\xA0", "\"citt\xC3\xA0\""},
      {"Zava Vovaz \xE2\x82\xAC", "\"Zava Vovaz \xE2\x82\xAC\""},
      // Ill-formed UTF-8 never reaches the answer: U+FFFD stands for it.
      {"Tetti\xFFSolari", "\"Tetti\xEF\xBF\xBDSolari\""},
      {"\xFF\xFE\"", "\"\xEF\xBF\xBD\xEF\xBF\xBD\\\"\""},
      {"ab\xC3", "\"ab\xEF\xBF\xBD\""},
      {"\xED\xA0\x80\n", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\\n\""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(json_string(c.text), c.json) << c.text;
    std::string appended = "x";
    append_json_string(appended, c.text);
    EXPECT_EQ(appended, "x" + c.json) << c.text;
  }
}

TEST(JsonWriterTest, OrdinaryObjectIsTheHandWrittenText) {
  JsonWriter w;
  w.begin_object()
      .field("status", "ok")
      .field("balance", std::string("1.000000 RUZ"))
      .field("height", uint64_t{3})
      .field("ok", true)
      .key("x")
      .null()
      .key("ratio")
      .fixed(0.5, 2)
      .end_object();
  EXPECT_EQ(w.str(), R"({"status":"ok","balance":"1.000000 RUZ","height":3,"ok":true,"x":null,"ratio":0.50})");
}

TEST(JsonWriterTest, NestedObjectsAndArrays) {
  JsonWriter w;
  w.begin_object()
      .key("a")
      .begin_array()
      .value(1)
      .value(2)
      .begin_object()
      .field("b", false)
      .end_object()
      .begin_array()
      .end_array()
      .end_array()
      .key("c")
      .begin_object()
      .end_object()
      .key("d")
      .begin_object()
      .key("e")
      .begin_array()
      .value("x")
      .null()
      .end_array()
      .end_object()
      .end_object();
  EXPECT_EQ(w.str(), R"({"a":[1,2,{"b":false},[]],"c":{},"d":{"e":["x",null]}})");
}

TEST(JsonWriterTest, TopLevelArrayAndIntegers) {
  JsonWriter w;
  w.begin_array()
      .value(int64_t{-5})
      .value(UINT64_MAX)
      .value(INT64_MIN)
      .value(0)
      .value(std::string_view("s"))
      .end_array();
  EXPECT_EQ(w.take(), R"([-5,18446744073709551615,-9223372036854775808,0,"s"])");
}

TEST(JsonWriterTest, ThirtyTwoBitIntegers) {
  JsonWriter w;
  w.begin_object()
      .field("u32", UINT32_MAX)
      .field("zero", uint32_t{0})
      .field("i32_min", INT32_MIN)
      .field("i32_max", INT32_MAX)
      .end_object();
  EXPECT_EQ(w.str(), R"({"u32":4294967295,"zero":0,"i32_min":-2147483648,"i32_max":2147483647})");
}

TEST(JsonWriterTest, KeysAndValuesAreEscaped) {
  JsonWriter w;
  w.begin_object().field("we\"ird", "0xab\"},\"admin\":true").field("nl", "a\nb").end_object();
  EXPECT_EQ(w.str(), R"({"we\"ird":"0xab\"},\"admin\":true","nl":"a\nb"})");
}

TEST(JsonWriterTest, RawIsInsertedAsItIs) {
  JsonWriter w;
  w.begin_object()
      .key("block")
      .raw(R"({"height":1,"hash":"ab"})")
      .key("list")
      .begin_array()
      .raw("1")
      .raw(R"({"k":"v"})")
      .end_array()
      .field("after", 7)
      .end_object();
  EXPECT_EQ(w.str(), R"({"block":{"height":1,"hash":"ab"},"list":[1,{"k":"v"}],"after":7})");
}

TEST(JsonWriterTest, KeysAndRawTextsAreValidUtf8Too) {
  JsonWriter w;
  w.begin_object().field("k\x80", "v").key("record").raw("{\"sender\":\"RUZ\xFF\"}").end_object();
  EXPECT_EQ(w.str(), "{\"k\xEF\xBF\xBD\":\"v\",\"record\":{\"sender\":\"RUZ\xEF\xBF\xBD\"}}");
}

std::string stream_text(double v) {
  std::ostringstream out;
  out << v;
  return out.str();
}

std::string number_text(double v) {
  JsonWriter w;
  w.number(v);
  return w.str();
}

TEST(JsonWriterTest, NumberPrintsWhatAStreamPrints) {
  const std::vector<double> values = {
      0.0,      -0.0,     0.5,         1e6,        123456.7,      123456.0,   1234567.0,
      3.14159265358979,   -2.5,        1e-5,       0.0001,        0.00012345, 1e21,
      100.0,    1e-7,     999999.5,    9999995.0,  0.1 + 0.2,     2.5e-300,   DBL_MAX,
      DBL_MIN,  5e-324,   -1234.5678,  42.0,       1.0 / 3.0,     45.4642035, 1e15,
  };
  for (double v : values) {
    EXPECT_EQ(number_text(v), stream_text(v)) << v;
  }
  // Known answers of the stream's default form.
  EXPECT_EQ(number_text(0.5), "0.5");
  EXPECT_EQ(number_text(1e6), "1e+06");
  EXPECT_EQ(number_text(123456.7), "123457");
  EXPECT_EQ(number_text(3.14159265), "3.14159");
}

TEST(JsonWriterTest, FixedPrintsWhatPrintfPrints) {
  struct Case {
    double value;
    int decimals;
  };
  const std::vector<Case> cases = {
      {0.5, 2},   {2.675, 2},   {0.125, 2},     {0.375, 2},       {1e20, 2},  {-0.001, 2},
      {-0.0, 2},  {123.456789, 4}, {1e-7, 6},   {1.0, 6},         {2.5, 0},   {3.5, 0},
      {-1.5, 0},  {1234567.891, 2}, {0.1 + 0.2, 17}, {DBL_MAX, 2}, {5e-324, 6},
  };
  for (const Case& c : cases) {
    char expected[512];
    std::snprintf(expected, sizeof expected, "%.*f", c.decimals, c.value);
    EXPECT_EQ(fixed_text(c.value, c.decimals), expected) << c.value << " / " << c.decimals;
  }
  EXPECT_EQ(fixed_text(1.0, 6), "1.000000");
  EXPECT_EQ(fixed_text(45.46421, 4), "45.4642");
  // The writer's numbers are the same text.
  JsonWriter w;
  w.begin_array().fixed(2.675, 2).fixed(-1.5, 0).end_array();
  std::string expected = "[";
  expected += fixed_text(2.675, 2);
  expected += ',';
  expected += fixed_text(-1.5, 0);
  expected += ']';
  EXPECT_EQ(w.str(), expected);
}

TEST(JsonWriterTest, NanAndInfinityAreWrittenAsZero) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(number_text(nan), "0");
  EXPECT_EQ(number_text(inf), "0");
  EXPECT_EQ(number_text(-inf), "0");
  EXPECT_EQ(fixed_text(nan, 2), "0.00");
  EXPECT_EQ(fixed_text(-inf, 0), "0");

  JsonWriter w;
  w.begin_array().number(nan).fixed(inf, 1).end_array();
  EXPECT_EQ(w.str(), "[0,0.0]");
}

}  // namespace
}  // namespace ZezozuRiziv
