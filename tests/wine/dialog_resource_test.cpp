// Dialog 103 as the built DLL carries it, read back through the resource functions and
// compared field by field with the template the dialog was designed as.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/module_loader.h"

namespace pngtrans::test {
namespace {

// A caption with a mnemonic: the base text, then the letter between the marks U+001E and
// U+001F, then the kana, in brackets.
std::wstring Mnemonic(const wchar_t* base, wchar_t letter, const wchar_t* kana) {
  return std::wstring(base) + L"(" + wchar_t(0x1E) + letter + wchar_t(0x1F) + kana + L")";
}

struct Item {
  int32_t id;
  uint32_t style;
  int16_t x, y, cx, cy;
  std::wstring caption;
};

const Item kItems[] = {
    {1, 0x50010001, 72, 8, 40, 12, L"OK"},
    {2, 0x50010000, 72, 23, 40, 12, L"ｷｬﾝｾﾙ"},
    {-1, 0x50020007, 5, 45, 60, 45, Mnemonic(L"色", L'C', L"ｶ")},
    {1000, 0x50000009, 10, 55, 45, 9, L"ｸﾞﾚｰｽｹｰﾙ"},
    {1001, 0x50000009, 10, 65, 45, 9, L"256色"},
    {1003, 0x50000009, 10, 75, 45, 9, L"ﾌﾙｶﾗｰ"},
    {1002, 0x50010003, 10, 105, 70, 9, Mnemonic(L"透過", L'T', L"ﾄ")},
    {1004, 0x50010003, 10, 95, 70, 9, Mnemonic(L"ﾏｽｸの保存", L'M', L"ﾏ")},
    {1008, 0x50010000, 72, 38, 40, 12, Mnemonic(L"ﾍﾙﾌﾟ", L'H', L"ﾍ")},
    {1009, 0x50020007, 5, 5, 60, 35, Mnemonic(L"ﾃﾞｰﾀ形式", L'D', L"ﾃ")},
    {1005, 0x50000009, 10, 15, 50, 9, L"ｲﾝﾀｰﾚｽ"},
    {1011, 0x50000009, 10, 25, 50, 9, L"ﾉﾝｲﾝﾀｰﾚｽ"},
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
  std::wstring Text() {
    std::wstring text;
    for (uint16_t c = Word(); c != 0; c = Word()) text += static_cast<wchar_t>(c);
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

TEST(DialogResource, Dialog103MatchesItsTemplateFieldByField) {
  LoadedModule module;
  ASSERT_TRUE(module.ok()) << module.error();
  HMODULE dll = static_cast<HMODULE>(module.handle());
  HRSRC found = FindResourceExA(dll, MAKEINTRESOURCEA(5), MAKEINTRESOURCEA(103),
                                MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT));
  ASSERT_NE(found, nullptr) << "no dialog 103 in language 1041";
  HGLOBAL loaded = LoadResource(dll, found);
  ASSERT_NE(loaded, nullptr);
  const size_t size = SizeofResource(dll, found);
  TemplateReader t(static_cast<const uint8_t*>(LockResource(loaded)), size);

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
  EXPECT_EQ(t.Text(), L"PNG保存設定");
  EXPECT_EQ(t.Word(), 11) << "points";
  EXPECT_EQ(t.Word(), 0) << "weight";
  EXPECT_EQ(t.Byte(), 0) << "italic";
  EXPECT_EQ(t.Byte(), 1) << "character set";
  EXPECT_EQ(t.Text(), L"FixedSys");

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

}  // namespace
}  // namespace pngtrans::test
