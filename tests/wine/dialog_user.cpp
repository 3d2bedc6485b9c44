#include "wine/dialog_user.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>

namespace pngtrans::test {

namespace {

constexpr wchar_t kCaption[] = L"PNG保存設定";

// Wine swallows a fault inside a dialog procedure that handles a message sent from another
// thread, and the dialog simply goes on. Every fault of this process ends it loudly instead.
LONG CALLBACK ReportFault(EXCEPTION_POINTERS* info) {
  const DWORD code = info->ExceptionRecord->ExceptionCode;
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_STACK_OVERFLOW:
      std::fprintf(stderr, "FATAL: exception 0x%08lx at %p on thread %lu\n", code,
                   info->ExceptionRecord->ExceptionAddress, GetCurrentThreadId());
      std::fflush(stderr);
      TerminateProcess(GetCurrentProcess(), 3);
      return EXCEPTION_CONTINUE_SEARCH;
    default:
      return EXCEPTION_CONTINUE_SEARCH;
  }
}

const bool faultsReported = AddVectoredExceptionHandler(1, ReportFault) != nullptr;

struct Search {
  HWND found = nullptr;
};

BOOL CALLBACK FindDialog(HWND window, LPARAM context) {
  char className[16] = {};
  GetClassNameA(window, className, sizeof className);
  if (std::string(className) == "#32770" && IsWindowVisible(window)) {
    reinterpret_cast<Search*>(context)->found = window;
    return FALSE;
  }
  return TRUE;
}

// The shown dialog of the host thread; null once stop is set or after ten seconds.
HWND WaitForDialog(DWORD hostThread, const std::atomic<bool>& stop) {
  for (int waited = 0; waited < 10000 && !stop; waited += 10) {
    Search search;
    EnumThreadWindows(hostThread, FindDialog, reinterpret_cast<LPARAM>(&search));
    if (search.found != nullptr) {
      // Answered only once the host thread is in the dialog's message loop.
      SendMessageA(search.found, WM_NULL, 0, 0);
      return search.found;
    }
    Sleep(10);
  }
  return nullptr;
}

bool WaitUntilClosed(HWND dialog) {
  for (int waited = 0; waited < 5000; waited += 10) {
    if (!IsWindow(dialog)) return true;
    Sleep(10);
  }
  return false;
}

void CheckEveryDialog(HWND host, HWND dialog) {
  wchar_t caption[32] = {};
  GetWindowTextW(dialog, caption, 32);
  EXPECT_EQ(std::wstring(caption), kCaption);

  RECT frame;
  ASSERT_TRUE(GetWindowRect(dialog, &frame));
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top;
  EXPECT_EQ(frame.left, (GetSystemMetrics(SM_CXSCREEN) - width) / 2);
  EXPECT_EQ(frame.top, (GetSystemMetrics(SM_CYSCREEN) - height) / 3);

  EXPECT_EQ(GetWindow(dialog, GW_OWNER), host);
  EXPECT_FALSE(IsWindowEnabled(host)) << "the dialog is not modal to the host's window";
}

}  // namespace

std::string ButtonStates(HWND dialog) {
  std::string states;
  for (int id : kFollowedButtons) {
    HWND button = GetDlgItem(dialog, id);
    const bool checked = SendMessageA(button, BM_GETCHECK, 0, 0) == BST_CHECKED;
    const bool enabled = IsWindowEnabled(button) != FALSE;
    states += checked ? (enabled ? 'x' : '#') : (enabled ? '.' : '-');
  }
  return states;
}

void Click(HWND dialog, int id) {
  SendMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0);
  SendMessageA(dialog, WM_NULL, 0, 0);
}

void EndDialogAs(HWND dialog, DialogEnd end) {
  switch (end) {
    case DialogEnd::kOk:
      Click(dialog, IDOK);
      break;
    case DialogEnd::kCancel:
      Click(dialog, IDCANCEL);
      break;
    case DialogEnd::kCloseWindow:
      PostMessageA(dialog, WM_CLOSE, 0, 0);
      break;
    case DialogEnd::kCloseCommand:
      PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCLOSE, BN_CLICKED), 0);
      break;
  }
}

int CallWithUser(HWND host, const std::function<int()>& call,
                 const std::function<void(HWND dialog)>& user) {
  EXPECT_TRUE(faultsReported);
  const DWORD hostThread = GetCurrentThreadId();
  std::atomic<bool> returned{false};
  std::thread userThread([&] {
    HWND dialog = WaitForDialog(hostThread, returned);
    if (!user) {
      if (dialog != nullptr) {
        ADD_FAILURE() << "a dialog appeared";
        PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
      }
      return;
    }
    if (dialog == nullptr) {
      ADD_FAILURE() << "no dialog appeared";
      return;
    }
    CheckEveryDialog(host, dialog);
    user(dialog);
    if (!WaitUntilClosed(dialog)) {
      ADD_FAILURE() << "the dialog is still open";
      PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
    }
  });
  const int answer = call();
  returned = true;
  userThread.join();
  EXPECT_TRUE(IsWindowEnabled(host)) << "the host's window stayed disabled";
  return answer;
}

HWND CreateHostWindow() {
  return CreateWindowExA(0, "STATIC", "host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 200, 100,
                         nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
}

}  // namespace pngtrans::test
