// waiter_window.h: the waiter's work and its window. The waiter, a copy of
// the launcher that overlay does not wait for, shows a window from overlay's
// start until it ends: the game's name, what the update is doing (waiting for
// the launcher to close; copying; stopped, with overlay's message open) and a
// bar of the update's bytes already in the game folder. It answers while it
// waits, reads overlay's box when one is open, closes its window when overlay
// ends and then starts the launcher again with what it saw.
#pragma once

#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <string>
#include <vector>

#include "basics.h"
#include "copies.h"
#include "matching.h"
#include "messages.h"

// How far overlay got, by bytes: a cursor over the update's files in
// overlay's order (depth first, as listed) that moves past each file the game
// folder has as the update has it. It never moves back, nor looks again at a
// file it passed.
class CopyProgress {
 public:
  CopyProgress(const std::wstring& update, const std::wstring& game) {
    List(update, game);
    for (const File& file : files_) total_ += file.size;
  }

  // Moves the cursor as far as the game folder has the files; the share of
  // the update's bytes done, in thousandths. overlay writes the files in this
  // order, so those it has written are the ones before the first it has not:
  // found in strides that double, then halve, a few queries a tick however
  // many files it wrote meanwhile (one query a file would slow the copy).
  int Advance() {
    std::size_t done = next_, not_done = files_.size();
    for (std::size_t stride = 1; done < not_done; stride *= 2) {
      const std::size_t probe = std::min(done + stride, not_done) - 1;
      if (!InGame(files_[probe])) {
        not_done = probe;
        break;
      }
      done = probe + 1;
    }
    while (done < not_done) {
      const std::size_t middle = done + (not_done - done) / 2;
      if (InGame(files_[middle])) {
        done = middle + 1;
      } else {
        not_done = middle;
      }
    }
    for (; next_ < done; ++next_) done_ += files_[next_].size;
    if (total_ == 0) return next_ == files_.size() ? 1000 : 0;
    return static_cast<int>(done_ * 1000 / total_);
  }

 private:
  struct File {
    std::wstring in_game;
    ULONGLONG size;
    FILETIME written;
  };

  static ULONGLONG Size(DWORD high, DWORD low) { return static_cast<ULONGLONG>(high) << 32 | low; }

  // Links are left out: overlay copies what they lead to, unknown here.
  void List(const std::wstring& update, const std::wstring& game) {
    ForEachEntryOf(update, [&](const WIN32_FIND_DATAW& entry) {
      const std::wstring in_game = game + L"\\" + entry.cFileName;
      if (IsLink(entry)) return true;
      if (IsFolder(entry.dwFileAttributes)) {
        List(update + L"\\" + entry.cFileName, in_game);
      } else {
        files_.push_back(
            {in_game, Size(entry.nFileSizeHigh, entry.nFileSizeLow), entry.ftLastWriteTime});
      }
      return true;
    });
  }

  static bool InGame(const File& file) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    return ::GetFileAttributesExW(file.in_game.c_str(), GetFileExInfoStandard, &data) &&
           !IsFolder(data.dwFileAttributes) &&
           Size(data.nFileSizeHigh, data.nFileSizeLow) == file.size &&
           SameWriteTime(data.ftLastWriteTime, file.written);
  }

  std::vector<File> files_;
  std::size_t next_ = 0;
  ULONGLONG done_ = 0, total_ = 0;
};

// The waiter window's class, one per game (named by its stem), so that a
// second start of the launcher finds its own game's window and no other.
inline std::wstring WaiterWindowClass(const std::wstring& stem) { return stem + L"window"; }

// The window: a line of text and a progress bar (0 to kBarRange). Closing it
// only minimises it: it goes when overlay ends.
class WaiterWindow {
 public:
  static constexpr int kBarRange = 1000;

  WaiterWindow(const std::wstring& stem, const std::wstring& game_name)
      : class_name_(WaiterWindowClass(stem)), instance_(::GetModuleHandleW(nullptr)) {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
    ::InitCommonControlsEx(&controls);
    WNDCLASSW window_class{};
    window_class.lpfnWndProc = Answer;
    window_class.hInstance = instance_;
    window_class.hCursor = ::LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    window_class.lpszClassName = class_name_.c_str();
    ::RegisterClassW(&window_class);
    window_ =
        ::CreateWindowExW(0, class_name_.c_str(), (game_name + L": update").c_str(),
                          WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, CW_USEDEFAULT,
                          CW_USEDEFAULT, 440, 150, nullptr, nullptr, instance_, nullptr);
    text_ = ::CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE, 16, 14, 400, 40, window_,
                              nullptr, instance_, nullptr);
    bar_ = ::CreateWindowExW(0, PROGRESS_CLASSW, nullptr, WS_CHILD | WS_VISIBLE, 16, 64, 400, 20,
                             window_, nullptr, instance_, nullptr);
    ::SendMessageW(bar_, PBM_SETRANGE32, 0, kBarRange);
    // The bar keeps its class and its messages but is drawn here, two
    // rectangles a move: Wine's own drawing of it took 12 ms of CPU a move
    // on an emulated x86, time the copy beside it lost.
    if (bar_) {
      ::SetWindowLongPtrW(bar_, GWLP_USERDATA, ::GetWindowLongPtrW(bar_, GWLP_WNDPROC));
      ::SetWindowLongPtrW(bar_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(DrawBar));
    }
    ::ShowWindow(window_, SW_SHOWNORMAL);
  }
  ~WaiterWindow() {
    if (window_) ::DestroyWindow(window_);
    ::UnregisterClassW(class_name_.c_str(), instance_);
  }
  WaiterWindow(const WaiterWindow&) = delete;
  WaiterWindow& operator=(const WaiterWindow&) = delete;

  void Show(const std::wstring& text, int thousandths) {
    if (text != shown_) ::SetWindowTextW(text_, text.c_str());
    shown_ = text;
    ::SendMessageW(bar_, PBM_SETPOS, thousandths, 0);
  }

 private:
  static LRESULT CALLBACK Answer(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_CLOSE) return ::ShowWindow(window, SW_MINIMIZE), 0;
    return ::DefWindowProcW(window, message, w, l);
  }

  // The bar's own procedure answers all but its painting: a frame, the part
  // done in the highlight colour, the rest in the window colour.
  static LRESULT CALLBACK DrawBar(HWND bar, UINT message, WPARAM w, LPARAM l) {
    const auto own = reinterpret_cast<WNDPROC>(::GetWindowLongPtrW(bar, GWLP_USERDATA));
    if (message != WM_PAINT) return ::CallWindowProcW(own, bar, message, w, l);
    const int position = static_cast<int>(::CallWindowProcW(own, bar, PBM_GETPOS, 0, 0));
    PAINTSTRUCT paint;
    const HDC context = ::BeginPaint(bar, &paint);
    RECT rest;
    ::GetClientRect(bar, &rest);
    ::FrameRect(context, &rest, ::GetSysColorBrush(COLOR_BTNSHADOW));
    ::InflateRect(&rest, -1, -1);
    RECT done = rest;
    done.right = rest.left = rest.left + ::MulDiv(rest.right - rest.left, position, kBarRange);
    ::FillRect(context, &done, ::GetSysColorBrush(COLOR_HIGHLIGHT));
    ::FillRect(context, &rest, ::GetSysColorBrush(COLOR_WINDOW));
    ::EndPaint(bar, &paint);
    return 0;
  }

  std::wstring class_name_, shown_;
  HINSTANCE instance_;
  HWND window_ = nullptr, text_ = nullptr, bar_ = nullptr;
};

// Brings the game's waiter window forward, waiting a few seconds for a
// waiter just started to show it; false when none shows.
inline bool BringWaiterForward(const std::wstring& stem) {
  for (int tries = 0; tries < 30; ++tries, ::Sleep(100)) {
    const HWND window = ::FindWindowW(WaiterWindowClass(stem).c_str(), nullptr);
    if (!window) continue;
    if (::IsIconic(window)) ::ShowWindow(window, SW_RESTORE);
    ::SetForegroundWindow(window);
    return true;
  }
  return false;
}

// The text of a box of the process `id` while one is open: its static text
// (control 0xFFFF), read through WM_GETTEXT, as for a window of another
// process. overlay tells why a copy stopped only there.
struct BoxOf {
  DWORD id;
  std::wstring text;  // the last one read
  bool open = false;  // one was found at the last look
};
inline BOOL CALLBACK ReadBoxOf(HWND window, LPARAM context) {
  auto* box = reinterpret_cast<BoxOf*>(context);
  DWORD owner = 0;
  wchar_t class_name[16] = L"";
  ::GetWindowThreadProcessId(window, &owner);
  const HWND text = owner == box->id && ::GetClassNameW(window, class_name, 16) &&
                            std::wcscmp(class_name, L"#32770") == 0
                        ? ::GetDlgItem(window, 0xFFFF)
                        : nullptr;
  DWORD_PTR length = 0, copied = 0;
  if (!text ||
      !::SendMessageTimeoutW(text, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 1000, &length)) {
    return TRUE;
  }
  std::wstring read(length + 1, L'\0');
  ::SendMessageTimeoutW(text, WM_GETTEXT, read.size(), reinterpret_cast<LPARAM>(&read[0]),
                        SMTO_ABORTIFHUNG, 1000, &copied);
  read.resize(copied);
  if (!read.empty()) box->text = read, box->open = true;
  return read.empty();
}

// What the window says while overlay runs.
inline std::wstring WaiterText(const std::wstring& game_name, bool box_open, bool launcher_listed) {
  return L"Updating " + game_name + L".\n" +
         (box_open          ? L"The update stopped: read its message and close it."
          : launcher_listed ? L"Waiting for the game's launcher to close."
                            : L"Copying the update.");
}

// What the waiter shows: its window and the list of the update's files its
// bar counts. Made before overlay copies (the launcher exits, and overlay
// copies, only once the waiter is idle), so that neither costs the copy time.
struct WaiterView {
  WaiterView(const std::wstring& game, const std::wstring& update)
      : game_name(GameName(game)), window(CopyStem(game), game_name), progress(update, game) {}
  std::wstring game_name;
  WaiterWindow window;
  CopyProgress progress;
};

// Watches overlay with the waiter's window until it ends, answering all the
// while (MsgWaitForMultipleObjects); twice a second it reads overlay's
// box and moves the bar. Returns what overlay's box said. `launcher_image`
// is the launcher's file name, for the phase.
inline BoxOf WatchOverlay(HANDLE overlay, WaiterView& view, const std::wstring& launcher_image) {
  // Every look costs the copy time, on the same CPU: one look a tick, twice
  // a second (a player reads a box for longer), and the process list once a
  // second and only until the launcher is gone (overlay waits for it before
  // it copies, never after).
  constexpr DWORD kTickMs = 500;
  BoxOf box{::GetProcessId(overlay), std::wstring(), false};
  bool launcher_listed = true;
  for (DWORD listed = ::GetTickCount() - 1000;;) {
    box.open = false;
    ::EnumWindows(ReadBoxOf, reinterpret_cast<LPARAM>(&box));
    if (launcher_listed && ::GetTickCount() - listed >= 1000) {
      listed = ::GetTickCount();
      launcher_listed = ProcessIsListed(
          [&](const wchar_t* name) { return _wcsicmp(name, launcher_image.c_str()) == 0; });
    }
    view.window.Show(WaiterText(view.game_name, box.open, launcher_listed),
                     view.progress.Advance());
    for (const DWORD tick = ::GetTickCount();;) {
      const DWORD waited = ::GetTickCount() - tick;  // read once: a second read could pass the tick
      if (waited >= kTickMs) break;
      const DWORD woke =
          ::MsgWaitForMultipleObjects(1, &overlay, FALSE, kTickMs - waited, QS_ALLINPUT);
      if (woke == WAIT_TIMEOUT) break;
      if (woke != WAIT_OBJECT_0 + 1) return box;  // ended, or cannot wait
      for (MSG message; ::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE);) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
      }
    }
  }
}

// The waiter's whole work (see StartWaiter): watches overlay with its window
// (WatchOverlay), then, the window closed, starts the launcher again with
// what it saw.
inline int WaitThenStartLauncher(const wchar_t* overlay_handle, const std::wstring& launcher,
                                 const wchar_t* runs, const wchar_t* cut_short) {
  const UniqueHandle overlay(reinterpret_cast<HANDLE>(
      static_cast<std::uintptr_t>(std::wcstoul(overlay_handle, nullptr, 10))));
  const std::size_t cut = launcher.find_last_of(L'\\');
  const std::wstring game = launcher.substr(0, cut);
  const BoxOf box = [&] {
    WaiterView view(game, game + L" update");
    return WatchOverlay(overlay.get(), view, launcher.substr(cut + 1));
  }();  // the window closes here, before the launcher starts again
  ::WaitForSingleObject(overlay.get(), INFINITE);
  return StartProgram(launcher, QuoteArgument(launcher) + L" " + kAfterRunFlag + L" " +
                                    std::to_wstring(std::wcstoul(runs, nullptr, 10)) + L" " +
                                    std::to_wstring(std::wcstoul(cut_short, nullptr, 10)) + L" " +
                                    QuoteArgument(box.text))
             ? 0
             : 1;
}
