// The save-options dialog in a real window under Wine: command 11 and command 4 with the
// show-dialog flag, driven by a scripted user, and the help calls that reach WinHelpA.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "support/dialog_cases.h"
#include "support/files.h"
#include "support/module_fixture.h"
#include "wine/dialog_user.h"

namespace pngtrans::test {
namespace {

// Everything that reaches WinHelpA, recorded by a replacement put into the module's import
// table.
struct HelpCall {
  HWND window;
  std::string path;
  UINT command;
  ULONG_PTR data;
};
std::mutex helpMutex;
std::vector<HelpCall> helpCalls;

BOOL WINAPI RecordHelp(HWND window, LPCSTR path, UINT command, ULONG_PTR data) {
  std::lock_guard<std::mutex> lock(helpMutex);
  helpCalls.push_back({window, path != nullptr ? path : "(null)", command, data});
  return TRUE;
}

std::vector<HelpCall> TakeHelpCalls() {
  std::lock_guard<std::mutex> lock(helpMutex);
  std::vector<HelpCall> calls;
  calls.swap(helpCalls);
  return calls;
}

// Points the module's import of USER32!WinHelpA at RecordHelp. Also proves the module imports
// the function rather than looking it up at run time.
bool RedirectWinHelp(HMODULE module) {
  auto* base = reinterpret_cast<uint8_t*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  for (auto* dll = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
       dll->Name != 0; ++dll) {
    if (_stricmp(reinterpret_cast<const char*>(base + dll->Name), "USER32.dll") != 0) continue;
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const auto* byName =
          reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (std::strcmp(reinterpret_cast<const char*>(byName->Name), "WinHelpA") != 0) continue;
      DWORD protection;
      if (!VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE,
                          &protection)) {
        return false;
      }
      slots->u1.Function = reinterpret_cast<ULONG_PTR>(&RecordHelp);
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, protection, &protection);
      return true;
    }
  }
  return false;
}

std::string ModuleDirectory(HMODULE module) {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(module, path, sizeof path);
  std::string name(path, length);
  return name.substr(0, name.find_last_of('\\') + 1);
}

class SaveOptionsDialogTest : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    proc_ = module_.Procedure();
    host_ = CreateHostWindow();
    ASSERT_NE(host_, nullptr);
    ASSERT_TRUE(RedirectWinHelp(static_cast<HMODULE>(module_.handle())));
    TakeHelpCalls();
  }
  void TearDown() override {
    DestroyWindow(host_);
    ModuleTest::TearDown();
  }

  int EditOptions(TranslatorProcFn proc, uint32_t* word, const std::function<void(HWND)>& user) {
    return CallWithUser(
        host_,
        [&] {
          CommandHeader header = {0, 11, 0x5A5A};
          const int answer = proc(&header, host_, word);
          EXPECT_EQ(header.result, 0x5A5A) << "command 11 leaves result alone";
          return answer;
        },
        user);
  }

  TranslatorProcFn proc_ = nullptr;
  HWND host_ = nullptr;
};

// The user of the script, at the real dialog.
void Play(HWND dialog, const char* script) {
  const UserScript user = ParseUser(script);
  EXPECT_EQ(ButtonStates(dialog), user.onEntry) << "on entry";
  for (const Step& step : user.steps) {
    Click(dialog, step.click);
    EXPECT_EQ(ButtonStates(dialog), step.states) << "after clicking " << step.click;
  }
  EndDialogAs(dialog, user.end);
}

TEST_F(SaveOptionsDialogTest, OptionsCommandFollowsTheUsersClicks) {
  for (const OptionsCase& c : OptionsCases()) {
    SCOPED_TRACE(c.name);
    uint32_t word = c.word;
    EXPECT_EQ(EditOptions(proc_, &word, [&](HWND dialog) { Play(dialog, c.user); }), c.answer);
    EXPECT_EQ(word, c.wordAfter) << std::hex << word;
  }
}

TEST_F(SaveOptionsDialogTest, SaveCommandShowsTheDialogAndSavesWhatWasChosen) {
  for (const SaveCase& c : SaveCases()) {
    SCOPED_TRACE(c.name);
    DialogSaveImage source(c.withMask);
    const std::string path = TempPath("dialog-save.png");
    RemoveFile(path);
    uint32_t word = c.word;
    CommandHeader header = {0, 4, 0x7777};
    const int answer = CallWithUser(
        host_,
        [&] { return proc_(&header, path.c_str(), "", &source.image, &word, 1, host_, nullptr); },
        [&](HWND dialog) { Play(dialog, c.user); });
    EXPECT_EQ(answer, c.answer);
    EXPECT_EQ(header.result, c.result);
    EXPECT_EQ(word, c.wordAfter) << std::hex << word;
    Bytes file;
    if (c.fileColorType < 0) {
      EXPECT_FALSE(ReadFileBytes(path, &file)) << "a cancelled save created a file";
    } else {
      ASSERT_TRUE(ReadFileBytes(path, &file));
      ASSERT_GT(file.size(), 29u);
      EXPECT_EQ(file[25], c.fileColorType) << "IHDR colour type";
      EXPECT_EQ(file[28], c.fileInterlace) << "IHDR interlace method";
    }
    RemoveFile(path);
  }
}

// A parent that is no window: the platform refuses the dialog with 0, as if cancelled, so
// command 11 fails but still normalises the word and command 4 creates no file.
TEST_F(SaveOptionsDialogTest, ParentThatIsNoWindowCountsAsCancel) {
  HWND noWindow = reinterpret_cast<HWND>(0x0BAD0BAD);
  ASSERT_FALSE(IsWindow(noWindow));
  uint32_t word = 0;
  CommandHeader header = {0, 11, 0x5A5A};
  EXPECT_EQ(CallWithUser(host_, [&] { return proc_(&header, noWindow, &word); }, {}), 0);
  EXPECT_EQ(word, 0x00082000u);

  DialogSaveImage source(true);
  const std::string path = TempPath("no-dialog.png");
  RemoveFile(path);
  word = 0x00086101;
  header = {0, 4, 0x7777};
  const int answer = CallWithUser(
      host_,
      [&] { return proc_(&header, path.c_str(), "", &source.image, &word, 1, noWindow, nullptr); },
      {});
  EXPECT_EQ(answer, 0);
  EXPECT_EQ(header.result, 0);
  EXPECT_EQ(word, 0x00086101u);
  Bytes file;
  EXPECT_FALSE(ReadFileBytes(path, &file));
}

struct ContextCase {
  int id;             // dialog item; -1 is the colour group box
  ULONG_PTR context;  // 0: no help at all
};

const ContextCase kContextCases[] = {
    {1, 401},    {2, 400},    {1008, 402}, {1000, 312}, {1001, 312}, {1003, 312},
    {1002, 314}, {1004, 317}, {1005, 313}, {1011, 313}, {-1, 0},     {1009, 0},
};

TEST_F(SaveOptionsDialogTest, HelpButtonAndContextHelpReachTheHelpEngine) {
  const std::string helpPath =
      ModuleDirectory(static_cast<HMODULE>(module_.handle())) + "DAZ_OZA.TBL>PROC1";
  uint32_t word = 0;
  const int answer = EditOptions(proc_, &word, [&](HWND dialog) {
    Click(dialog, 1008);
    std::vector<HelpCall> calls = TakeHelpCalls();
    ASSERT_EQ(calls.size(), 1u) << "help button";
    EXPECT_EQ(calls[0].window, dialog);
    EXPECT_EQ(calls[0].path, helpPath);
    EXPECT_EQ(calls[0].command, static_cast<UINT>(HELP_CONTEXT));
    EXPECT_EQ(calls[0].data, 255u);

    for (const ContextCase& c : kContextCases) {
      HELPINFO info = {};
      info.cbSize = sizeof info;
      info.iContextType = HELPINFO_WINDOW;
      info.iCtrlId = c.id;
      info.hItemHandle = GetDlgItem(dialog, c.id);
      ASSERT_NE(info.hItemHandle, nullptr) << c.id;
      SendMessageA(dialog, WM_HELP, 0, reinterpret_cast<LPARAM>(&info));
      calls = TakeHelpCalls();
      if (c.context == 0) {
        EXPECT_TRUE(calls.empty()) << "control " << c.id << " has no help";
        continue;
      }
      ASSERT_EQ(calls.size(), 1u) << "control " << c.id;
      EXPECT_EQ(calls[0].window, dialog);
      EXPECT_EQ(calls[0].path, helpPath);
      EXPECT_EQ(calls[0].command, static_cast<UINT>(HELP_CONTEXTPOPUP));
      EXPECT_EQ(calls[0].data, c.context) << "control " << c.id;
    }

    // The procedure itself: no help information, and messages it does not handle.
    const auto procedure = reinterpret_cast<DLGPROC>(GetWindowLongPtrA(dialog, DWLP_DLGPROC));
    ASSERT_NE(procedure, nullptr);
    EXPECT_EQ(procedure(dialog, WM_HELP, 0, 0), FALSE);
    EXPECT_EQ(procedure(dialog, WM_USER + 7, 1, 2), FALSE);
    EXPECT_TRUE(TakeHelpCalls().empty());
    EXPECT_TRUE(IsWindow(dialog)) << "help closed the dialog";
    EXPECT_EQ(ButtonStates(dialog), "..x...x") << "help changed a button";
    EndDialogAs(dialog, DialogEnd::kOk);
  });
  EXPECT_EQ(answer, 1);
  EXPECT_EQ(word, 0x00082000u);
}

// A copy of the module in a directory whose help path is exactly 259 characters long gets
// help; one character more and the help engine is not called at all.
TEST_F(SaveOptionsDialogTest, HelpPathMustFitTheBuffer) {
  char temp[MAX_PATH];
  ASSERT_GT(GetTempPathA(sizeof temp, temp), 0u);
  const std::string base = std::string(temp) + "pngtrans-help\\";
  for (const size_t directoryLength : {242u, 243u}) {
    SCOPED_TRACE(directoryLength);
    std::string directory = base;
    std::vector<std::string> created;
    CreateDirectoryA(base.c_str(), nullptr);
    while (directory.size() < directoryLength) {
      // Segments of at most 40 characters and a backslash; never leave a single one over.
      const size_t room = directoryLength - directory.size();
      const size_t segment = room <= 41 ? room : (room == 42 ? 40 : 41);
      directory += std::string(segment - 1, 'd') + "\\";
      CreateDirectoryA(directory.c_str(), nullptr);
      created.push_back(directory);
    }
    ASSERT_EQ(directory.size(), directoryLength);
    const std::string copy = directory + "pngtrans.dll";
    char original[MAX_PATH];
    GetModuleFileNameA(static_cast<HMODULE>(module_.handle()), original, sizeof original);
    ASSERT_TRUE(CopyFileA(original, copy.c_str(), FALSE)) << GetLastError();
    {
      LoadedModule deep(copy);
      ASSERT_TRUE(deep.ok()) << deep.error();
      ASSERT_TRUE(RedirectWinHelp(static_cast<HMODULE>(deep.handle())));
      uint32_t word = 0;
      EditOptions(deep.Procedure(), &word, [&](HWND dialog) {
        Click(dialog, 1008);
        EndDialogAs(dialog, DialogEnd::kCancel);
      });
      const std::vector<HelpCall> calls = TakeHelpCalls();
      if (directoryLength + 17 <= 259) {
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].path, directory + "DAZ_OZA.TBL>PROC1");
        EXPECT_EQ(calls[0].path.size(), 259u);
      } else {
        EXPECT_TRUE(calls.empty()) << calls[0].path;
      }
    }
    DeleteFileA(copy.c_str());
    for (auto it = created.rbegin(); it != created.rend(); ++it) RemoveDirectoryA(it->c_str());
  }
  RemoveDirectoryA(base.c_str());
}

}  // namespace
}  // namespace pngtrans::test
