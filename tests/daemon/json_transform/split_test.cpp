#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "split.h"

namespace {

struct split_case {
  int line;
  const char *text;
  bool gives_list;
  std::vector<std::string> parts;
};
void PrintTo(const split_case &c, std::ostream *os) { *os << "line " << c.line; }

class split_text_test : public testing::TestWithParam<split_case> {};

TEST_P(split_text_test, parts_point_into_the_text) {
  const split_case &c = GetParam();
  split_list *list = split_text(c.text, '/');
  if (!c.gives_list) {
    EXPECT_EQ(list, nullptr) << "line " << c.line;
    return;
  }
  ASSERT_NE(list, nullptr) << "line " << c.line;
  ASSERT_EQ(list->count, c.parts.size()) << "line " << c.line;
  size_t offset = 0;
  for (uint32_t i = 0; i < list->count; ++i) {
    const split_part &part = list->parts[i];
    EXPECT_EQ(part.length, c.parts[i].size()) << "line " << c.line << " part " << i;
    if (c.parts[i].empty())
      EXPECT_EQ(part.start, nullptr) << "line " << c.line << " part " << i;
    else
      EXPECT_EQ(part.start, c.text + offset) << "line " << c.line << " part " << i;
    offset += c.parts[i].size() + 1;
  }
  split_free(list);
}

const split_case SPLIT_CASES[] = {
    {__LINE__, nullptr, false, {}},
    {__LINE__, "", false, {}},
    {__LINE__, "QZ", false, {}},
    {__LINE__, "QZ/node1/sensor", true, {"QZ", "node1", "sensor"}},
    {__LINE__, "QZ/", true, {"QZ", ""}},
    {__LINE__, "/a/b", true, {"", "a", "b"}},
    {__LINE__, "a//b", true, {"a", "", "b"}},
    {__LINE__, "/", true, {"", ""}},
    {__LINE__, "//", true, {"", "", ""}},
    {__LINE__, "a b/\xc3\xa9", true, {"a b", "\xc3\xa9"}},
};

INSTANTIATE_TEST_SUITE_P(cases, split_text_test, testing::ValuesIn(SPLIT_CASES),
                         [](const testing::TestParamInfo<split_case> &info) {
                           return "line" + std::to_string(info.param.line);
                         });

TEST(split_new, zeroed_parts_and_empty_list) {
  split_list *none = split_new(0);
  ASSERT_NE(none, nullptr);
  EXPECT_EQ(none->count, 0u);
  EXPECT_EQ(none->parts, nullptr);
  split_free(none);

  split_list *three = split_new(3);
  ASSERT_NE(three, nullptr);
  ASSERT_EQ(three->count, 3u);
  for (uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(three->parts[i].length, 0u);
    EXPECT_EQ(three->parts[i].start, nullptr);
  }
  split_free(three);
  split_free(nullptr);
}

} // namespace
