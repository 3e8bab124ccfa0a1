#pragma once
// Drives the updater executable from outside, as a user and its main program
// would: starts it under a debugger to read its trace, reads and clicks its
// controls, answers its message boxes and photographs its window. The test
// HTTP server (a host program) stands in for the update server.
//
// Every text handed out is GBK bytes, like the updater's own texts.
#include <windows.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "base/unique_handle_win.h"

namespace e2e {

inline constexpr char kTracePrefix[] = "VIRarazo:";
inline constexpr int kDefaultTimeoutMs = 20000;

// An environment variable of the test run; "" when unset.
std::string EnvironmentText(const char* name);
// A host path ("/a/b") in the form Wine gives it ("Z:\a\b"); other paths as
// they are.
std::string WindowsPathOf(std::string_view path);
// Folder of the running test executable, with a trailing backslash.
std::string OwnFolder();

// Polls `condition` every 50 ms until it holds or the time is up.
bool WaitUntil(const std::function<bool()>& condition,
               int timeout_ms = kDefaultTimeoutMs);

// The host HTTP server, started as a child and ended in the destructor.
class TestServer {
 public:
  TestServer() = default;
  ~TestServer();
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;

  // Starts `server` (a host path) serving the host folder `root`; waits for
  // it to report its port.
  bool Start(const std::string& server, const std::string& root,
             int lifetime_s = 600);
  int port() const { return port_; }
  // "http://127.0.0.1:<port>" + path.
  std::string Url(std::string_view path) const;
  // GET /_control/<request>; true on status 200. `body` receives the answer.
  bool Control(std::string_view request, std::string* body = nullptr) const;
  // Requests of `path` since start, reset or the last rule set for it; -1
  // when the server cannot be asked.
  int Hits(std::string_view path) const;
  void Quit();

 private:
  int port_ = 0;
  std::string port_file_;
};

// A folder holding a copy of the updater, removed again in the destructor:
// a fresh temporary folder, or (for the parent-folder check) the test
// executable's own folder, where only the copy is removed.
class ProgramFolder {
 public:
  enum class Where { kTemporary, kBesideTests };
  ProgramFolder() = default;
  ~ProgramFolder();
  ProgramFolder(const ProgramFolder&) = delete;
  ProgramFolder& operator=(const ProgramFolder&) = delete;

  // A temporary folder is the program folder itself, or holds it as
  // `subfolder` (a name, "\\" allowed between levels); a `length` other than 0
  // adds levels until the program folder's path, without its last backslash,
  // is that many characters long.
  bool Create(const std::string& updater_exe, Where where,
              std::string_view subfolder = "", size_t length = 0);
  // With a trailing backslash.
  const std::string& path() const { return path_; }
  const std::string& exe() const { return exe_; }

 private:
  std::string root_;  // the temporary folder, removed as a whole
  std::string path_;
  std::string exe_;
  bool owns_folder_ = false;
};

struct Item {
  std::string text;                // combo item text, list-view column 0
  intptr_t data = 0;               // combo item data
  std::vector<std::string> cells;  // list view: every column of the row
};

// One control as a snapshot: reading it again gives the current state.
struct Control {
  HWND hwnd = nullptr;
  HWND parent = nullptr;
  std::string class_name;
  std::string text;
  std::string page;  // window text of the enclosing "ScPanel", "" outside
  int id = 0;
  bool visible = false;  // IsWindowVisible: the control and its ancestors
  bool enabled = false;
  RECT rect{};        // in the parent's client coordinates
  int checked = -1;   // buttons: BST_UNCHECKED/CHECKED; -1 otherwise
  int selected = -1;  // combo box: current selection
  std::vector<Item> items;  // combo box items, list-view rows
};

struct MessageBoxText {
  std::string title;
  std::string text;
};

// The window text of any window, GBK.
std::string WindowText(HWND window);
std::string ClassName(HWND window);
SIZE ClientSize(HWND window);

// Every descendant control of `top`, in the order the system enumerates them.
std::vector<Control> ReadControls(HWND top);

// Finds the first control that matches; nullptr when there is none.
const Control* FindControl(const std::vector<Control>& controls,
                           const std::function<bool(const Control&)>& match);
const Control* FindByText(const std::vector<Control>& controls,
                          std::string_view class_name, std::string_view text);
// First control of the class on the page ("" for the main window's own).
const Control* FindOnPage(const std::vector<Control>& controls,
                          std::string_view page, std::string_view class_name);
// The results point into the snapshot, which must outlive them.
const Control* FindControl(std::vector<Control>&&,
                           const std::function<bool(const Control&)>&) = delete;
const Control* FindByText(std::vector<Control>&&, std::string_view,
                          std::string_view) = delete;
const Control* FindOnPage(std::vector<Control>&&, std::string_view,
                          std::string_view) = delete;
// The page whose panel is shown, "" when none is.
std::string VisiblePage(const std::vector<Control>& controls);

// A click the way the mouse gives it: button down and up at the centre.
// Refuses (false) a hidden or disabled control, which no mouse could click.
bool Click(HWND control);
// Key down, character (when `ch` is not 0) and key up, posted to `control`.
bool PressKey(HWND control, WORD virtual_key, wchar_t ch = 0);

// Saves the screen area of `window` as <artifacts>/<name>.bmp (24 bits).
bool SaveScreenshot(HWND window, const std::string& name);

// The updater as a debugged child process. A dedicated thread creates it and
// runs the debug loop; trace lines are gathered as they arrive.
class Updater {
 public:
  Updater() = default;
  ~Updater();  // ends the process if it still runs
  Updater(const Updater&) = delete;
  Updater& operator=(const Updater&) = delete;

  // Runs `"<exe>" <arguments>` in the exe's folder. `arguments` is the
  // command line's tail, quoted as the caller wishes.
  bool Start(const std::string& exe, const std::string& arguments);
  // The same in UTF-16, for a folder whose name GBK cannot hold.
  bool Start(const std::wstring& exe, const std::wstring& arguments);
  // Ends the process if it still runs and forgets it, so that Start may run
  // the program again (a user who starts it a second time).
  void Reset();
  DWORD pid() const { return pid_; }
  // Called on the debugger's thread with every trace line (GBK, the prefix
  // included) while the updater waits at that line, so that the hook can end
  // it at exactly that point. Set before Start.
  void SetTraceHook(std::function<void(const std::string&)> hook) { trace_hook_ = std::move(hook); }

  std::vector<std::string> Traces() const;
  bool HasTrace(std::string_view line) const;
  // Waits for a trace line equal to `line` (the prefix included).
  bool WaitForTrace(std::string_view line, int timeout_ms = kDefaultTimeoutMs);
  // Waits for one starting with `start`; `line` receives it.
  bool WaitForTraceStartingWith(std::string_view start, std::string* line,
                                int timeout_ms = kDefaultTimeoutMs);

  // Top-level window of class "ScWindow" of the process, or nullptr.
  HWND MainWindow() const;
  HWND WaitForMainWindow(int timeout_ms = kDefaultTimeoutMs) const;
  // A dialog (class "#32770") of the process, or nullptr.
  HWND MessageBoxWindow() const;
  HWND WaitForMessageBox(int timeout_ms = kDefaultTimeoutMs) const;

  bool running() const;
  // The exit code once the process has ended.
  std::optional<DWORD> exit_code() const;
  std::optional<DWORD> WaitForExit(int timeout_ms = kDefaultTimeoutMs);
  // Exceptions the process did not handle, as "code at address" texts.
  std::vector<std::string> Crashes() const;
  void Kill();

 private:
  void DebugLoop(std::wstring command_line, std::wstring folder);
  void OnDebugString(const OUTPUT_DEBUG_STRING_INFO& info);

  std::thread debugger_;
  std::function<void(const std::string&)> trace_hook_;
  base::UniqueKernelHandle process_;  // our own duplicate, valid to the end
  DWORD pid_ = 0;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool started_ = false;  // the debug thread has tried to create the process
  bool ended_ = false;
  std::vector<std::string> traces_;
  std::vector<std::string> crashes_;
  std::optional<DWORD> exit_code_;
};

MessageBoxText ReadMessageBox(HWND box);
// Presses the box's default button (OK for a one-button box).
bool PressDefaultButton(HWND box);

// Base fixture: a test server on the fixture documents, a program folder
// with a copy of the updater, and the updater itself, all ended in TearDown.
class UpdaterTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts the updater from `folder` (the default program folder when null).
  bool StartUpdater(const std::string& arguments,
                    const ProgramFolder* folder = nullptr);
  // The command-line tail of an ordinary run: the document at `config_path`
  // on the test server and the installed version.
  std::string Arguments(std::string_view config_path,
                        std::string_view local_version = "1.0") const;
  // Snapshot of the main window's controls; empty without a window.
  std::vector<Control> Controls() const;
  // Saves a screenshot named after the running test and `step`.
  void Screenshot(HWND window, std::string_view step) const;
  // What a failed expectation should show: the page, the visible controls'
  // texts and the trace so far (GBK shown as UTF-8).
  std::string DescribeState() const;
  // Waits for the main window, then for `page` to be the page shown.
  bool WaitForPage(std::string_view page, int timeout_ms = kDefaultTimeoutMs);
  // Waits until a static text of the main window reads `text`.
  bool WaitForText(std::string_view text, int timeout_ms = kDefaultTimeoutMs);
  // From the server page: Next, then the content page with `status` (the
  // version check's result) shown. False at the first step that did not come.
  bool PassServerPage(std::string_view status, int timeout_ms = kDefaultTimeoutMs);

  TestServer server_;
  ProgramFolder folder_;
  Updater updater_;
  HWND main_window_ = nullptr;
};

// Starts the host program at `unix_path` with the command-line tail
// `arguments` (Unix paths, quoted the Windows way). Wine gives no handle of a
// host process, so a caller that must know when it is done watches a file the
// program writes.
bool StartHostProgram(const std::string& unix_path, const std::string& arguments);

// One of the main window's own buttons (not a page's control) by caption.
const Control* FindMainButton(const std::vector<Control>& controls, std::string_view caption);
const Control* FindMainButton(std::vector<Control>&&, std::string_view) = delete;
// Waits until that button of `top` is shown and enabled, then clicks it.
bool ClickMainButtonWhenEnabled(HWND top, std::string_view caption,
                                int timeout_ms = kDefaultTimeoutMs);

}  // namespace e2e
