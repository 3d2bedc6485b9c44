// The result table of docs/protocol.md, case by case through the loaded module: for every row,
// the command's return value and what it leaves in the header's result (preset to 0x7777,
// "preset" in the table) must be what the table says, and every case this test can run must
// have its row.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "support/export_host.h"
#include "support/files.h"
#include "support/import_host.h"
#include "support/module_fixture.h"
#include "support/png_build.h"

namespace pngtrans::test {
namespace {

constexpr uint16_t kPreset = 0x7777;

struct Row {
  std::string text;  // the case as the table names it
  int command = 0;
  int returns = 0;
  uint16_t result = 0;
};

std::string Trim(const std::string& text) {
  const size_t start = text.find_first_not_of(' ');
  const size_t end = text.find_last_not_of(' ');
  return start == std::string::npos ? "" : text.substr(start, end - start + 1);
}

// The rows between the marker line and the next blank line: | case | command | returns | result |.
std::vector<Row> ReadTable(std::string* error) {
  std::vector<Row> rows;
  std::FILE* f = std::fopen(PNGTRANS_PROTOCOL_DOC, "r");
  if (f == nullptr) {
    *error = std::string("cannot read ") + PNGTRANS_PROTOCOL_DOC;
    return rows;
  }
  char line[1024];
  bool inTable = false;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    const std::string text = Trim(std::string(line).substr(0, std::string(line).find('\n')));
    if (text.find("<!-- result table") == 0) {
      inTable = true;
      continue;
    }
    if (!inTable) continue;
    if (text.empty()) break;
    if (text.find("|---") == 0 || text.find("| case") == 0) continue;
    std::vector<std::string> cells;
    size_t at = 1;
    for (size_t bar; (bar = text.find('|', at)) != std::string::npos; at = bar + 1) {
      cells.push_back(Trim(text.substr(at, bar - at)));
    }
    if (cells.size() != 4) {
      *error = "a row without four cells: " + text;
      break;
    }
    Row row;
    row.text = cells[0];
    row.command = std::atoi(cells[1].c_str());
    row.returns = std::atoi(cells[2].c_str());
    row.result =
        cells[3] == "preset" ? kPreset : static_cast<uint16_t>(std::atoi(cells[3].c_str()));
    rows.push_back(row);
  }
  std::fclose(f);
  return rows;
}

Bytes Chunks(std::initializer_list<Bytes> chunks) {
  Bytes file = PngSignature();
  for (const Bytes& c : chunks) Append(&file, c);
  return file;
}

class ResultTable : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    const RawImage raw = RandomImage(6, 5, 8, 3, 11, 4);
    EncodeOptions options;
    options.palette = Bytes(12, 9);
    const Bytes png = EncodePng(raw, options);
    const Bytes idat = MakeChunk("IDAT", ZlibCompress(Bytes(5 * 7, 0)));
    const Bytes ihdr = MakeChunk("IHDR", IhdrData(6, 5, 8, 3));
    const Bytes plte = MakeChunk("PLTE", Bytes(12, 9));
    const Bytes iend = MakeChunk("IEND", {});
    files_ = {
        {"a valid file", png},
        {"an empty file", {}},
        {"no PNG signature", Bytes(png.begin() + 1, png.end())},
        {"tRNS before PLTE", Chunks({ihdr, MakeChunk("tRNS", {0}), plte, idat, iend})},
        {"IDAT before PLTE", Chunks({ihdr, idat, plte, iend})},
        {"image data cut short", Bytes(png.begin(), png.end() - 20)},
        {"allocate refused", png},
    };
  }

  // Runs one case: false when this module cannot run it (the row is checked elsewhere).
  bool Run(const Row& row, int* returns, uint16_t* result) {
    const std::string path = TempPath("results.png");
    RemoveFile(path);
    const auto file = files_.find(row.text);
    if (file != files_.end() && !WriteFileBytes(path, file->second)) return false;
    TranslatorProcFn proc = module_.Procedure();
    CommandHeader header = {0, static_cast<uint16_t>(row.command), kPreset};
    char title[64];
    if (row.command == 3 || row.command == 5 || row.command == 9) {
      if (file == files_.end() && row.text != "no file") return false;
      GuardedHost host;
      if (row.text == "allocate refused") host.FailAllocate(true);
      HostImage info = {};
      uint32_t word = 0;
      if (row.command == 3) {
        *returns = proc(&header, Arg(path.c_str()), Arg(title), Arg(host.image()), Arg(&word),
                        XtndArg{0}, XtndArg{0}, XtndArg{0});
      } else if (row.command == 5) {
        *returns = proc(&header, Arg(path.c_str()), Arg(title), Arg(&info), XtndArg{0});
      } else {
        *returns = proc(&header, Arg(path.c_str()), Arg(&word));
      }
    } else {
      HostSpec shape;
      if (row.text == "an indexed image without a palette") shape.kind = ColorKindIndexed;
      if (row.text == "an image of height 0") shape.height = 0;
      GuardedHostImage image(shape);
      if (row.text == "an indexed image without a palette") image.get()->palette = nullptr;
      const std::string target =
          row.text == "a target that cannot be written" ? TempDirectory("unwritable") : path;
      uint32_t word = 0x00082000;
      if (row.command == 13) {
        *returns = proc(&header, Arg(target.c_str()), Arg("Results"), Arg(image.get()),
                        XtndArg{word}, XtndArg{0});
      } else if (row.text == "the dialog cancelled") {
#if defined(_WIN32)
        // A parent that is no window: the system refuses the dialog, as a user's Cancel.
        *returns = proc(&header, Arg(target.c_str()), Arg("Results"), Arg(image.get()), Arg(&word),
                        XtndArg{1}, XtndArg{0x0BAD0BAD}, XtndArg{0});
#else
        return false;  // the stand-in dialog always answers OK
#endif
      } else {
        *returns = proc(&header, Arg(target.c_str()), Arg("Results"), Arg(image.get()), Arg(&word),
                        XtndArg{0}, XtndArg{0}, XtndArg{0});
      }
    }
    RemoveFile(path);
    *result = header.result;
    return true;
  }

  std::map<std::string, Bytes> files_;
};

TEST_F(ResultTable, EveryDocumentedResultIsWhatTheModuleReturns) {
  std::string error;
  const std::vector<Row> rows = ReadTable(&error);
  ASSERT_EQ(error, "");
  ASSERT_GE(rows.size(), 20u) << "the table in " << PNGTRANS_PROTOCOL_DOC;
  int run = 0;
  for (const Row& row : rows) {
    int returns = -1;
    uint16_t result = 0;
    if (!Run(row, &returns, &result)) continue;
    ++run;
    auto line = [&](int r, uint16_t status) {
      return "| " + row.text + " | " + std::to_string(row.command) + " | " + std::to_string(r) +
             " | " + (status == kPreset ? std::string("preset") : std::to_string(status)) + " |";
    };
    EXPECT_EQ(line(returns, result), line(row.returns, row.result));
  }
  EXPECT_GE(run, 20);
}

}  // namespace
}  // namespace pngtrans::test
