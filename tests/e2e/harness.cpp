#include "e2e/harness.h"

#include <commctrl.h>
#include <wininet.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>

#include "base/gbk_text.h"
#include "base/wide_text_win.h"
#include "e2e/wizard_texts.h"
#include "files/system_path_win.h"

namespace e2e {

namespace {

void CloseInternet(HINTERNET h) { InternetCloseHandle(h); }
using UniqueInternet = base::UniqueHandle<HINTERNET, CloseInternet>;

void DeleteDc(HDC dc) { DeleteDC(dc); }
using UniqueMemoryDc = base::UniqueHandle<HDC, DeleteDc>;

// The screen's device context, given back on destruction.
class ScreenDc {
 public:
  ScreenDc() : dc_(GetDC(nullptr)) {}
  ~ScreenDc() {
    if (dc_) ReleaseDC(nullptr, dc_);
  }
  ScreenDc(const ScreenDc&) = delete;
  ScreenDc& operator=(const ScreenDc&) = delete;
  HDC get() const { return dc_; }

 private:
  HDC dc_;
};

// Memory inside another process, for the messages whose pointers the system
// does not carry across processes (list-view items).
class RemoteMemory {
 public:
  RemoteMemory(HANDLE process, size_t size)
      : process_(process),
        address_(VirtualAllocEx(process, nullptr, size, MEM_COMMIT | MEM_RESERVE,
                                PAGE_READWRITE)) {}
  ~RemoteMemory() {
    if (address_) VirtualFreeEx(process_, address_, 0, MEM_RELEASE);
  }
  RemoteMemory(const RemoteMemory&) = delete;
  RemoteMemory& operator=(const RemoteMemory&) = delete;
  void* get() const { return address_; }
  char* at(size_t offset) const { return static_cast<char*>(address_) + offset; }

 private:
  HANDLE process_;
  void* address_;
};

constexpr UINT kMessageTimeoutMs = 5000;
std::atomic<int> unique_counter{0};

// A message to a window of another process that cannot hang the test.
LRESULT Send(HWND window, UINT message, WPARAM wparam = 0, LPARAM lparam = 0) {
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutW(window, message, wparam, lparam, SMTO_ABORTIFHUNG,
                           kMessageTimeoutMs, &result)) {
    return 0;
  }
  return static_cast<LRESULT>(result);
}

std::string UniqueSuffix() {
  return std::to_string(GetCurrentProcessId()) + "-" +
         std::to_string(GetTickCount()) + "-" + std::to_string(++unique_counter);
}

DWORD WindowProcessId(HWND window) {
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  return pid;
}

struct TopLevelSearch {
  DWORD pid;
  const char* class_name;
  bool visible_only;
  HWND found;
};

BOOL CALLBACK MatchTopLevel(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<TopLevelSearch*>(param);
  if (WindowProcessId(window) != search->pid) return TRUE;
  if (ClassName(window) != search->class_name) return TRUE;
  if (search->visible_only && !IsWindowVisible(window)) return TRUE;
  search->found = window;
  return FALSE;
}

HWND FindTopLevel(DWORD pid, const char* class_name, bool visible_only) {
  TopLevelSearch search{pid, class_name, visible_only, nullptr};
  EnumWindows(MatchTopLevel, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

BOOL CALLBACK CollectWindow(HWND window, LPARAM param) {
  reinterpret_cast<std::vector<HWND>*>(param)->push_back(window);
  return TRUE;
}

bool IsCheckable(HWND button) {
  switch (GetWindowLongW(button, GWL_STYLE) & BS_TYPEMASK) {
    case BS_CHECKBOX:
    case BS_AUTOCHECKBOX:
    case BS_RADIOBUTTON:
    case BS_AUTORADIOBUTTON:
    case BS_3STATE:
    case BS_AUTO3STATE:
      return true;
    default:
      return false;
  }
}

std::vector<Item> ComboItems(HWND combo) {
  std::vector<Item> items;
  const LRESULT count = Send(combo, CB_GETCOUNT);
  for (LRESULT i = 0; i < count; ++i) {
    const LRESULT length = Send(combo, CB_GETLBTEXTLEN, i);
    std::wstring text(length > 0 ? length + 1 : 1, L'\0');
    const LRESULT copied =
        Send(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text.data()));
    text.resize(copied > 0 ? copied : 0);
    Item item;
    item.text = base::GbkFromWide(text);
    item.data = Send(combo, CB_GETITEMDATA, i);
    items.push_back(std::move(item));
  }
  return items;
}

std::vector<Item> ListViewRows(HWND list) {
  std::vector<Item> rows;
  const int count = static_cast<int>(Send(list, LVM_GETITEMCOUNT));
  HWND header = reinterpret_cast<HWND>(Send(list, LVM_GETHEADER));
  const int columns = std::max(1, static_cast<int>(Send(header, HDM_GETITEMCOUNT)));
  base::UniqueKernelHandle process(OpenProcess(
      PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE,
      WindowProcessId(list)));
  if (!process || count <= 0) return rows;
  constexpr size_t kTextChars = 1024;
  RemoteMemory remote(process.get(), sizeof(LVITEMW) + kTextChars * sizeof(wchar_t));
  if (!remote.get()) return rows;
  for (int row = 0; row < count; ++row) {
    Item item;
    for (int column = 0; column < columns; ++column) {
      LVITEMW request{};
      request.iSubItem = column;
      request.cchTextMax = kTextChars;
      request.pszText = reinterpret_cast<LPWSTR>(remote.at(sizeof(LVITEMW)));
      std::wstring text(kTextChars, L'\0');
      if (!WriteProcessMemory(process.get(), remote.get(), &request,
                              sizeof(request), nullptr)) {
        return rows;
      }
      const LRESULT length = Send(list, LVM_GETITEMTEXTW, row,
                                  reinterpret_cast<LPARAM>(remote.get()));
      if (length > 0 &&
          ReadProcessMemory(process.get(), remote.at(sizeof(LVITEMW)), text.data(),
                            kTextChars * sizeof(wchar_t), nullptr)) {
        text.resize(std::min<size_t>(length, kTextChars - 1));
      } else {
        text.clear();
      }
      item.cells.push_back(base::GbkFromWide(text));
    }
    item.text = item.cells.front();
    rows.push_back(std::move(item));
  }
  return rows;
}

std::string PanelTextAbove(HWND window) {
  for (HWND up = GetAncestor(window, GA_PARENT); up; up = GetAncestor(up, GA_PARENT)) {
    if (ClassName(up) == "ScPanel") return WindowText(up);
    if (up == GetDesktopWindow()) break;
  }
  return "";
}

bool CreateFolders(const std::string& path) {
  for (size_t at = path.find('\\', 3); at != std::string::npos;
       at = path.find('\\', at + 1)) {
    CreateDirectoryA(path.substr(0, at).c_str(), nullptr);
  }
  CreateDirectoryA(path.c_str(), nullptr);
  return GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY;
}

// Through the W functions in the "\\?\" form, so that folders with names
// of any code page and paths beyond MAX_PATH go too.
void RemoveTree(const std::string& folder) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(files::SystemPath(folder + "\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::string path = folder + "\\" + base::GbkFromWide(name);
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(path);
      } else {
        SetFileAttributesW(files::SystemPath(path).c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(files::SystemPath(path).c_str());
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  RemoveDirectoryW(files::SystemPath(folder).c_str());
}

// A file that a process just ended may still hold for a moment.
void DeleteWithRetry(const std::string& path) {
  const std::wstring wide = files::SystemPath(path);
  for (int i = 0; i < 40 && !DeleteFileW(wide.c_str()) &&
                  GetFileAttributesW(wide.c_str()) != INVALID_FILE_ATTRIBUTES;
       ++i) {
    Sleep(50);
  }
}

}  // namespace

std::string EnvironmentText(const char* name) {
  char buffer[2048];
  const DWORD length = GetEnvironmentVariableA(name, buffer, sizeof(buffer));
  return length > 0 && length < sizeof(buffer) ? std::string(buffer, length) : "";
}

std::string WindowsPathOf(std::string_view path) {
  if (path.empty() || path.front() != '/') return std::string(path);
  std::string windows = "Z:";
  windows.append(path);
  std::replace(windows.begin(), windows.end(), '/', '\\');
  return windows;
}

std::string OwnFolder() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder = path;
  return folder.substr(0, folder.rfind('\\') + 1);
}

bool WaitUntil(const std::function<bool()>& condition, int timeout_ms) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    Sleep(50);
  }
  return true;
}

// ---------------------------------------------------------------------------
// TestServer

TestServer::~TestServer() { Quit(); }

bool TestServer::Start(const std::string& server, const std::string& root,
                       int lifetime_s) {
  port_file_ = "/tmp/updater-e2e-" + UniqueSuffix() + ".port";
  const std::string port_file_windows = WindowsPathOf(port_file_);
  DeleteFileA(port_file_windows.c_str());
  std::string command = WindowsPathOf(server) + " --root " + root +
                        " --port-file " + port_file_ + " --lifetime " +
                        std::to_string(lifetime_s);
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0,
                      nullptr, nullptr, &startup, &info)) {
    return false;
  }
  // A host program: the handles (if Wine gives any) are not needed.
  base::UniqueKernelHandle process(info.hProcess), thread(info.hThread);
  return WaitUntil(
      [&] {
        std::ifstream in(port_file_windows);
        int port = 0;
        if (!(in >> port) || port <= 0) return false;
        port_ = port;
        return true;
      },
      10000);
}

std::string TestServer::Url(std::string_view path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

bool TestServer::Control(std::string_view request, std::string* body) const {
  if (port_ <= 0) return false;
  UniqueInternet session(
      InternetOpenA("e2e", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
  if (!session) return false;
  DWORD timeout = 10000;
  InternetSetOptionA(session.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout,
                     sizeof(timeout));
  const std::string url = Url("/_control/" + std::string(request));
  UniqueInternet connection(InternetOpenUrlA(
      session.get(), url.c_str(), nullptr, 0,
      INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
          INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_NO_UI,
      0));
  if (!connection) return false;
  DWORD status = 0, size = sizeof(status);
  if (!HttpQueryInfoA(connection.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER,
                      &status, &size, nullptr)) {
    return false;
  }
  std::string text;
  char buffer[4096];
  DWORD read = 0;
  while (InternetReadFile(connection.get(), buffer, sizeof(buffer), &read) && read > 0) {
    text.append(buffer, read);
  }
  if (body) *body = text;
  return status == 200;
}

int TestServer::Hits(std::string_view path) const {
  std::string body;
  if (!Control("hits?path=" + std::string(path), &body)) return -1;
  return std::atoi(body.c_str());
}

void TestServer::Quit() {
  if (port_ > 0) Control("quit");
  port_ = 0;
  if (!port_file_.empty()) DeleteFileA(WindowsPathOf(port_file_).c_str());
  port_file_.clear();
}

// ---------------------------------------------------------------------------
// ProgramFolder

ProgramFolder::~ProgramFolder() {
  if (!exe_.empty()) DeleteWithRetry(exe_);
  if (owns_folder_) RemoveTree(root_);
}

bool ProgramFolder::Create(const std::string& updater_exe, Where where,
                           std::string_view subfolder, size_t length) {
  if (where == Where::kTemporary) {
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, temp);
    root_ = base::GbkFromWide(temp) + "updater-e2e-" + UniqueSuffix();
    owns_folder_ = CreateDirectoryW(files::SystemPath(root_).c_str(), nullptr) != 0;
    if (!owns_folder_) return false;
    path_ = root_ + "\\";
    std::string rest(subfolder);
    if (length > 0) {
      // Levels of nine characters, the last one cut to fit.
      const auto characters = [&] { return base::WideFromGbk(path_ + rest).size(); };
      if (!rest.empty()) rest += "\\";
      while (length > characters() + 10) rest += "ddddddddd\\";
      if (length > characters()) rest += std::string(length - characters(), 'd') + "\\";
      if (!rest.empty()) rest.pop_back();
    }
    for (size_t start = 0; start < rest.size();) {
      const size_t end = std::min(rest.find('\\', start), rest.size());
      path_ += rest.substr(start, end - start) + "\\";
      if (!CreateDirectoryW(files::SystemPath(path_).c_str(), nullptr)) return false;
      start = end + 1;
    }
  } else {
    path_ = OwnFolder();
  }
  exe_ = path_ + "Update.exe";
  return CopyFileW(base::WideFromGbk(WindowsPathOf(updater_exe)).c_str(),
                   files::SystemPath(exe_).c_str(), FALSE) != 0;
}

// ---------------------------------------------------------------------------
// Windows and controls

std::string WindowText(HWND window) {
  const LRESULT length = Send(window, WM_GETTEXTLENGTH);
  std::wstring text(length > 0 ? length + 1 : 1, L'\0');
  const LRESULT copied = Send(window, WM_GETTEXT, text.size(),
                              reinterpret_cast<LPARAM>(text.data()));
  text.resize(copied > 0 ? std::min<size_t>(copied, text.size() - 1) : 0);
  return base::GbkFromWide(text);
}

std::string ClassName(HWND window) {
  wchar_t name[256] = {};
  const int length = GetClassNameW(window, name, 256);
  return base::GbkFromWide(std::wstring_view(name, length > 0 ? length : 0));
}

SIZE ClientSize(HWND window) {
  RECT client{};
  GetClientRect(window, &client);
  return SIZE{client.right - client.left, client.bottom - client.top};
}

std::vector<Control> ReadControls(HWND top) {
  std::vector<HWND> windows;
  if (!top) return {};
  EnumChildWindows(top, CollectWindow, reinterpret_cast<LPARAM>(&windows));
  std::vector<Control> controls;
  for (HWND window : windows) {
    Control c;
    c.hwnd = window;
    c.parent = GetAncestor(window, GA_PARENT);
    c.class_name = ClassName(window);
    c.text = WindowText(window);
    c.page = PanelTextAbove(window);
    c.id = GetDlgCtrlID(window);
    c.visible = IsWindowVisible(window) != 0;
    c.enabled = IsWindowEnabled(window) != 0;
    GetWindowRect(window, &c.rect);
    MapWindowPoints(nullptr, c.parent, reinterpret_cast<POINT*>(&c.rect), 2);
    if (c.class_name == "Button" && IsCheckable(window)) {
      c.checked = static_cast<int>(Send(window, BM_GETCHECK));
    } else if (c.class_name == "ComboBox") {
      c.selected = static_cast<int>(Send(window, CB_GETCURSEL));
      c.items = ComboItems(window);
    } else if (c.class_name == "SysListView32") {
      c.items = ListViewRows(window);
    }
    controls.push_back(std::move(c));
  }
  return controls;
}

const Control* FindControl(const std::vector<Control>& controls,
                           const std::function<bool(const Control&)>& match) {
  for (const Control& c : controls) {
    if (match(c)) return &c;
  }
  return nullptr;
}

const Control* FindByText(const std::vector<Control>& controls,
                          std::string_view class_name, std::string_view text) {
  return FindControl(controls, [&](const Control& c) {
    return c.class_name == class_name && c.text == text;
  });
}

const Control* FindOnPage(const std::vector<Control>& controls,
                          std::string_view page, std::string_view class_name) {
  return FindControl(controls, [&](const Control& c) {
    return c.page == page && c.class_name == class_name;
  });
}

std::string VisiblePage(const std::vector<Control>& controls) {
  // The panels lie on one another; the lowest page shown is the current one.
  static const char* const kPageOrder[] = {"读取配置", "选择服务器", "更新内容",
                                           "下载文件", "更新完成,"};
  for (const char* page : kPageOrder) {
    const Control* panel = FindControl(controls, [&](const Control& c) {
      return c.class_name == "ScPanel" && c.text == page && c.visible;
    });
    if (panel) return page;
  }
  return "";
}

bool Click(HWND control) {
  if (!IsWindowVisible(control) || !IsWindowEnabled(control)) return false;
  RECT client{};
  GetClientRect(control, &client);
  const LPARAM centre = MAKELPARAM((client.right - client.left) / 2,
                                   (client.bottom - client.top) / 2);
  return PostMessageW(control, WM_MOUSEMOVE, 0, centre) &&
         PostMessageW(control, WM_LBUTTONDOWN, MK_LBUTTON, centre) &&
         PostMessageW(control, WM_LBUTTONUP, 0, centre);
}

bool PressKey(HWND control, WORD virtual_key, wchar_t ch) {
  const UINT scan = MapVirtualKeyW(virtual_key, MAPVK_VK_TO_VSC);
  const LPARAM down = 1 | (static_cast<LPARAM>(scan) << 16);
  const LPARAM up = down | (1 << 30) | (1u << 31);
  return PostMessageW(control, WM_KEYDOWN, virtual_key, down) &&
         (ch == 0 || PostMessageW(control, WM_CHAR, ch, down)) &&
         PostMessageW(control, WM_KEYUP, virtual_key, up);
}

bool SaveScreenshot(HWND window, const std::string& name) {
  const std::string folder = WindowsPathOf(EnvironmentText("UPDATER_ARTIFACTS"));
  if (folder.empty() || !CreateFolders(folder)) return false;
  RECT area{};
  if (!GetWindowRect(window, &area)) return false;
  const int width = area.right - area.left, height = area.bottom - area.top;
  if (width <= 0 || height <= 0) return false;

  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;  // bottom-up rows, as a BMP file keeps them
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biCompression = BI_RGB;
  const DWORD stride = (width * 3 + 3) & ~3u;
  info.bmiHeader.biSizeImage = stride * height;

  ScreenDc screen;
  UniqueMemoryDc memory(CreateCompatibleDC(screen.get()));
  void* bits = nullptr;
  base::UniqueBitmap bitmap(
      CreateDIBSection(screen.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
  if (!screen.get() || !memory || !bitmap || !bits) return false;
  HGDIOBJ previous = SelectObject(memory.get(), bitmap.get());
  const bool copied = BitBlt(memory.get(), 0, 0, width, height, screen.get(),
                             area.left, area.top, SRCCOPY | CAPTUREBLT) != 0;
  GdiFlush();
  SelectObject(memory.get(), previous);
  if (!copied) return false;

  BITMAPFILEHEADER file{};
  file.bfType = 0x4D42;  // "BM"
  file.bfOffBits = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
  file.bfSize = file.bfOffBits + info.bmiHeader.biSizeImage;
  std::string safe = name;
  for (char& ch : safe) {
    if (std::string_view("\\/:*?\"<>|").find(ch) != std::string_view::npos) ch = '_';
  }
  std::ofstream out(folder + "\\" + safe + ".bmp", std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(&file), sizeof(file));
  out.write(reinterpret_cast<const char*>(&info.bmiHeader), sizeof(BITMAPINFOHEADER));
  out.write(static_cast<const char*>(bits), info.bmiHeader.biSizeImage);
  return static_cast<bool>(out);
}

MessageBoxText ReadMessageBox(HWND box) {
  MessageBoxText result;
  result.title = WindowText(box);
  // The longest static text is the message; the others are icons or empty.
  for (const Control& c : ReadControls(box)) {
    if (c.class_name == "Static" && c.text.size() > result.text.size()) {
      result.text = c.text;
    }
  }
  return result;
}

bool PressDefaultButton(HWND box) {
  const LRESULT def = Send(box, DM_GETDEFID);
  const int id = HIWORD(def) == DC_HASDEFID ? LOWORD(def) : IDOK;
  HWND button = GetDlgItem(box, id);
  if (button && Click(button)) return true;
  return PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                      reinterpret_cast<LPARAM>(button));
}

// ---------------------------------------------------------------------------
// Updater

Updater::~Updater() {
  Kill();
  if (debugger_.joinable()) debugger_.join();
}

void Updater::Reset() {
  Kill();
  if (debugger_.joinable()) debugger_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  process_.reset();
  pid_ = 0;
  started_ = ended_ = false;
  traces_.clear();
  crashes_.clear();
  exit_code_.reset();
}

bool Updater::Start(const std::string& exe, const std::string& arguments) {
  return Start(base::WideFromGbk(exe), base::WideFromGbk(arguments));
}

bool Updater::Start(const std::wstring& exe, const std::wstring& arguments) {
  if (debugger_.joinable()) return false;
  std::wstring command = L"\"" + exe + L"\"";
  if (!arguments.empty()) command += L" " + arguments;
  const std::wstring folder = exe.substr(0, exe.rfind(L'\\') + 1);
  debugger_ = std::thread(&Updater::DebugLoop, this, command, folder);
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return started_; });
  return process_.valid();
}

// The thread that creates a debugged process is the one that must receive
// its debug events, so creation and the loop share this thread. Nothing here
// throws; every outcome is written to the members under the lock.
void Updater::DebugLoop(std::wstring command_line, std::wstring folder) {
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  const bool created =
      CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, FALSE,
                     DEBUG_ONLY_THIS_PROCESS, nullptr, folder.c_str(), &startup,
                     &info) != 0;
  base::UniqueKernelHandle thread(info.hThread);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    started_ = true;
    ended_ = !created;
    if (created) {
      process_.reset(info.hProcess);
      pid_ = info.dwProcessId;
    }
  }
  changed_.notify_all();
  if (!created) return;

  bool exited = false;
  while (!exited) {
    DEBUG_EVENT event{};
    if (!WaitForDebugEvent(&event, 200)) continue;
    DWORD status = DBG_CONTINUE;
    switch (event.dwDebugEventCode) {
      case CREATE_PROCESS_DEBUG_EVENT:
        // The process and thread handles of this event belong to the system.
        if (event.u.CreateProcessInfo.hFile) CloseHandle(event.u.CreateProcessInfo.hFile);
        break;
      case LOAD_DLL_DEBUG_EVENT:
        if (event.u.LoadDll.hFile) CloseHandle(event.u.LoadDll.hFile);
        break;
      case OUTPUT_DEBUG_STRING_EVENT:
        OnDebugString(event.u.DebugString);
        break;
      case EXCEPTION_DEBUG_EVENT: {
        const EXCEPTION_RECORD& record = event.u.Exception.ExceptionRecord;
        if (record.ExceptionCode == EXCEPTION_BREAKPOINT) break;
        status = DBG_EXCEPTION_NOT_HANDLED;
        if (!event.u.Exception.dwFirstChance) {
          char text[64];
          std::snprintf(text, sizeof(text), "%08lX at %p", record.ExceptionCode,
                        record.ExceptionAddress);
          std::lock_guard<std::mutex> lock(mutex_);
          crashes_.push_back(text);
        }
        break;
      }
      case EXIT_PROCESS_DEBUG_EVENT: {
        std::lock_guard<std::mutex> lock(mutex_);
        exit_code_ = event.u.ExitProcess.dwExitCode;
        exited = true;
        break;
      }
      default:
        break;
    }
    ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ended_ = true;
  }
  changed_.notify_all();
}

void Updater::OnDebugString(const OUTPUT_DEBUG_STRING_INFO& info) {
  const size_t units = info.nDebugStringLength;
  const size_t unit_size = info.fUnicode ? sizeof(wchar_t) : 1;
  std::string bytes(units * unit_size, '\0');
  SIZE_T read = 0;
  if (units == 0 || !ReadProcessMemory(process_.get(), info.lpDebugStringData,
                                       bytes.data(), bytes.size(), &read)) {
    return;
  }
  bytes.resize(read);
  std::string line;
  if (info.fUnicode) {
    std::wstring wide(reinterpret_cast<const wchar_t*>(bytes.data()),
                      bytes.size() / sizeof(wchar_t));
    line = base::GbkFromWide(wide.substr(0, wide.find(L'\0')));
  } else {
    line = bytes.substr(0, bytes.find('\0'));
  }
  if (trace_hook_) trace_hook_(line);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    traces_.push_back(std::move(line));
  }
  changed_.notify_all();
}

std::vector<std::string> Updater::Traces() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return traces_;
}

bool Updater::HasTrace(std::string_view line) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::find(traces_.begin(), traces_.end(), line) != traces_.end();
}

bool Updater::WaitForTrace(std::string_view line, int timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    return std::find(traces_.begin(), traces_.end(), line) != traces_.end();
  });
}

bool Updater::WaitForTraceStartingWith(std::string_view start, std::string* line,
                                       int timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    for (const std::string& trace : traces_) {
      if (trace.compare(0, start.size(), start) == 0) {
        if (line) *line = trace;
        return true;
      }
    }
    return false;
  });
}

HWND Updater::MainWindow() const {
  return pid_ ? FindTopLevel(pid_, "ScWindow", false) : nullptr;
}

HWND Updater::WaitForMainWindow(int timeout_ms) const {
  HWND found = nullptr;
  WaitUntil(
      [&] {
        found = MainWindow();
        return found && IsWindowVisible(found);
      },
      timeout_ms);
  return found && IsWindowVisible(found) ? found : nullptr;
}

HWND Updater::MessageBoxWindow() const {
  return pid_ ? FindTopLevel(pid_, "#32770", true) : nullptr;
}

HWND Updater::WaitForMessageBox(int timeout_ms) const {
  HWND found = nullptr;
  WaitUntil([&] { return (found = MessageBoxWindow()) != nullptr; }, timeout_ms);
  return found;
}

bool Updater::running() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return started_ && !ended_;
}

std::optional<DWORD> Updater::exit_code() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return exit_code_;
}

std::optional<DWORD> Updater::WaitForExit(int timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                    [this] { return !started_ || ended_; });
  return exit_code_;
}

std::vector<std::string> Updater::Crashes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return crashes_;
}

void Updater::Kill() {
  if (!running()) return;
  TerminateProcess(process_.get(), 1);
  WaitForExit(10000);
}

// ---------------------------------------------------------------------------
// UpdaterTest

void UpdaterTest::SetUp() {
  const std::string exe = EnvironmentText("UPDATER_EXE");
  const std::string server = EnvironmentText("UPDATER_TEST_SERVER");
  const std::string fixtures = EnvironmentText("UPDATER_FIXTURES");
  ASSERT_FALSE(exe.empty() || server.empty() || fixtures.empty())
      << "UPDATER_EXE, UPDATER_TEST_SERVER and UPDATER_FIXTURES must be set";
  ASSERT_TRUE(server_.Start(server, fixtures)) << "test server " << server;
  ASSERT_TRUE(folder_.Create(exe, ProgramFolder::Where::kTemporary))
      << "copy of " << exe;
}

void UpdaterTest::TearDown() {
  const std::vector<std::string> crashes = updater_.Crashes();
  EXPECT_TRUE(crashes.empty()) << "unhandled exception " << crashes.front();
  updater_.Kill();
  server_.Quit();
}

bool UpdaterTest::StartUpdater(const std::string& arguments,
                               const ProgramFolder* folder) {
  return updater_.Start((folder ? *folder : folder_).exe(), arguments);
}

std::string UpdaterTest::Arguments(std::string_view config_path,
                                   std::string_view local_version) const {
  return server_.Url(config_path) + " " + std::string(local_version);
}

std::vector<Control> UpdaterTest::Controls() const {
  return ReadControls(main_window_);
}

void UpdaterTest::Screenshot(HWND window, std::string_view step) const {
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(test->test_suite_name()) + "." + test->name();
  name += "-";
  name += step;
  // Let the last changes reach the screen before it is copied.
  RedrawWindow(window, nullptr, nullptr,
               RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
  Sleep(300);
  EXPECT_TRUE(SaveScreenshot(window, name)) << "screenshot " << name;
}

std::string UpdaterTest::DescribeState() const {
  std::string text = "\n  page: " + base::Utf8FromGbk(VisiblePage(Controls()));
  for (const Control& c : Controls()) {
    if (!c.visible || c.text.empty()) continue;
    text += "\n  " + c.class_name + " \"" + base::Utf8FromGbk(c.text) + "\"";
    if (!c.enabled) text += " (disabled)";
  }
  for (const std::string& line : updater_.Traces()) {
    text += "\n  trace " + base::Utf8FromGbk(line);
  }
  return text;
}

bool UpdaterTest::WaitForText(std::string_view text, int timeout_ms) {
  return WaitUntil(
      [&] {
        const std::vector<Control> controls = Controls();
        return FindByText(controls, "Static", text) != nullptr;
      },
      timeout_ms);
}

bool UpdaterTest::PassServerPage(std::string_view status, int timeout_ms) {
  return WaitForPage(kServerPage, timeout_ms) && ClickMainButtonWhenEnabled(main_window_, kNext, timeout_ms) &&
         WaitForPage(kContentPage, timeout_ms) && WaitForText(status, timeout_ms);
}

bool UpdaterTest::WaitForPage(std::string_view page, int timeout_ms) {
  if (!main_window_) main_window_ = updater_.WaitForMainWindow(timeout_ms);
  return main_window_ &&
         WaitUntil([&] { return VisiblePage(Controls()) == page; }, timeout_ms);
}

// ---------------------------------------------------------------------------
// Host programs

bool StartHostProgram(const std::string& unix_path, const std::string& arguments) {
  std::string command = "\"" + WindowsPathOf(unix_path) + "\"";
  if (!arguments.empty()) command += " " + arguments;
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &info)) {
    return false;
  }
  base::UniqueKernelHandle process(info.hProcess), thread(info.hThread);
  return true;
}

const Control* FindMainButton(const std::vector<Control>& controls, std::string_view caption) {
  return FindControl(controls, [&](const Control& c) {
    return c.page.empty() && c.class_name == "Button" && c.text == caption;
  });
}

bool ClickMainButtonWhenEnabled(HWND top, std::string_view caption, int timeout_ms) {
  HWND button = nullptr;
  const bool ready = WaitUntil(
      [&] {
        const std::vector<Control> controls = ReadControls(top);
        const Control* found = FindMainButton(controls, caption);
        button = found && found->enabled && found->visible ? found->hwnd : nullptr;
        return button != nullptr;
      },
      timeout_ms);
  return ready && Click(button);
}

}  // namespace e2e
