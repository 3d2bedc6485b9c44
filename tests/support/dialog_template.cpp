#include "support/dialog_template.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace pngtrans::test {
namespace {

// A caption with a mnemonic: the base text, then the letter between the marks U+001E and
// U+001F, then the kana, in brackets.
std::u16string Mnemonic(const char16_t* base, char16_t letter, const char16_t* kana) {
  return std::u16string(base) + u"(" + char16_t(0x1E) + letter + char16_t(0x1F) + kana + u")";
}

struct Item {
  int32_t id;
  uint32_t style;
  int16_t x, y, cx, cy;
  std::u16string caption;
};

const Item kItems[] = {
    {1, 0x50010001, 72, 8, 40, 12, u"OK"},
    {2, 0x50010000, 72, 23, 40, 12, u"ｷｬﾝｾﾙ"},
    {-1, 0x50020007, 5, 45, 60, 45, Mnemonic(u"色", u'C', u"ｶ")},
    {1000, 0x50000009, 10, 55, 45, 9, u"ｸﾞﾚｰｽｹｰﾙ"},
    {1001, 0x50000009, 10, 65, 45, 9, u"256色"},
    {1003, 0x50000009, 10, 75, 45, 9, u"ﾌﾙｶﾗｰ"},
    {1002, 0x50010003, 10, 105, 70, 9, Mnemonic(u"透過", u'T', u"ﾄ")},
    {1004, 0x50010003, 10, 95, 70, 9, Mnemonic(u"ﾏｽｸの保存", u'M', u"ﾏ")},
    {1008, 0x50010000, 72, 38, 40, 12, Mnemonic(u"ﾍﾙﾌﾟ", u'H', u"ﾍ")},
    {1009, 0x50020007, 5, 5, 60, 35, Mnemonic(u"ﾃﾞｰﾀ形式", u'D', u"ﾃ")},
    {1005, 0x50000009, 10, 15, 50, 9, u"ｲﾝﾀｰﾚｽ"},
    {1011, 0x50000009, 10, 25, 50, 9, u"ﾉﾝｲﾝﾀｰﾚｽ"},
};

// Reads the template's little-endian fields in order.
class TemplateReader {
 public:
  TemplateReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint16_t Word() {
    uint8_t b[2];
    Read(b, 2);
    return static_cast<uint16_t>(b[0] | b[1] << 8);
  }
  uint32_t Dword() {
    const uint32_t low = Word();
    return low | static_cast<uint32_t>(Word()) << 16;
  }
  int16_t Short() { return static_cast<int16_t>(Word()); }
  uint8_t Byte() {
    uint8_t b;
    Read(&b, 1);
    return b;
  }
  std::u16string Text() {
    std::u16string text;
    for (uint16_t c = Word(); c != 0; c = Word()) text += static_cast<char16_t>(c);
    return text;
  }
  void AlignToDword() { offset_ = (offset_ + 3) & ~size_t{3}; }
  size_t offset() const { return offset_; }
  bool overrun() const { return overrun_; }

 private:
  void Read(uint8_t* out, size_t n) {
    if (overrun_ || offset_ + n > size_) {
      overrun_ = true;
      std::memset(out, 0, n);
      return;
    }
    std::memcpy(out, data_ + offset_, n);
    offset_ += n;
  }
  const uint8_t* data_;
  size_t size_;
  size_t offset_ = 0;
  bool overrun_ = false;
};

}  // namespace

void ExpectDialog103Template(const uint8_t* data, size_t size) {
  TemplateReader t(data, size);

  EXPECT_EQ(t.Word(), 1) << "DIALOGEX version";
  EXPECT_EQ(t.Word(), 0xFFFF) << "DIALOGEX signature";
  EXPECT_EQ(t.Dword(), 0u) << "help id";
  EXPECT_EQ(t.Dword(), 0x00000401u) << "extended style";
  EXPECT_EQ(t.Dword(), 0x90C820C0u) << "style";
  EXPECT_EQ(t.Word(), 12) << "items";
  EXPECT_EQ(t.Short(), 0);
  EXPECT_EQ(t.Short(), 0);
  EXPECT_EQ(t.Short(), 120);
  EXPECT_EQ(t.Short(), 120);
  EXPECT_EQ(t.Word(), 0) << "no menu";
  EXPECT_EQ(t.Word(), 0) << "the predefined dialog class";
  EXPECT_EQ(t.Text(), u"PNG保存設定");
  EXPECT_EQ(t.Word(), 11) << "points";
  EXPECT_EQ(t.Word(), 0) << "weight";
  EXPECT_EQ(t.Byte(), 0) << "italic";
  EXPECT_EQ(t.Byte(), 1) << "character set";
  EXPECT_EQ(t.Text(), u"FixedSys");

  for (const Item& item : kItems) {
    SCOPED_TRACE(item.id);
    t.AlignToDword();
    EXPECT_EQ(t.Dword(), 0u) << "help id";
    EXPECT_EQ(t.Dword(), 0u) << "extended style";
    EXPECT_EQ(t.Dword(), item.style);
    EXPECT_EQ(t.Short(), item.x);
    EXPECT_EQ(t.Short(), item.y);
    EXPECT_EQ(t.Short(), item.cx);
    EXPECT_EQ(t.Short(), item.cy);
    EXPECT_EQ(static_cast<int32_t>(t.Dword()), item.id);
    EXPECT_EQ(t.Word(), 0xFFFF) << "class given as an ordinal";
    EXPECT_EQ(t.Word(), 0x0080) << "the Button class";
    EXPECT_EQ(t.Text(), item.caption);
    EXPECT_EQ(t.Word(), 0) << "creation data";
  }
  EXPECT_FALSE(t.overrun());
  EXPECT_EQ(t.offset(), size) << "bytes after the last item";
}

}  // namespace pngtrans::test
