/* The spool's bytes: which file names are segments, and an "acked" file that applies to its
 * own segment only and never when damaged. */
#include <gtest/gtest.h>

#include <cstring>

#include "daemon/spool/spool_format.h"

namespace {

TEST(SpoolFormat, OnlySegmentNamesOfItsOwnSpellingHaveANumber) {
  struct name_case {
    const char *name;
    uint64_t number; /* 0: not a segment */
  } cases[] = {
      {"0000000100000000.seg", 0x100000000ull},
      {"00000001000000ff.seg", 0x1000000ffull},
      {"ffffffffffffffff.seg", UINT64_MAX},
      {"00000001000000FF.seg", 0}, /* upper case is not its spelling */
      {"000000010000000.seg", 0},
      {"00000001000000000.seg", 0},
      {"0000000100000000.seg~", 0},
      {"0000000100000000.SEG", 0},
      {"000000010000000g.seg", 0},
      {"acked", 0},
      {"", 0},
  };
  for (const name_case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(segment_number(c.name), c.number);
    if (c.number == 0) continue;
    char name[SEGMENT_NAME_CAPACITY];
    segment_name(c.number, name);
    EXPECT_STREQ(name, c.name);
  }
}

TEST(SpoolFormat, AckedFitsItsOwnSegmentAndNoDamagedByte) {
  uint8_t first[SPOOL_RECORD_HEAD + 2], other[SPOOL_RECORD_HEAD + 2];
  spool_encode(first, "{}", 2, 1700000000000);
  spool_encode(other, "{}", 2, 1700000000001);
  uint8_t bytes[ACKED_SIZE];
  acked_encode(bytes, acked_mark_of(0x100000000ull, 4242, first));
  acked_mark m{};
  ASSERT_TRUE(acked_decode(bytes, &m));
  EXPECT_EQ(m.segment, 0x100000000ull);
  EXPECT_EQ(m.offset, 4242u);
  EXPECT_TRUE(acked_fits(m, first));
  EXPECT_FALSE(acked_fits(m, other)); /* a segment file replaced under the same name */
  for (uint32_t at = 0; at < ACKED_SIZE; at++) {
    uint8_t damaged[ACKED_SIZE];
    std::memcpy(damaged, bytes, sizeof damaged);
    damaged[at] ^= 0x10;
    EXPECT_FALSE(acked_decode(damaged, &m)) << "byte " << at;
  }
}

} // namespace
